// match_sequence_at_start for a pattern known at compile time: each token's
// kind and text are constants, so the loop over the tokens unrolls into a few
// comparisons per token. The window scan uses it for the three patterns of
// the passes, where the generic loop spent some 300 instructions a candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "match/char_class.h"
#include "match/sequence.h"
#include "match/token.h"

namespace iccdrop::match {

// Whether every text token starts with a byte that is not a gap byte, so
// that a later token can only begin at the first non-gap byte after the one
// before (match_sequence handles the other texts by a search).
constexpr bool has_fixed_form(const TokenPattern& pattern) {
  if (pattern.tokens.empty() || pattern.tokens.size() > kMaxTokens) return false;
  for (std::string_view token : pattern.tokens) {
    const TokenKind kind = token_kind(token);
    if (kind == TokenKind::kNumber || kind == TokenKind::kEmpty) continue;
    const std::string_view text =
        kind == TokenKind::kNamePrefix ? token.substr(0, token.size() - 1) : token;
    if (text.empty() || is_gap_byte(static_cast<unsigned char>(text.front())))
      return false;
  }
  return true;
}

namespace fixed {

inline bool text_at(Region region, std::size_t at, std::string_view text) {
  if (region.size() - at < text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (region[at + i] != static_cast<unsigned char>(text[i])) return false;
  }
  return true;
}

// Matches token I at `at` exactly (token 0 at the region's start; a later
// token at the first non-gap byte after the one before). Returns false when
// it is not there; otherwise records its length (and value) and moves `end`
// past it.
template <const TokenPattern& kPattern, std::size_t I>
bool token_at(Region region, std::size_t& end, SequenceMatch& match) {
  constexpr std::string_view kToken = kPattern.tokens[I];
  constexpr TokenKind kKind = token_kind(kToken);
  if constexpr (kKind == TokenKind::kEmpty) {
    match.lengths[I] = 0;
    return true;
  } else {
    std::size_t q = end;
    if constexpr (I > 0) {
      while (q < region.size() && is_gap_byte(region[q])) ++q;
    }
    if constexpr (kKind == TokenKind::kNumber) {
      if (q == region.size() || !is_digit(region[q])) return false;
      std::int32_t value = 0;
      match.lengths[I] = digit_run(region.subspan(q), value);
      match.values[I] = value;
    } else if constexpr (kKind == TokenKind::kNamePrefix) {
      constexpr std::string_view kPrefix = kToken.substr(0, kToken.size() - 1);
      if (!text_at(region, q, kPrefix)) return false;
      std::size_t n = q + kPrefix.size();
      while (n < region.size() && is_regular_char(region[n])) ++n;
      match.lengths[I] = n - q;
    } else {
      if (!text_at(region, q, kToken)) return false;
      // Followed by a regular character, a literal is only the front of a
      // longer word: as token 0 it would be found further on, past offset 0.
      const std::size_t after = q + kToken.size();
      if (after < region.size() && is_regular_char(region[after])) return false;
      match.lengths[I] = kToken.size();
    }
    end = q + match.lengths[I];
    return true;
  }
}

}  // namespace fixed

// What match_sequence_at_start(region, kPattern, match) returns, and the same
// `match` on success.
template <const TokenPattern& kPattern>
[[nodiscard]] bool match_sequence_at_start_fixed(Region region, SequenceMatch& match) {
  static_assert(has_fixed_form(kPattern));
  std::size_t end = 0;
  const bool matched = [&]<std::size_t... I>(std::index_sequence<I...>) {
    return (fixed::token_at<kPattern, I>(region, end, match) && ...);
  }
  (std::make_index_sequence<kPattern.tokens.size()>{});
  if (matched) match.total_length = end;
  return matched;
}

}  // namespace iccdrop::match
