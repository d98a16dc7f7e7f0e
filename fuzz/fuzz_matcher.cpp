// The sequence matcher against the slow reference matcher. The input chooses
// a pattern (one of the three the passes use, or a token list of its own) and
// a region; match_sequence must agree with reference_match_sequence on the
// position, the total length and every token's length and value, also when
// narrowed by last_start. For the passes' patterns, for_each_match must visit
// what the plain reference loop visits on the region taken as a window.
//
// Input layout: [kind] [pattern bytes...] [last_start: 2 bytes] [region...]
//   kind % 4 = 0, 1, 2: resource entry, profile stream, ICC-based array;
//   kind % 4 = 3: [count] then per token a selector byte (a literal or name
//   prefix of 1 to 3 raw bytes takes them from the input), then an anchor
//   selector byte.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "colorspace/patterns.h"
#include "colorspace/window_scan.h"
#include "match/sequence.h"
#include "stream/window_stream.h"
#include "support/reference_matcher.h"

namespace {

using iccdrop::match::Region;
using iccdrop::match::SequenceMatch;
using iccdrop::match::TokenPattern;

constexpr std::string_view kVocabulary[] = {"#",   "#", "...", "/Cs*", "/N",        "obj",
                                            "<<",  "[", "]",   "R",    "/ICCBased", "*",
                                            "/A*", "0", "<",   "/"};

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  Region rest() const { return {data_ + at_, size_ - at_}; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

struct Outcome {
  std::optional<std::size_t> start;
  std::size_t total_length = 0;
  std::vector<std::size_t> lengths;
  std::vector<std::int32_t> values;  // number tokens only
  bool operator==(const Outcome&) const = default;
};

Outcome outcome_of(std::optional<std::size_t> start, const SequenceMatch& match,
                   const TokenPattern& pattern) {
  Outcome outcome{start, 0, {}, {}};
  if (!start) return outcome;
  outcome.total_length = match.total_length;
  for (std::size_t i = 0; i < pattern.tokens.size(); ++i) {
    outcome.lengths.push_back(match.lengths[i]);
    if (pattern.tokens[i] == "#") outcome.values.push_back(match.values[i]);
  }
  return outcome;
}

void check_sequence(Region region, const TokenPattern& pattern, std::size_t last_start) {
  SequenceMatch fast;
  SequenceMatch slow;
  const Outcome fast_outcome =
      outcome_of(iccdrop::match::match_sequence(region, pattern, fast), fast, pattern);
  const Outcome slow_outcome = outcome_of(
      iccdrop::testing::reference_match_sequence(region, pattern, slow), slow, pattern);
  if (!(fast_outcome == slow_outcome)) std::abort();
  // Narrowed: the same first match when it begins at or before last_start,
  // otherwise none.
  SequenceMatch narrowed;
  const auto narrowed_start =
      iccdrop::match::match_sequence(region, pattern, narrowed, last_start);
  const bool expect = slow_outcome.start && *slow_outcome.start <= last_start;
  if (narrowed_start.has_value() != expect) std::abort();
  if (expect && !(outcome_of(narrowed_start, narrowed, pattern) == slow_outcome)) {
    std::abort();
  }
}

struct Visit {
  std::size_t start;
  Outcome outcome;
  bool operator==(const Visit&) const = default;
};

void check_window(Region window, const TokenPattern& pattern) {
  std::vector<Visit> fast;
  std::vector<Visit> slow;
  iccdrop::colorspace::for_each_match(
      window, pattern, [&](std::size_t start, const SequenceMatch& match) {
        fast.push_back({start, outcome_of(start, match, pattern)});
      });
  iccdrop::testing::reference_for_each_match(
      window, pattern, [&](std::size_t start, const SequenceMatch& match) {
        slow.push_back({start, outcome_of(start, match, pattern)});
      });
  if (fast != slow) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t kind = in.byte() % 4;
  static constexpr const TokenPattern* kPassPatterns[] = {
      &iccdrop::colorspace::kResourceEntryPattern,
      &iccdrop::colorspace::kProfileStreamPattern,
      &iccdrop::colorspace::kIccArrayPattern};

  std::vector<std::string> texts;
  std::string anchor;
  if (kind == 3) {
    const std::size_t count = 1 + in.byte() % iccdrop::match::kMaxTokens;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t selector = in.byte();
      if (selector < 2 * std::size(kVocabulary)) {
        texts.emplace_back(kVocabulary[selector % std::size(kVocabulary)]);
      } else {
        std::string text;
        for (int n = 1 + selector % 3; n > 0; --n) text += static_cast<char>(in.byte());
        if (selector & 0x08) text += '*';
        texts.push_back(text);
      }
    }
    const std::uint8_t anchor_selector = in.byte();
    switch (anchor_selector % 4) {
      case 0:
        break;  // empty: every region holds it
      case 1:
        anchor = texts[anchor_selector / 4 % texts.size()];
        if (anchor == "#") anchor = "1";
        if (anchor == "...") anchor.clear();
        if (!anchor.empty() && anchor.back() == '*') anchor.pop_back();
        break;
      default:
        for (int n = anchor_selector % 4 - 1; n > 0; --n)
          anchor += static_cast<char>(in.byte());
        break;
    }
  }
  std::size_t last_start = in.byte();
  last_start = last_start << 8 | in.byte();
  const Region region = in.rest();

  if (kind < 3) {
    const TokenPattern& pattern = *kPassPatterns[kind];
    check_sequence(region, pattern, last_start);
    if (region.size() <= iccdrop::stream::kWindowSize) check_window(region, pattern);
    return 0;
  }
  const std::vector<std::string_view> tokens(texts.begin(), texts.end());
  check_sequence(region, TokenPattern{anchor, tokens}, last_start);
  return 0;
}
