// Finding a token pattern (tokens separated only by gap bytes) in a byte
// region, with where it starts, its length and each token's length and value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "match/token.h"

namespace iccdrop::match {

inline constexpr std::size_t kMaxTokens = 16;

struct TokenPattern {
  std::string_view anchor;                   // text every match contains
  std::span<const std::string_view> tokens;  // at least one, at most kMaxTokens
};

struct SequenceMatch {
  std::size_t total_length =
      0;  // bytes from the first token's start to the last token's end
  std::array<std::size_t, kMaxTokens> lengths{};  // bytes of token i
  std::array<std::int32_t, kMaxTokens>
      values{};  // value of number token i; others untouched
};

inline constexpr std::size_t kAnyStart = std::numeric_limits<std::size_t>::max();

// Returns where the first match of the pattern in the region begins, and fills
// `match` from that match. A region without the anchor has no match. Every
// token after the first must begin at the first byte after the previous token
// that is not a gap byte ("..." matches there with length 0). A failed attempt
// is retried one byte after its first token, so a number token 0 that failed
// as «12» would fail again as «2»: such retries are skipped. Example: tokens
// "#" "#" "obj" on «1 2 3 obj» fail from the 1 and match «2 3 obj».
//
// `last_start` narrows the search to matches that begin at or before it; the
// match returned is still the first in the region, or none.
[[nodiscard]] std::optional<std::size_t> match_sequence(
    Region region, const TokenPattern& pattern, SequenceMatch& match,
    std::size_t last_start = kAnyStart);

// Whether the pattern matches from the region's first byte: what
// match_sequence(region, pattern, match, 0) finds, without its anchor test
// and its search for token 0. The caller knows that the region holds the
// anchor. `match` is filled as by match_sequence on success.
[[nodiscard]] bool match_sequence_at_start(Region region, const TokenPattern& pattern,
                                           SequenceMatch& match);

}  // namespace iccdrop::match
