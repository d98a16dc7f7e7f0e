// SHA-256 (FIPS 180-4) of a byte string, as lower-case hex: the corpus
// manifest names every expected output by this digest.
#pragma once

#include <string>
#include <string_view>

namespace iccdrop::testing {

[[nodiscard]] std::string sha256_hex(std::string_view bytes);

}  // namespace iccdrop::testing
