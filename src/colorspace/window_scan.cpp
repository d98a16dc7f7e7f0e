#include "colorspace/window_scan.h"

#include <algorithm>
#include <cstring>

#include "stream/window_stream.h"

namespace iccdrop::colorspace {

void for_each_match(std::span<const unsigned char> window,
                    const match::TokenPattern& pattern, const MatchVisitor& visit) {
  constexpr std::size_t kZone = stream::kZoneLimit;
  const std::string_view anchor = pattern.anchor;
  const auto lead = static_cast<unsigned char>(anchor.front());
  const std::size_t n = window.size();
  const unsigned char* const base = window.data();

  std::size_t pos = 0;
  while (pos <= kZone && pos < n) {
    // Find the first anchor at or after pos by its leading byte ('/' for all
    // three patterns) and remember where the last other lead byte was: a
    // match cannot begin before the byte after it. Matching thus starts next
    // to an anchor instead of at every digit of the window.
    std::size_t start = pos;
    std::size_t anchor_at = 0;
    for (std::size_t from = pos;; from = anchor_at + 1) {
      const void* hit = std::memchr(base + from, lead, n - from);
      if (hit == nullptr) return;
      anchor_at = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - base);
      if (n - anchor_at >= anchor.size() &&
          std::memcmp(base + anchor_at, anchor.data(), anchor.size()) == 0) {
        break;
      }
      if (anchor_at >= kZone) return;  // every later match starts after it
      start = anchor_at + 1;
    }
    if (start > kZone) return;

    match::SequenceMatch match;
    const std::size_t last_start = std::min(anchor_at, kZone) - start;
    const auto found =
        match::match_sequence(window.subspan(start), pattern, match, last_start);
    if (!found) {
      pos = anchor_at + 1;
      continue;
    }
    const std::size_t m = start + *found;
    visit(m, match);
    pos = m + std::min(match.total_length, kMaxAdvance);
  }
}

}  // namespace iccdrop::colorspace
