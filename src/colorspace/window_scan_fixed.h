// The window scan of window_scan.h as templates over the visitors, for the
// passes' own patterns: collect_window and convert_window call these
// directly, so that a visit is an inlined call rather than one through
// std::function: 2.3% fewer instructions with 50,000 colour spaces, 1.2% on
// near misses. See window_scan.h for what they visit.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "colorspace/patterns.h"
#include "colorspace/window_scan.h"
#include "match/char_class.h"
#include "match/fixed_sequence.h"
#include "stream/window_stream.h"

// The candidate search reads 16 bytes at a time with SSE2 on x86-64, and 8
// at a time from plain 64-bit words elsewhere (ARM64, or a build with
// ICCDROP_PORTABLE_SCAN, which times and tests that path on x86-64).
#if defined(__SSE2__) && !defined(ICCDROP_PORTABLE_SCAN)
#define ICCDROP_SCAN_SSE2 1
#include <emmintrin.h>
#endif

// Where the compiler can build a function for AVX2 alone, the quiet-block
// skip has a version for it, taken when the processor has AVX2.
#if defined(ICCDROP_SCAN_SSE2) && defined(__x86_64__) && defined(__GNUC__)
#define ICCDROP_SCAN_AVX2 1
#endif

namespace iccdrop::colorspace {
namespace scan_detail {

#if defined(ICCDROP_SCAN_AVX2)
// Whether the processor has AVX2 and the environment does not set
// ICCDROP_NO_AVX2 (which the tests use to check the SSE2 path too). Asked
// once.
bool use_avx2();

// CandidateCursor's quiet-block skip, 32 bytes a step: the first of `at`,
// at + 64, ... before `end` whose 64 positions hold `lead` followed by one
// of the three second bytes, else the first at or after `end`. Second bytes
// that are not ASCII with low nibbles apart skip nothing: `at`.
std::size_t skip_quiet_blocks_avx2(const unsigned char* bytes, std::size_t at,
                                   std::size_t end, unsigned char lead,
                                   unsigned char second, unsigned char other_second,
                                   unsigned char third_second);
#endif

// Whether `bytes` starts with `text`. Anchors and tokens are a few bytes
// long and mostly constants: compared 8, 4, 2 and 1 bytes at a time (2.8%
// fewer instructions on near-miss input than a byte loop), "ICCBased" takes
// one comparison; a call to memcmp would cost more than either.
[[gnu::always_inline]] inline bool bytes_equal(const unsigned char* bytes,
                                               std::string_view text) {
  std::size_t i = 0;
  const auto equal = [&]<typename Word>(Word) {
    Word a, b;
    std::memcpy(&a, bytes + i, sizeof a);
    std::memcpy(&b, text.data() + i, sizeof b);
    i += sizeof a;
    return a == b;
  };
  while (text.size() - i >= 8) {
    if (!equal(std::uint64_t{})) return false;
  }
  if (text.size() - i >= 4 && !equal(std::uint32_t{})) return false;
  if (text.size() - i >= 2 && !equal(std::uint16_t{})) return false;
  return text.size() == i || bytes[i] == static_cast<unsigned char>(text[i]);
}

// Finds the candidate positions of a window in order: next(from) gives the
// first position at or after `from` that holds the lead byte followed by one
// of two second bytes, or holds the lead byte at or after `limit`; none when
// no such position comes before the window's last byte. In «/Name /N /Cs1»
// with lead '/' and second bytes 'N' and 'C', only «/N» and «/Cs» are
// candidates. memchr (16 to 64 bytes a step in glibc, musl and macOS' libc)
// skips to the next lead byte; with SSE2, blocks of 64 positions without a
// candidate are passed from there; then the candidates of 64 positions are
// found at once, with SSE2 or with 64-bit words, and kept for the next calls:
// image data has one '/' in 256 bytes, dense PDF syntax one in 8 to 16, and
// near-miss soup an anchor in 20.
class CandidateCursor {
 public:
  [[gnu::always_inline]] CandidateCursor(std::span<const unsigned char> window, char lead,
                                         char second, char other_second,
                                         std::size_t limit)
      : CandidateCursor(window, lead, second, other_second, other_second, limit) {}
  [[gnu::always_inline]] CandidateCursor(std::span<const unsigned char> window, char lead,
                                         char second, char other_second,
                                         char third_second, std::size_t limit)
      : base_(window.data()),
        n_(window.size()),
        lead_(static_cast<unsigned char>(lead)),
        second_(static_cast<unsigned char>(second)),
        other_second_(static_cast<unsigned char>(other_second)),
        third_second_(static_cast<unsigned char>(third_second)),
        limit_(limit) {}

