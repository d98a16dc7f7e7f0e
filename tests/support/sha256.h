// SHA-256 of a byte string, as lower-case hex, by OpenSSL's libcrypto: the
// corpus manifest names every expected output by this digest.
#pragma once

#include <string>
#include <string_view>

namespace iccdrop::testing {

[[nodiscard]] std::string sha256_hex(std::string_view bytes);

}  // namespace iccdrop::testing
