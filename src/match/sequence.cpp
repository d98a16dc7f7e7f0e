#include "match/sequence.h"

#include <cassert>

#include "match/char_class.h"

namespace iccdrop::match {
namespace {

std::size_t skip_gap_bytes(Region region, std::size_t from) {
  while (from < region.size() && is_gap_byte(region[from])) ++from;
  return from;
}

// Token texts are a few bytes long: a loop beats a call to memcmp.
bool starts_with_at(Region region, std::size_t at, std::string_view text) {
  if (region.size() - at < text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (region[at + i] != static_cast<unsigned char>(text[i])) return false;
  }
  return true;
}

std::size_t regular_run_at(Region region, std::size_t at) {
  std::size_t n = at;
  while (n < region.size() && is_regular_char(region[n])) ++n;
  return n - at;
}

// Matches token i (i >= 1) right after the previous token, which ended at
// `end`: only gap bytes may lie between. Returns the token's end.
std::optional<std::size_t> match_next_token(Region region, std::size_t end,
                                            std::string_view token, TokenKind kind,
                                            std::size_t& out_length,
                                            std::int32_t& out_value) {
  if (kind == TokenKind::kEmpty) {
    out_length = 0;
    return end;
  }
  const std::size_t q = skip_gap_bytes(region, end);
  if (kind == TokenKind::kNumber) {
    if (q == region.size() || !is_digit(region[q])) return std::nullopt;
    out_length = digit_run(region.subspan(q), out_value);
    return q + out_length;
  }
  const std::string_view text =
      kind == TokenKind::kNamePrefix ? token.substr(0, token.size() - 1) : token;
  if (text.empty() || is_gap_byte(static_cast<unsigned char>(text.front()))) {
    // A text that is empty or starts with a gap byte may be found before the
    // first non-gap byte: search for it and test the gap like the plain rule.
    const auto p = match_token(region.subspan(end), token, out_length, out_value);
    if (!p || !all_gap_bytes(region.subspan(end, *p))) return std::nullopt;
    return end + *p + out_length;
  }
  // The text starts with a non-gap byte, so it can only begin at q.
  if (!starts_with_at(region, q, text)) return std::nullopt;
  if (kind == TokenKind::kNamePrefix) {
    out_length = text.size() + regular_run_at(region, q + text.size());
  } else {
    const std::size_t after = q + text.size();
    if (after < region.size() && is_regular_char(region[after])) return std::nullopt;
    out_length = text.size();
  }
  return q + out_length;
}

// Matches tokens 1.. after token 0, which starts at s0 and was recorded in
// `match`. Returns the end of the last token.
std::optional<std::size_t> match_later_tokens(Region region,
                                              std::span<const std::string_view> tokens,
                                              std::size_t s0, SequenceMatch& match) {
  std::size_t end = s0 + match.lengths[0];
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    const TokenKind kind = token_kind(tokens[i]);
    std::int32_t value = 0;
    const auto next =
        match_next_token(region, end, tokens[i], kind, match.lengths[i], value);
    if (!next) return std::nullopt;
    if (kind == TokenKind::kNumber) match.values[i] = value;
    end = *next;
  }
  return end;
}

}  // namespace

std::optional<std::size_t> match_sequence(Region region, const TokenPattern& pattern,
                                          SequenceMatch& match, std::size_t last_start) {
  const auto& tokens = pattern.tokens;
  assert(!tokens.empty() && tokens.size() <= kMaxTokens);
  if (!find_bytes(region, pattern.anchor)) return std::nullopt;

  const bool first_is_number = token_kind(tokens[0]) == TokenKind::kNumber;
  std::size_t attempt = 0;
  while (attempt <= region.size()) {
    std::size_t length = 0;
    std::int32_t value = 0;
    const auto found = match_token(region.subspan(attempt), tokens[0], length, value);
    if (!found) return std::nullopt;
    const std::size_t s0 = attempt + *found;
    if (s0 > last_start) return std::nullopt;
    match.lengths[0] = length;
    if (first_is_number) match.values[0] = value;
    if (const auto end = match_later_tokens(region, tokens, s0, match)) {
      match.total_length = *end - s0;
      return s0;
    }
    // Retrying from inside the digit run of a number token 0 ends where the
    // run ends and fails the same way, so the retry starts after the run.
    attempt = first_is_number ? s0 + match.lengths[0] : s0 + 1;
  }
  return std::nullopt;
}

bool match_sequence_at_start(Region region, const TokenPattern& pattern,
                             SequenceMatch& match) {
  const auto& tokens = pattern.tokens;
  assert(!tokens.empty() && tokens.size() <= kMaxTokens);
  assert(find_bytes(region, pattern.anchor));
  // Token 0 as match_token would find it, but only at offset 0.
  const std::string_view token = tokens[0];
  switch (token_kind(token)) {
    case TokenKind::kNumber:
      if (region.empty() || !is_digit(region[0])) return false;
      match.lengths[0] = digit_run(region, match.values[0]);
      break;
    case TokenKind::kEmpty:
      match.lengths[0] = 0;
      break;
    case TokenKind::kNamePrefix: {
      const std::string_view prefix = token.substr(0, token.size() - 1);
      if (!starts_with_at(region, 0, prefix)) return false;
      match.lengths[0] = prefix.size() + regular_run_at(region, prefix.size());
      break;
    }
    case TokenKind::kLiteral:
      // Followed by a regular character, the literal would be looked for
      // further on, and found beyond offset 0.
      if (!starts_with_at(region, 0, token) ||
          (token.size() < region.size() && is_regular_char(region[token.size()]))) {
        return false;
      }
      match.lengths[0] = token.size();
      break;
  }
  const auto end = match_later_tokens(region, tokens, 0, match);
  if (!end) return false;
  match.total_length = *end;
  return true;
}

}  // namespace iccdrop::match