  // `from` must not go back between calls, unless forget() was called.
  [[gnu::always_inline]] std::optional<std::size_t> next(std::size_t from) {
    std::size_t i = from;
    while (true) {
      if (i >= block_ && i < block_end_) {
        const std::uint64_t bits = (hits_ | stops_) >> (i - block_);
        if (bits != 0) return i + static_cast<unsigned>(std::countr_zero(bits));
        i = block_end_;
      }
      if (i + 65 > n_) break;
      const void* lead = std::memchr(base_ + i, lead_, n_ - 65 - i + 1);
      if (lead == nullptr) {
        i = n_ - 64;
        break;
      }
      i = static_cast<std::size_t>(static_cast<const unsigned char*>(lead) - base_);
      load_block(i);
#if defined(ICCDROP_SCAN_SSE2)
      // A block without candidates: the quiet blocks after it are passed.
      // Dense syntax never gets here, where a skip from every lead byte
      // cost a tenth of the scan.
      if ((hits_ | stops_) == 0) {
        i = skip_quiet_blocks(i + 64);
        if (i + 65 > n_) break;
        load_block(i);
      }
#endif
    }
    // The last 64 positions, whose blocks would read past the window.
    for (; i + 1 < n_; ++i) {
      if (base_[i] != lead_) continue;
      if (base_[i + 1] == second_ || base_[i + 1] == other_second_ ||
          base_[i + 1] == third_second_ || i >= limit_)
        return i;
    }
    return std::nullopt;
  }

  // Drops the kept candidates, after the window was rewritten.
  void forget() { block_end_ = 0; }

  // No longer looks for the third second byte: its part of the scan is done.
  void drop_third_second() {
    if (third_second_ == other_second_) return;
    third_second_ = other_second_;
    forget();
  }

 private:
  // The candidates among the 64 positions from `at`, reading bytes at .. at + 64.
  [[gnu::always_inline]] void load_block(std::size_t at) {
#if defined(ICCDROP_SCAN_SSE2)
    const __m128i want_lead = _mm_set1_epi8(static_cast<char>(lead_));
    const __m128i want_second = _mm_set1_epi8(static_cast<char>(second_));
    const __m128i want_other = _mm_set1_epi8(static_cast<char>(other_second_));
    const __m128i want_third = _mm_set1_epi8(static_cast<char>(third_second_));
    std::uint64_t leads = 0, hits = 0;
    for (unsigned k = 0; k < 64; k += 16) {
      const auto* bytes = reinterpret_cast<const __m128i*>(base_ + at + k);
      const __m128i lead = _mm_cmpeq_epi8(_mm_loadu_si128(bytes), want_lead);
      const __m128i next =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(base_ + at + k + 1));
      __m128i second = _mm_cmpeq_epi8(next, want_second);
      if (other_second_ != second_) {
        second = _mm_or_si128(second, _mm_cmpeq_epi8(next, want_other));
      }
      if (third_second_ != other_second_) {
        second = _mm_or_si128(second, _mm_cmpeq_epi8(next, want_third));
      }
      leads |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(lead))} << k;
      hits |= std::uint64_t{static_cast<std::uint16_t>(
                  _mm_movemask_epi8(_mm_and_si128(lead, second)))}
              << k;
    }
#else
    const std::uint64_t want_lead = kEveryByte * lead_;
    const std::uint64_t want_second = kEveryByte * second_;
    const std::uint64_t want_other = kEveryByte * other_second_;
    const std::uint64_t want_third = kEveryByte * third_second_;
    // The lead bytes count only in a block that reaches the limit.
    const bool find_stops = limit_ - at < 64 || at >= limit_;
    std::uint64_t leads = 0, hits = 0;
    for (unsigned k = 0; k < 64; k += 8) {
      const std::uint64_t lead = equal_bytes(word_at(base_ + at + k), want_lead);
      if (lead == 0) continue;  // most words, in all but the densest syntax
      const std::uint64_t next = word_at(base_ + at + k + 1);
      std::uint64_t second = equal_bytes(next, want_second);
      if (other_second_ != second_) second |= equal_bytes(next, want_other);
      if (third_second_ != other_second_) second |= equal_bytes(next, want_third);
      if (find_stops) leads |= top_bits_in_order(lead) << k;
      hits |= top_bits_in_order(lead & second) << k;
    }
#endif
    block_ = at;
    block_end_ = at + 64;
    hits_ = hits;
    if (at >= limit_) {
      stops_ = leads;
    } else if (limit_ - at < 64) {
      stops_ = leads & ~((std::uint64_t{1} << (limit_ - at)) - 1);
    } else {
      stops_ = 0;
    }
  }

