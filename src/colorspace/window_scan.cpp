#include "colorspace/window_scan.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <optional>

#include "colorspace/patterns.h"
#include "match/char_class.h"
#include "match/fixed_sequence.h"
#include "stream/window_stream.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace iccdrop::colorspace {
namespace {

// Anchors and tokens are a few bytes long: a loop beats a call to memcmp.
[[gnu::always_inline]] inline bool bytes_equal(const unsigned char* bytes,
                                               std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (bytes[i] != static_cast<unsigned char>(text[i])) return false;
  }
  return true;
}

// The first occurrence of `anchor` (at least 2 bytes) at or after `from`,
// or none once a byte equal to the anchor's first one, at or after `limit`,
// comes before any occurrence. Candidates are positions holding the anchor's
// first two bytes, found 16 at a time: in «/Name /N /Cs1» only «/N» and «/Cs»
// stop the scan for "/N" or "/Cs", where a memchr for '/' would stop at every
// slash (one in 8 bytes of dense PDF syntax, some 10 ns a call).
[[gnu::always_inline]] inline std::optional<std::size_t> find_anchor(
    std::span<const unsigned char> window, std::size_t from, std::size_t limit,
    std::string_view anchor) {
  const std::size_t n = window.size();
  if (anchor.size() > n) return std::nullopt;
  const std::size_t last = n - anchor.size();  // the last possible start
  const unsigned char* const base = window.data();
  const auto first = static_cast<unsigned char>(anchor[0]);
  const auto second = static_cast<unsigned char>(anchor[1]);
  const auto rest_matches = [&](std::size_t at) {
    return bytes_equal(base + at + 2, anchor.substr(2));
  };
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i want_first = _mm_set1_epi8(static_cast<char>(first));
  const __m128i want_second = _mm_set1_epi8(static_cast<char>(second));
  const auto load = [&](std::size_t at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + at));
  };
  // Looks at the 16 positions from `at` (reading bytes at .. at + 16): an
  // occurrence, a stop (as none), or on to the next 16 (as at + 16).
  const auto block = [&](std::size_t at) -> std::optional<std::size_t> {
    const __m128i here = load(at);
    const auto leads =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, want_first)));
    const auto hits = leads & static_cast<unsigned>(_mm_movemask_epi8(
                                  _mm_cmpeq_epi8(load(at + 1), want_second)));
    // Lead bytes at or after the limit end the search unless they start the anchor.
    unsigned stops = 0;
    if (at >= limit) {
      stops = leads;
    } else if (limit - at < 16) {
      stops = leads & ~((1u << (limit - at)) - 1);
    }
    for (unsigned bits = hits | stops; bits != 0; bits &= bits - 1) {
      const std::size_t p = at + static_cast<std::size_t>(__builtin_ctz(bits));
      if (p > last) return std::nullopt;
      if (((hits >> (p - at)) & 1u) != 0 && rest_matches(p)) return p;
      if (p >= limit) return std::nullopt;
    }
    return at + 16;
  };
  // memchr (32 or 64 bytes a step in glibc) skips to the next lead byte,
  // where the next 32 positions are looked at 16 at a time: image data has
  // one '/' in 256 bytes, and dense PDF syntax one in 8 to 16.
  while (i + 33 <= n) {
    const void* lead = std::memchr(base + i, first, n - 33 - i + 1);
    if (lead == nullptr) {
      i = n - 32;
      break;
    }
    const auto at =
        static_cast<std::size_t>(static_cast<const unsigned char*>(lead) - base);
    for (std::size_t b = at; b < at + 32; b += 16) {
      const auto result = block(b);
      if (!result || *result != b + 16) return result;
    }
    i = at + 32;
  }
#endif
  for (; i <= last; ++i) {
    if (base[i] != first) continue;
    if (base[i + 1] == second && rest_matches(i)) return i;
    if (i >= limit) return std::nullopt;
  }
  return std::nullopt;
}

// The one position at which a match whose anchor token lies at `anchor_at`
// can begin, found by walking back over the tokens before the anchor: gap
// bytes, then each token from its end. The walk stops at `floor`, the start
// of the region being searched. In «12 0 obj\n<< /N 3» the walk from the /N
// passes «<<», «obj», «0» and stops at the 1. None when the tokens are not
// there, which rejects most anchors after a few bytes.
//
// This is exact because a match's first token is a number or a literal and
// every later token begins at the first non-gap byte after the one before:
// going back from the anchor, each gap run and each digit run (numbers are
// whole runs, and the literals hold neither gap bytes nor digits) has only
// one place to end. Where the walk ends is the only possible start; the
// forward match there decides.
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
      if (p - floor < token.size() || !bytes_equal(base + p - token.size(), token)) {
        return std::nullopt;
      }
      p -= token.size();
    }
  }
  return p;
}

// The loop of for_each_match, with the forward match at a start given as
// `match_at_start(region, match)`.
// Inlined into each caller, so that for the passes' own patterns the
// anchor and the tokens are constants in find_anchor and walk_back.
template <typename MatchAtStart>
[[gnu::always_inline]] inline void scan(std::span<const unsigned char> window,
                                        const match::TokenPattern& pattern,
                                        const MatchVisitor& visit,
                                        MatchAtStart match_at_start) {
  constexpr std::size_t kZone = stream::kZoneLimit;
  const std::size_t n = window.size();
  const auto before_anchor = pattern.tokens.first(anchor_token_index(pattern));

  // Matches are searched from `pos` on. A match holds its anchor token, and
  // no byte between the match's start and that token is the anchor's lead
  // byte, so each anchor has at most one match through it, starting after
  // the anchor before it. Anchors are visited in order, and so are matches.
  match::SequenceMatch match;
  std::size_t pos = 0;
  while (pos <= kZone && pos < n) {
    // After a lead byte at or beyond the zone that is no anchor, every match
    // starts beyond the zone.
    const auto anchor_at = find_anchor(window, pos, kZone, pattern.anchor);
    if (!anchor_at) return;
    const auto start = walk_back(window, pos, *anchor_at, before_anchor);
    if (start && *start > kZone) return;  // every later match starts after it
    if (start && match_at_start(window.subspan(*start), match)) {
      visit(*start, match);
      pos = *start + std::min(match.total_length, kMaxAdvance);
      continue;
    }
    // No match through this anchor; one through a later anchor starts after
    // this one's lead byte.
    if (*anchor_at >= kZone) return;
    pos = *anchor_at + 1;
  }
}

template <const match::TokenPattern& kPattern>
bool match_fixed(match::Region region, match::SequenceMatch& match) {
  return match::match_sequence_at_start_fixed<kPattern>(region, match);
}

}  // namespace

void for_each_match(std::span<const unsigned char> window,
                    const match::TokenPattern& pattern, const MatchVisitor& visit) {
  assert(anchor_byte_leads(pattern) && anchor_walks_back(pattern));
  // The passes' own patterns get a forward match compiled for them.
  if (&pattern == &kResourceEntryPattern) {
    scan(window, pattern, visit, match_fixed<kResourceEntryPattern>);
  } else if (&pattern == &kProfileStreamPattern) {
    scan(window, pattern, visit, match_fixed<kProfileStreamPattern>);
  } else if (&pattern == &kIccArrayPattern) {
    scan(window, pattern, visit, match_fixed<kIccArrayPattern>);
  } else {
    scan(window, pattern, visit, [&](match::Region region, match::SequenceMatch& match) {
      return match::match_sequence_at_start(region, pattern, match);
    });
  }
}

}  // namespace iccdrop::colorspace
