#include "colorspace/window_scan.h"

#include <cassert>
#include <optional>
#include <string_view>

#include "colorspace/patterns.h"
#include "colorspace/window_scan_fixed.h"
#include "match/char_class.h"
#include "match/token.h"

namespace iccdrop::colorspace {
namespace {

// walk_back_fixed for any pattern, with the tokens before the anchor known
// only at run time.
[[gnu::always_inline]] inline std::optional<std::size_t> walk_back(
    std::span<const unsigned char> window, std::size_t floor, std::size_t anchor_at,
    std::span<const std::string_view> before_anchor) {
  const unsigned char* const base = window.data();
  std::size_t p = anchor_at;
  for (std::size_t i = before_anchor.size(); i-- > 0;) {
    const std::string_view token = before_anchor[i];
    const match::TokenKind kind = match::token_kind(token);
    if (kind == match::TokenKind::kEmpty) continue;
    while (p > floor && match::is_gap_byte(base[p - 1])) --p;
    if (kind == match::TokenKind::kNumber) {
      if (p == floor || !match::is_digit(base[p - 1])) return std::nullopt;
      do --p;
      while (p > floor && match::is_digit(base[p - 1]));
    } else {
      if (p - floor < token.size() ||
          !scan_detail::bytes_equal(base + p - token.size(), token)) {
        return std::nullopt;
      }
      p -= token.size();
    }
  }
  return p;
}

}  // namespace

void for_each_match(std::span<const unsigned char> window,
                    const match::TokenPattern& pattern, const MatchVisitor& visit) {
  assert(anchor_byte_leads(pattern) && anchor_walks_back(pattern));
  // The passes' own patterns get a walk back and a forward match compiled
  // for them.
  if (&pattern == &kResourceEntryPattern) {
    for_each_fixed_match<kResourceEntryPattern>(window, visit);
  } else if (&pattern == &kProfileStreamPattern) {
    for_each_fixed_match<kProfileStreamPattern>(window, visit);
  } else if (&pattern == &kIccArrayPattern) {
    for_each_fixed_match<kIccArrayPattern>(window, visit);
  } else {
    // The pattern as the lane sees it, known only at run time.
    struct RuntimePattern {
      const match::TokenPattern& pattern;
      std::span<const std::string_view> before_anchor;
      std::string_view anchor() const { return pattern.anchor; }
      std::optional<std::size_t> walk_back(std::span<const unsigned char> w,
                                           std::size_t floor,
                                           std::size_t anchor_at) const {
        return iccdrop::colorspace::walk_back(w, floor, anchor_at, before_anchor);
      }
      bool match_at(match::Region region, match::SequenceMatch& match) const {
        return match::match_sequence_at_start(region, pattern, match);
      }
    };
    scan_detail::PatternLane lane(
        RuntimePattern{pattern, pattern.tokens.first(anchor_token_index(pattern))},
        visit);
    scan_detail::CandidateCursor candidates(window, pattern.anchor[0], pattern.anchor[1],
                                            pattern.anchor[1], stream::kZoneLimit);
    scan_detail::scan(window, candidates, lane);
  }
}

bool for_each_entry_and_profile(std::span<const unsigned char> window,
                                const MatchVisitor& visit_entry,
                                const MatchVisitor& visit_profile) {
  return for_each_entry_and_profile_fixed(window, visit_entry, visit_profile);
}

}  // namespace iccdrop::colorspace
