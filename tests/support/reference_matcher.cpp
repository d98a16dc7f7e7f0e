#include "support/reference_matcher.h"

#include <algorithm>
#include <cstring>

namespace iccdrop::testing {
namespace {

// Membership tests spelled out from the character lists, not from the
// library's table, so that a wrong table entry shows up as a difference.
bool is_gap(unsigned char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\0';
}
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_regular(unsigned char c) {
  if (c < 0x21 || c > 0x7E) return false;
  return std::strchr("%()/<>[]{}", c) == nullptr;
}

std::optional<std::size_t> find(Region region, std::string_view needle) {
  if (needle.size() > region.size()) return std::nullopt;
  for (std::size_t p = 0; p + needle.size() <= region.size(); ++p) {
    bool equal = true;
    for (std::size_t i = 0; i < needle.size() && equal; ++i) {
      equal = region[p + i] == static_cast<unsigned char>(needle[i]);
    }
    if (equal) return p;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> reference_match_token(Region region, std::string_view token,
                                                 std::size_t& out_length,
                                                 std::int32_t& out_value) {
  if (token == "#") {
    std::size_t p = 0;
    while (p < region.size() && !is_digit(region[p])) ++p;
    if (p == region.size()) return std::nullopt;
    std::size_t n = p;
    long long value = 0;
    while (n < region.size() && is_digit(region[n])) {
      value = value * 10 + (region[n] - '0');
      if (value > 2147483647) value = 2147483647;
      ++n;
    }
    out_length = n - p;
    out_value = static_cast<std::int32_t>(value);
    return p;
  }
  if (token == "...") {
    out_length = 0;
    return 0;
  }
  if (!token.empty() && token.back() == '*') {
    const std::string_view prefix = token.substr(0, token.size() - 1);
    const auto p = find(region, prefix);
    if (!p) return std::nullopt;
    std::size_t n = *p + prefix.size();
    while (n < region.size() && is_regular(region[n])) ++n;
    out_length = n - *p;
    return p;
  }
  std::size_t from = 0;
  while (true) {
    const auto found = find(region.subspan(from), token);
    if (!found) return std::nullopt;
    const std::size_t p = from + *found;
    const std::size_t after = p + token.size();
    if (after >= region.size() || !is_regular(region[after])) {
      out_length = token.size();
      return p;
    }
    from = p + 1;
  }
}

std::optional<std::size_t> reference_match_sequence(Region region,
                                                    const match::TokenPattern& pattern,
                                                    match::SequenceMatch& match) {
  if (!find(region, pattern.anchor)) return std::nullopt;
  const auto& tokens = pattern.tokens;
  std::size_t attempt = 0;
  while (true) {
    std::size_t length = 0;
    std::int32_t value = 0;
    const auto first = reference_match_token(region.subspan(attempt), tokens[0], length, value);
    if (!first) return std::nullopt;
    const std::size_t s0 = attempt + *first;
    match.lengths[0] = length;
    if (tokens[0] == "#") match.values[0] = value;
    std::size_t end = s0 + length;
    bool ok = true;
    for (std::size_t i = 1; i < tokens.size() && ok; ++i) {
      const auto found = reference_match_token(region.subspan(end), tokens[i], length, value);
      ok = found.has_value();
      if (!ok) break;
      for (std::size_t k = 0; k < *found && ok; ++k) ok = is_gap(region[end + k]);
      if (!ok) break;
      match.lengths[i] = length;
      if (tokens[i] == "#") match.values[i] = value;
      end = end + *found + length;
    }
    if (ok) {
      match.total_length = end - s0;
      return s0;
    }
    attempt = s0 + 1;
    if (attempt > region.size()) return std::nullopt;
  }
}

void reference_for_each_match(
    std::span<const unsigned char> window, const match::TokenPattern& pattern,
    const std::function<void(std::size_t, const match::SequenceMatch&)>& visit) {
  std::size_t pos = 0;
  while (pos <= window.size()) {
    match::SequenceMatch match;
    const auto found = reference_match_sequence(window.subspan(pos), pattern, match);
    if (!found) return;
    const std::size_t m = pos + *found;
    if (m > 4096) return;
    visit(m, match);
    pos = m + std::min<std::size_t>(match.total_length, 255);
  }
}

}  // namespace iccdrop::testing