#if defined(ICCDROP_SCAN_SSE2)
  // Where the skip ends: the blocks that reach the limit or the window's
  // last 64 positions are loaded whatever they hold.
  [[gnu::always_inline]] std::size_t quiet_end() const {
    return std::min(n_ - 64, limit_ >= 64 ? limit_ - 63 : 0);
  }

  // The first of the positions at, at + 64, at + 128, ... whose 64 positions
  // may hold a candidate, or the first whose 64 reach the limit or the
  // window's last 64. Image data has a lead byte every 256 bytes but a lead
  // byte with a second byte after it only every 20 KiB: one test per 64
  // bytes passes them by, where a memchr and a block per lead byte took a
  // third more user time on 1 GiB of images.
  [[gnu::always_inline]] std::size_t skip_quiet_blocks(std::size_t at) const {
#if defined(ICCDROP_SCAN_AVX2)
    // AVX2 takes 32 bytes a step, where the processor has it: 30% less user
    // time on 1 GiB of images.
    if (avx2_) {
      return skip_quiet_blocks_avx2(base_, at, quiet_end(), lead_, second_, other_second_,
                                    third_second_);
    }
#endif
    const __m128i want_lead = _mm_set1_epi8(static_cast<char>(lead_));
    const __m128i want_second = _mm_set1_epi8(static_cast<char>(second_));
    const __m128i want_other = _mm_set1_epi8(static_cast<char>(other_second_));
    const __m128i want_third = _mm_set1_epi8(static_cast<char>(third_second_));
    const std::size_t end = quiet_end();
    for (; at < end; at += 64) {
      __m128i found = _mm_setzero_si128();
      for (unsigned k = 0; k < 64; k += 16) {
        const auto* bytes = reinterpret_cast<const __m128i*>(base_ + at + k);
        const __m128i lead = _mm_cmpeq_epi8(_mm_loadu_si128(bytes), want_lead);
        const __m128i next =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(base_ + at + k + 1));
        const __m128i second =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(next, want_second),
                                      _mm_cmpeq_epi8(next, want_other)),
                         _mm_cmpeq_epi8(next, want_third));
        found = _mm_or_si128(found, _mm_and_si128(lead, second));
      }
      if (_mm_movemask_epi8(found) != 0) break;
    }
    return at;
  }
#else
  static constexpr std::uint64_t kEveryByte = 0x0101010101010101;

  // The 8 bytes from `bytes`, the first in the low byte.
  [[gnu::always_inline]] static std::uint64_t word_at(const unsigned char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
  }

  // 0x80 in each byte of `word` that equals the same byte of `want`, 0
  // elsewhere. Exact, unlike the shorter test for "some byte is zero": the
  // low seven bits of a byte of x = word ^ want plus 0x7f carry into its top
  // bit only when they are not all zero, and no carry crosses into the next
  // byte. For word "a/Cs" against '/' in every byte, only the second byte
  // gets 0x80.
  [[gnu::always_inline]] static std::uint64_t equal_bytes(std::uint64_t word,
                                                          std::uint64_t want) {
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7f;
    const std::uint64_t x = word ^ want;
    return ~(((x & kLow7) + kLow7) | x | kLow7);
  }

  // The top bits of the 8 bytes as 8 bits, byte k to bit k: one
  // multiplication moves the bit of byte k to bit 56 + k, and no two
  // partial products meet below bit 64.
  [[gnu::always_inline]] static std::uint64_t top_bits_in_order(std::uint64_t tops) {
    return ((tops >> 7) * 0x0102040810204080) >> 56;
  }
