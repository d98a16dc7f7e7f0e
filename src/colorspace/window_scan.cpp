#include "colorspace/window_scan.h"

#include <cassert>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "colorspace/patterns.h"
#include "colorspace/window_scan_fixed.h"
#include "match/char_class.h"
#include "match/token.h"

#if defined(ICCDROP_SCAN_AVX2)
#include <immintrin.h>
#endif

namespace iccdrop::colorspace {

#if defined(ICCDROP_SCAN_AVX2)
namespace scan_detail {

bool use_avx2() {
  static const bool use = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && std::getenv("ICCDROP_NO_AVX2") == nullptr;
  }();
  return use;
}

[[gnu::target("avx2")]] std::size_t skip_quiet_blocks_avx2(
    const unsigned char* bytes, std::size_t at, std::size_t end, unsigned char lead,
    unsigned char second, unsigned char other_second, unsigned char third_second) {
  const __m256i want_lead = _mm256_set1_epi8(static_cast<char>(lead));
  // The second bytes are ASCII with low nibbles apart ('C', 'I', 'N'): one
  // shuffle by the low nibble gives the one second byte a byte may be, which
  // it then equals or not. Bytes from 0x80 shuffle to 0, equal to none. Two
  // operations where three comparisons and two ors took a quarter of --all's
  // user time on images. The table is built in registers: stored a byte at
  // a time and loaded whole, it stalled the load on every call, most of this
  // function's time where quiet runs are short (dense syntax).
  const auto clash = [](unsigned char a, unsigned char b) {
    return a != b && (a & 15) == (b & 15);
  };
  // Otherwise nothing is skipped: the caller reads the blocks one by one.
  if ((second | other_second | third_second) >= 0x80 || clash(second, other_second) ||
      clash(second, third_second) || clash(other_second, third_second)) {
    return at;
  }
  // Entry i is the second byte whose low nibble is i, else (i + 1) & 15,
  // which no byte with low nibble i equals.
  const __m128i index =
      _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m128i table = _mm_setr_epi8(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0);
  for (const unsigned char s : {second, other_second, third_second}) {
    table =
        _mm_blendv_epi8(table, _mm_set1_epi8(static_cast<char>(s)),
                        _mm_cmpeq_epi8(index, _mm_set1_epi8(static_cast<char>(s & 15))));
  }
  const __m256i want = _mm256_broadcastsi128_si256(table);
  for (; at < end; at += 64) {
    const auto* now = reinterpret_cast<const __m256i*>(bytes + at);
    const auto* next = reinterpret_cast<const __m256i*>(bytes + at + 1);
    const __m256i next0 = _mm256_loadu_si256(next);
    const __m256i next1 = _mm256_loadu_si256(next + 1);
    const __m256i pair0 =
        _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(now), want_lead),
                         _mm256_cmpeq_epi8(next0, _mm256_shuffle_epi8(want, next0)));
    const __m256i pair1 =
        _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(now + 1), want_lead),
                         _mm256_cmpeq_epi8(next1, _mm256_shuffle_epi8(want, next1)));
    const __m256i found = _mm256_or_si256(pair0, pair1);
    if (!_mm256_testz_si256(found, found)) break;
  }
  return at;
}

}  // namespace scan_detail
#endif

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
