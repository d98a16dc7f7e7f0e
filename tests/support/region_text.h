// Byte regions for matcher tests: made from text, and shown readably when a
// check fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace iccdrop::testing {

// The region's bytes in a heap block of exactly their size, so that a read
// past the end shows up under AddressSanitizer.
inline std::vector<unsigned char> bytes_of(std::string_view text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

// Printable ASCII as is, every other byte as \xNN, between « and ».
inline std::string show(std::string_view text) {
  std::string out = "\xC2\xAB";
  for (const char byte : text) {
    const auto c = static_cast<unsigned char>(byte);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  out += "\xC2\xBB";
  return out;
}

}  // namespace iccdrop::testing