#endif

  const unsigned char* base_;
  std::size_t n_;
  unsigned char lead_, second_, other_second_, third_second_;
  std::size_t limit_;
  std::size_t block_ = 0, block_end_ = 0;  // the kept positions: [block_, block_end_)
  std::uint64_t hits_ = 0, stops_ = 0;     // bit k: position block_ + k
#if defined(ICCDROP_SCAN_AVX2)
  bool avx2_ = use_avx2();
#endif
};

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
//
// For a pattern known at compile time the walk is unrolled over its tokens:
// walk_back_over takes one token, walk_back_fixed the whole walk.
template <const match::TokenPattern& kPattern, std::size_t I>
[[gnu::always_inline]] inline bool walk_back_over(const unsigned char* base,
                                                  std::size_t floor, std::size_t& p) {
  constexpr std::string_view kToken = kPattern.tokens[I];
  constexpr match::TokenKind kKind = match::token_kind(kToken);
  if constexpr (kKind == match::TokenKind::kEmpty) {
    return true;
  } else {
    while (p > floor && match::is_gap_byte(base[p - 1])) --p;
    if constexpr (kKind == match::TokenKind::kNumber) {
      if (p == floor || !match::is_digit(base[p - 1])) return false;
      do --p;
      while (p > floor && match::is_digit(base[p - 1]));
    } else {
      if (p - floor < kToken.size() || !bytes_equal(base + p - kToken.size(), kToken)) {
        return false;
      }
      p -= kToken.size();
    }
    return true;
  }
}

// Inlined: as a call from the shared scan it cost 2% more instructions on
// near-miss input.
template <const match::TokenPattern& kPattern>
[[gnu::always_inline]] inline std::optional<std::size_t> walk_back_fixed(
    std::span<const unsigned char> window, std::size_t floor, std::size_t anchor_at) {
  constexpr std::size_t kAnchor = anchor_token_index(kPattern);
  std::size_t p = anchor_at;
  const bool found = [&]<std::size_t... J>(std::index_sequence<J...>) {
    return (walk_back_over<kPattern, kAnchor - 1 - J>(window.data(), floor, p) && ...);
  }
  (std::make_index_sequence<kAnchor>{});
  if (!found) return std::nullopt;
  return p;
}

template <const match::TokenPattern& kPattern>
inline bool match_fixed(match::Region region, match::SequenceMatch& match) {
  return match::match_sequence_at_start_fixed<kPattern>(region, match);
}

// A pattern as a lane sees it: its anchor, the walk back from an anchor and
// the forward match. One of the passes' own patterns is all constants, so
// that the anchor compare and both walks are compiled for it.
template <const match::TokenPattern& kPattern>
struct FixedPattern {
  static constexpr std::string_view anchor() { return kPattern.anchor; }
  [[gnu::always_inline]] static std::optional<std::size_t> walk_back(
      std::span<const unsigned char> window, std::size_t floor, std::size_t anchor_at) {
    return walk_back_fixed<kPattern>(window, floor, anchor_at);
  }
  [[gnu::always_inline]] static bool match_at(match::Region region,
                                              match::SequenceMatch& match) {
    return match_fixed<kPattern>(region, match);
  }
};

// One pattern's part of a window scan. Candidates come in order from a
// cursor that all the patterns of the scan share, and take() handles each:
// the anchor there (`pattern.anchor()`), the walk back from it to the one
// place a match through it can begin (`pattern.walk_back(window, floor,
// anchor_at)`), and the forward match from that place (`pattern.match_at(
// region, match)`).
//
// Matches are searched from pos() on. A match holds its anchor token, and no
// byte between the match's start and that token is the anchor's lead byte,
// so each anchor has at most one match through it, starting after the anchor
// before it. Anchors are visited in order, and so are matches.
template <typename Pattern, typename Visit>
class PatternLane {
 public:
  [[gnu::always_inline]] PatternLane(Pattern pattern, Visit& visit)
      : pattern_(pattern), visit_(visit) {}

