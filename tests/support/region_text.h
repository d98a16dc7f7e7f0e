// Byte regions for matcher tests: made from text, and shown readably when a
// check fails.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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

// The same bytes; when not, only the sizes and the first difference with a
// few bytes around it, never the texts whole: GoogleTest's diff of two
// texts of megabytes takes more memory than the machine has.
inline ::testing::AssertionResult same_text(std::string_view got, std::string_view want) {
  if (got == want) return ::testing::AssertionSuccess();
  const auto first = static_cast<std::size_t>(
      std::mismatch(
          got.begin(),
          got.begin() + static_cast<std::ptrdiff_t>(std::min(got.size(), want.size())),
          want.begin())
          .first -
      got.begin());
  const std::size_t from = first < 40 ? 0 : first - 40;
  return ::testing::AssertionFailure()
         << got.size() << " bytes, expected " << want.size() << "; first difference at "
         << first << ": " << show(got.substr(from, 80)) << " where "
         << show(want.substr(from, 80)) << " was expected";
}

}  // namespace iccdrop::testing