  bool done() const { return done_; }
  std::size_t pos() const { return pos_; }

  // `at` holds the anchor's lead byte and either sits at or after the zone's
  // end or is followed by one of the cursor's second bytes. True when a
  // match was visited: the visitor may have rewritten the window.
  [[gnu::always_inline]] bool take(std::span<const unsigned char> window,
                                   std::size_t at) {
    constexpr std::size_t kZone = stream::kZoneLimit;
    if (done_ || at < pos_) return false;
    if (at + pattern_.anchor().size() > window.size()) {
      done_ = true;
      return false;
    }
    if (!bytes_equal(window.data() + at, pattern_.anchor())) {
      // After a lead byte at or beyond the zone that is no anchor, every
      // match starts beyond the zone.
      done_ = at >= kZone;
      return false;
    }
    bool visited = false;
    while (true) {
      const auto start = pattern_.walk_back(window, pos_, at);
      if (start && *start > kZone) break;  // every later match starts after it
      if (start && pattern_.match_at(window.subspan(*start), match())) {
        visit_(*start, *match_);
        visited = true;
        pos_ = *start + std::min(match_->total_length, kMaxAdvance);
        if (pos_ > kZone || pos_ >= window.size()) break;
        // The bytes from the match's start to its anchor hold no lead byte,
        // so the next candidate is this anchor again or a later one.
        if (pos_ <= at) continue;
        return visited;
      }
      // No match through this anchor; one through a later anchor starts
      // after this one's lead byte.
      if (at >= kZone) break;
      pos_ = at + 1;
      return visited;
    }
    done_ = true;
    return visited;
  }

 private:
  // Made at the first forward match: most windows of images and text have
  // none, and zeroing its 200 bytes for each lane and window cost more than
  // the lane's scan of such a window.
  match::SequenceMatch& match() {
    if (!match_) match_.emplace();
    return *match_;
  }

  Pattern pattern_;
  Visit& visit_;
  std::optional<match::SequenceMatch> match_;
  std::size_t pos_ = 0;
  bool done_ = false;
};

// Whether an anchor starts in the window's first 4096 bytes: there it lies
// whole in this window and in the one before, the windows pass 2 must see.
// A part of pass 1's scan, which finds its candidates anyway.
class AnchorInFront {
 public:
  // `candidates` finds this anchor as its third second byte, and stops once
  // this part is done: on near-miss input, one candidate in three.
  AnchorInFront(std::string_view anchor, CandidateCursor& candidates)
      : anchor_(anchor), candidates_(candidates) {}

  bool done() const { return done_; }
  std::size_t pos() const { return pos_; }
  bool found() const { return found_; }

  [[gnu::always_inline]] bool take(std::span<const unsigned char> window,
                                   std::size_t at) {
    if (done_ || at < pos_) return false;
    if (at >= stream::kChunkSize || at + anchor_.size() > window.size()) {
      done_ = true;
    } else if (bytes_equal(window.data() + at, anchor_)) {
      found_ = done_ = true;
    }
    if (done_) candidates_.drop_third_second();
    pos_ = at + 1;
    return false;
  }

 private:
  std::string_view anchor_;
  CandidateCursor& candidates_;
  std::size_t pos_ = 0;
  bool done_ = false;
  bool found_ = false;
};

// Each '/' followed by one of two given bytes at offsets [begin, end), in
// order, for a reading of its own: a part of the scan that finds every key
// of the --all mode in the same pass as the default mode's anchors. Never
// rewrites the window.
template <typename Visit>
class KeyLane {
 public:
  KeyLane(char second, char other_second, std::size_t begin, std::size_t end,
          Visit& visit)
      : second_(static_cast<unsigned char>(second)),
        other_second_(static_cast<unsigned char>(other_second)),
        end_(end),
        visit_(visit),
        pos_(begin),
        done_(begin >= end) {}

  bool done() const { return done_; }
  std::size_t pos() const { return pos_; }
  // Where the cursor must stop at every lead byte, so that this part ends.
  std::size_t stops_from() const { return end_; }

  // `at` holds the lead byte, and a byte after it.
  [[gnu::always_inline]] bool take(std::span<const unsigned char> window,
                                   std::size_t at) {
    if (done_ || at < pos_) return false;
    if (at >= end_) {
      done_ = true;
      return false;
    }
    if (window[at + 1] == second_ || window[at + 1] == other_second_) visit_(at);
    pos_ = at + 1;
    return false;
  }

 private:
  unsigned char second_, other_second_;
  std::size_t end_;
  Visit& visit_;
  std::size_t pos_;
  bool done_;
};

// The one loop of every window scan: each candidate of the shared cursor
// goes to every part not yet done, from the smallest position any of them
// still wants. One cursor for all the anchors of a pass: a second scan of
// the window for another anchor cost as much as the first.
template <typename... Lanes>
[[gnu::always_inline]] inline void scan(std::span<const unsigned char> window,
                                        CandidateCursor& candidates, Lanes&... lanes) {
  std::size_t from = 0;
  while (!(lanes.done() && ...)) {
    std::size_t wanted = window.size();
    ((wanted = lanes.done() ? wanted : std::min(wanted, lanes.pos())), ...);
    const auto at = candidates.next(std::max(from, wanted));
    if (!at) return;
    // Every lane must see the candidate: '|' without a short cut, on ints
    // (clang warns of '|' between bools).
    if ((static_cast<int>(lanes.take(window, *at)) | ...)) candidates.forget();
    from = *at + 1;
  }
}

}  // namespace scan_detail

// for_each_match(window, kPattern, visit) for one of the passes' patterns.
template <const match::TokenPattern& kPattern, typename Visit>
[[gnu::always_inline]] inline void for_each_fixed_match(
    std::span<const unsigned char> window, Visit&& visit) {
  scan_detail::PatternLane lane(scan_detail::FixedPattern<kPattern>{}, visit);
  scan_detail::CandidateCursor candidates(window, kPattern.anchor[0], kPattern.anchor[1],
                                          kPattern.anchor[1], stream::kZoneLimit);
  scan_detail::scan(window, candidates, lane);
}

// for_each_entry_and_profile(window, visit_entry, visit_profile), and
// whether an «/ICCBased» starts in the window's first 4096 bytes. Further
// parts of the same scan may come last: KeyLanes, whose lead byte must be
// '/' and whose second bytes must be among «/Cs», «/N» and «/ICCBased»'s.
template <typename VisitEntry, typename VisitProfile, typename... Keys>
inline bool for_each_entry_and_profile_fixed(std::span<const unsigned char> window,
                                             VisitEntry&& visit_entry,
                                             VisitProfile&& visit_profile,
                                             Keys&... keys) {
  using scan_detail::FixedPattern;
  static_assert(kResourceEntryPattern.anchor[0] == kProfileStreamPattern.anchor[0] &&
                kIccArrayPattern.anchor[0] == kProfileStreamPattern.anchor[0]);
  scan_detail::PatternLane entries(FixedPattern<kResourceEntryPattern>{}, visit_entry);
  scan_detail::PatternLane profiles(FixedPattern<kProfileStreamPattern>{}, visit_profile);
  // Every lead byte from the zone's end on is a candidate: one that is no
  // anchor ends the patterns' lanes there. A KeyLane that goes on further
  // moves that to its own end: the patterns' lanes then end at their next
  // candidate, and on images --all's keys no longer stopped the cursor at
  // every '/' of a window's last 1024 bytes.
  const std::size_t stops_from = std::max({stream::kZoneLimit, keys.stops_from()...});
  scan_detail::CandidateCursor candidates(
      window, kResourceEntryPattern.anchor[0], kResourceEntryPattern.anchor[1],
      kProfileStreamPattern.anchor[1], kIccArrayPattern.anchor[1], stops_from);
  scan_detail::AnchorInFront arrays(kIccArrayPattern.anchor, candidates);
  scan_detail::scan(window, candidates, entries, profiles, arrays, keys...);
  return arrays.found();
}

}  // namespace iccdrop::colorspace
