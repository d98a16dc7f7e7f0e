// The sequence matcher: the anchor test, gaps between tokens, retries after a
// failed attempt, the empty token, region bounds, `last_start`, and the three
// patterns of the colour-space passes on typical and awkward PDF text.
#include "match/sequence.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "colorspace/patterns.h"
#include "support/region_text.h"

namespace iccdrop::match {
namespace {

using iccdrop::testing::bytes_of;
using iccdrop::testing::show;

using namespace std::string_view_literals;
using colorspace::kIccArrayPattern;
using colorspace::kProfileStreamPattern;
using colorspace::kResourceEntryPattern;

constexpr std::optional<std::size_t> kNone = std::nullopt;
constexpr std::int32_t kUntouched = -77;  // a value entry that must stay as it was
constexpr std::size_t kUnset = 999;

SequenceMatch fresh_match() {
  SequenceMatch match;
  match.total_length = kUnset;
  match.lengths.fill(kUnset);
  match.values.fill(kUntouched);
  return match;
}

struct Row {
  std::string_view anchor;
  std::vector<std::string_view> tokens;
  std::string_view text;
  std::optional<std::size_t> start;
  std::string_view matched;          // text of the whole match, when there is one
  std::vector<std::size_t> lengths;  // one per token
  std::vector<std::int32_t> values;  // one per token; kUntouched for non-numbers
};

void check_row(const Row& row) {
  SCOPED_TRACE(show(row.text));
  const auto region = bytes_of(row.text);
  const TokenPattern pattern{row.anchor, row.tokens};
  SequenceMatch match = fresh_match();
  const auto found = match_sequence(region, pattern, match);
  ASSERT_EQ(found, row.start);
  if (!found) return;
  ASSERT_EQ(row.text.substr(*found, row.matched.size()), row.matched) << "bad row";
  EXPECT_EQ(match.total_length, row.matched.size());
  ASSERT_EQ(row.lengths.size(), row.tokens.size()) << "bad row";
  ASSERT_EQ(row.values.size(), row.tokens.size()) << "bad row";
  for (std::size_t i = 0; i < row.tokens.size(); ++i) {
    EXPECT_EQ(match.lengths[i], row.lengths[i]) << "token " << i;
    EXPECT_EQ(match.values[i], row.values[i]) << "token " << i;
  }
  for (std::size_t i = row.tokens.size(); i < kMaxTokens; ++i) {
    EXPECT_EQ(match.lengths[i], kUnset) << "entry " << i << " lies past the pattern";
    EXPECT_EQ(match.values[i], kUntouched) << "entry " << i << " lies past the pattern";
  }
}

void check_rows(const std::vector<Row>& rows) {
  for (const Row& row : rows) check_row(row);
}

constexpr std::int32_t U = kUntouched;  // short, for the rows below
const std::vector<std::string_view> kRef{"#", "#", "R"};
const std::vector<std::string_view> kObj{"#", "#", "obj"};
const std::vector<std::string_view> kCs{"/Cs*", "#", "#", "R"};
const std::vector<std::string_view> kBracket{"[", "...", "]"};

TEST(SequenceMatcher, AnchorMustOccurSomewhereInTheRegion) {
  check_rows({
      {"R", kRef, "5 0 R", 0, "5 0 R", {1, 1, 1}, {5, 0, U}},
      {"obj", kRef, "5 0 R", kNone, "", {}, {}},                    // missing
      {"Q", kRef, "Q 5 0 R", 2, "5 0 R", {1, 1, 1}, {5, 0, U}},     // before the match
      {"Q", kRef, "5 0 R Q", 0, "5 0 R", {1, 1, 1}, {5, 0, U}},     // after the match
      {"bj", kObj, "1 0 obj", 0, "1 0 obj", {1, 1, 3}, {1, 0, U}},  // inside a word
      {"OBJ", kObj, "1 0 obj", kNone, "", {}, {}},                  // case matters
      {"", kRef, "5 0 R", 0, "5 0 R", {1, 1, 1}, {5, 0, U}},        // empty anchor
      {"", kRef, "", kNone, "", {}, {}},                            // empty region
  });
}

TEST(SequenceMatcher, LaterTokensFollowAfterGapBytesOnly) {
  const std::string long_gap = "5" + std::string(300, ' ') + "0 R";
  constexpr std::string_view kNulGaps = "5\0\x30\0R"sv;      // «5 0 R», NULs for spaces
  constexpr std::string_view kNoBreakSpace = "5\xA0\x30 R";  // «5 0 R», Latin-1 space
  check_rows({
      {"R", kRef, kNulGaps, 0, kNulGaps, {1, 1, 1}, {5, 0, U}},
      {"R", kRef, "5\r\n0\tR", 0, "5\r\n0\tR", {1, 1, 1}, {5, 0, U}},
      {"R", kRef, "5 0R", 0, "5 0R", {1, 1, 1}, {5, 0, U}},  // no gap before R
      {"R", kRef, long_gap, 0, long_gap, {1, 1, 1}, {5, 0, U}},
      {"R", kRef, "5 0 R/", 0, "5 0 R", {1, 1, 1}, {5, 0, U}},  // '/' ends the R
      {"R", kRef, "5\f0 R", kNone, "", {}, {}},                 // form feed
      {"R", kRef, "5 0\fR", kNone, "", {}, {}},
      {"R", kRef, "5\v0 R", kNone, "", {}, {}},  // vertical tab
      {"R", kRef, kNoBreakSpace, kNone, "", {}, {}},
      {"R", kRef, "5 0 x R", kNone, "", {}, {}},  // a word between
      {"R", kRef, "50 R", kNone, "", {}, {}},     // one number, not two
      {"R", kRef, "5 0 Rx", kNone, "", {}, {}},   // R is a word's front
  });
}

TEST(SequenceMatcher, FailedAttemptRetriesOneByteAfterItsFirstToken) {
  check_rows({
      {"obj", kObj, "1 2 3 obj", 2, "2 3 obj", {1, 1, 3}, {2, 3, U}},
      {"obj", kObj, "/Length1 0 obj", 7, "1 0 obj", {1, 1, 3}, {1, 0, U}},
      {"obj", kObj, "12.5 0 obj", 3, "5 0 obj", {1, 1, 3}, {5, 0, U}},
      // After the first token, not after the token that failed (the 4).
      {"obj", kObj, "1 23 4 obj", 2, "23 4 obj", {2, 1, 3}, {23, 4, U}},
      {"obj", kObj, "x123 0 obj", 1, "123 0 obj", {3, 1, 3}, {123, 0, U}},
      {"obj", kObj, "1 2 3 4 x obj", kNone, "", {}, {}},
      {"<<", {"obj", "<<"}, "obj x obj <<", 6, "obj <<", {3, 2}, {U, U}},
      {"obj", {"obj", "#"}, "endobj 5", 3, "obj 5", {3, 1}, {U, 5}},
      {"/Cs", kCs, "/Cs1 7 /Cs2 8 0 R", 7, "/Cs2 8 0 R", {4, 1, 1, 1}, {U, 8, 0, U}},
      // A first token that overlaps itself: the retry finds the second «<<».
      {"/N", {"<<", "/N"}, "<<</N 3", 1, "<</N", {2, 2}, {U, U}},
      {"b", {"1 1", "b"}, "1 1 1 b", 2, "1 1 b", {3, 1}, {U, U}},
      {"/", {"a/*", "/"}, "a/a/b /", 2, "a/b /", {3, 1}, {U, U}},
  });
}

TEST(SequenceMatcher, ValuesComeFromTheSuccessfulAttempt) {
  // The attempts from 7 and from 8 store 8 and 1 before they fail.
  constexpr std::string_view kHuge = "4294967299 0 obj";  // saturates, not 3
  check_rows({
      {"obj", kObj, "7 8 x 1 2 obj", 6, "1 2 obj", {1, 1, 3}, {1, 2, U}},
      {"obj", kObj, kHuge, 0, kHuge, {10, 1, 3}, {2147483647, 0, U}},
  });
}

TEST(SequenceMatcher, EmptyTokenSkipsNothing) {
  check_rows({
      {"]", kBracket, "[ ]", 0, "[ ]", {1, 0, 1}, {U, U, U}},
      {"]", kBracket, "[]", 0, "[]", {1, 0, 1}, {U, U, U}},
      {"]", kBracket, "[x]", kNone, "", {}, {}},  // does not widen the gap
      {"/N", {"<<", "...", "...", "/N"}, "<< /N", 0, "<< /N", {2, 0, 0, 2}, {U, U, U, U}},
      {"", {"...", "#"}, "  7", 0, "  7", {0, 1}, {U, 7}},  // first: gaps may follow
      {"", {"...", "#"}, "x 7", 1, " 7", {0, 1}, {U, 7}},   // first, retried
      {"", {"#", "..."}, "x 5 y", 2, "5", {1, 0}, {5, U}},  // last
      {"", {"..."}, "abc", 0, "", {0}, {U}},                // alone
      {"", {"..."}, "", 0, "", {0}, {U}},                   // alone, empty region
  });
}

TEST(SequenceMatcher, SingleTokenPatternMatchesWhereItsTokenDoes) {
  check_rows({
      {"obj", {"obj"}, "endobj", 3, "obj", {3}, {U}},
      {"", {"#"}, "ab 42", 3, "42", {2}, {42}},
      {"/Cs", {"/Cs*"}, "x /Cs12", 2, "/Cs12", {5}, {U}},
      {"R", {"R"}, "Rx R", 3, "R", {1}, {U}},  // at the very end
  });
}

// Prefixes of «5 0 obj << /N 37»: the match needs the whole of "/N" and at
// least one digit after it, and reads only the digits inside the region.
TEST(SequenceMatcher, StaysInsideItsRegion) {
  const auto buffer = bytes_of("5 0 obj << /N 37 ");
  for (std::size_t n = 0; n <= buffer.size(); ++n) {
    SCOPED_TRACE(n);
    const auto region = bytes_of(std::string_view(
        reinterpret_cast<const char*>(buffer.data()), n));  // exact size for ASan
    SequenceMatch match = fresh_match();
    const auto found = match_sequence(region, kProfileStreamPattern, match);
    if (n < 15) {
      EXPECT_EQ(found, kNone);
      continue;
    }
    ASSERT_EQ(found, 0u);
    EXPECT_EQ(match.values[6], n == 15 ? 3 : 37);
    EXPECT_EQ(match.total_length, n == 15 ? 15u : 16u);
  }
  // A region that starts inside the first number sees only its tail.
  const auto whole = bytes_of("15 0 obj << /N 3");
  SequenceMatch match = fresh_match();
  EXPECT_EQ(match_sequence(Region(whole).subspan(1), kProfileStreamPattern, match), 0u);
  EXPECT_EQ(match.values[0], 5);
  EXPECT_EQ(match_sequence(Region(whole).subspan(2), kProfileStreamPattern, match),
            kNone);
}

TEST(SequenceMatcher, LastStartBoundsWhereTheMatchMayBegin) {
  struct LastStartRow {
    std::string_view text;
    std::size_t last_start;
    std::optional<std::size_t> expected;
  };
  const LastStartRow rows[] = {
      {"1 0 obj 2 0 obj", 0, 0},  // still the first match, not a later one
      {"1 0 obj 2 0 obj", 8, 0}, {"1 0 obj 2 0 obj", kAnyStart, 0},
      {"xxxx1 0 obj", 3, kNone}, {"xxxx1 0 obj", 4, 4},
      {"xxxx1 0 obj", 5, 4},     {"xxxx1 0 obj", 1000, 4},  // beyond the region
      {"1 2 3 obj", 1, kNone},  // the match found by a retry starts at 2
      {"1 2 3 obj", 2, 2},       {"", 0, kNone},
  };
  const TokenPattern pattern{"obj", kObj};
  for (const LastStartRow& row : rows) {
    const auto region = bytes_of(row.text);
    SequenceMatch match = fresh_match();
    EXPECT_EQ(match_sequence(region, pattern, match, row.last_start), row.expected)
        << show(row.text) << " last_start " << row.last_start;
  }
}

// ------------------------------------------------- the patterns of the passes

struct PatternRow {
  const TokenPattern* pattern;
  std::string_view text;
  std::optional<std::size_t> start;
  std::string_view matched;
  std::vector<std::pair<std::size_t, std::int32_t>> values;  // token index, value
};

void check_pattern_rows(const std::vector<PatternRow>& rows) {
  for (const PatternRow& row : rows) {
    SCOPED_TRACE(show(row.text));
    const auto region = bytes_of(row.text);
    SequenceMatch match = fresh_match();
    const auto found = match_sequence(region, *row.pattern, match);
    ASSERT_EQ(found, row.start);
    if (!found) continue;
    ASSERT_EQ(row.text.substr(*found, row.matched.size()), row.matched) << "bad row";
    EXPECT_EQ(match.total_length, row.matched.size());
    std::size_t sum = 0;
    for (std::size_t i = 0; i < row.pattern->tokens.size(); ++i) sum += match.lengths[i];
    EXPECT_LE(sum, match.total_length);
    for (const auto& [index, value] : row.values) {
      EXPECT_EQ(match.values[index], value) << "token " << index;
    }
  }
}

TEST(ResourceEntryPattern, FindsCsNamesThatReferToAnObject) {
  const TokenPattern* p = &kResourceEntryPattern;
  check_pattern_rows({
      {p, "/Cs1 7 0 R", 0, "/Cs1 7 0 R", {{1, 7}, {2, 0}}},
      {p, "/ColorSpace << /Cs1 7 0 R /Cs2 9 0 R >>", 15, "/Cs1 7 0 R", {{1, 7}, {2, 0}}},
      {p, "/CsLongName 12 0 R", 0, "/CsLongName 12 0 R", {{1, 12}, {2, 0}}},
      {p, "/Cs 7 0 R", 0, "/Cs 7 0 R", {{1, 7}}},
      {p, "/Cs1\r\n7\n0\tR", 0, "/Cs1\r\n7\n0\tR", {{1, 7}, {2, 0}}},
      {p, "/Cs1 7 0 R/Cs2 8 0 R", 0, "/Cs1 7 0 R", {{1, 7}}},
      {p, "<</Cs1 7 0 R>>", 2, "/Cs1 7 0 R", {{1, 7}}},
      {p, "/Cs1 7 0R", 0, "/Cs1 7 0R", {{1, 7}, {2, 0}}},
      {p, "/CS1 7 0 R", kNone, "", {}},  // case matters
      {p, "/Cs1 [/ICCBased 5 0 R]", kNone, "", {}},
      {p, "/Cs1 7 0 Rx", kNone, "", {}},
      {p, "/Cs1 7 R", kNone, "", {}},
      {p, "/Cs1 7 0 obj", kNone, "", {}},
      {p, "/Cs1\f7 0 R", kNone, "", {}},
      {p, "/Cs#201 7 0 R", 0, "/Cs#201 7 0 R", {{1, 7}}},  // '#' is regular
  });
}

TEST(ProfileStreamPattern, FindsStreamsWhoseFirstKeyIsN) {
  const TokenPattern* p = &kProfileStreamPattern;
  check_pattern_rows({
      {p, "5 0 obj << /N 3", 0, "5 0 obj << /N 3", {{0, 5}, {1, 0}, {6, 3}}},
      {p, "5 0 obj << /N 4 /Length 2 >>", 0, "5 0 obj << /N 4", {{0, 5}, {6, 4}}},
      {p, "5 0 obj <</N 1/Length 20>>", 0, "5 0 obj <</N 1", {{0, 5}, {6, 1}}},
      {p, "5 0 obj\r\n<<\r\n/N 3", 0, "5 0 obj\r\n<<\r\n/N 3", {{6, 3}}},
      {p, "5 0 obj<</N 3>>", 0, "5 0 obj<</N 3", {{6, 3}}},
      {p, "15 0 obj << /N 3", 0, "15 0 obj << /N 3", {{0, 15}}},
      {p,
       "endobj\n8 0 obj\n<< /N 4 /Alternate /DeviceCMYK",
       7,
       "8 0 obj\n<< /N 4",
       {{0, 8}, {1, 0}, {6, 4}}},
      {p, "5 0 obj <<\0/N 3"sv, 0, "5 0 obj <<\0/N 3"sv, {{6, 3}}},
      {p, "5 0 obj << /N 4294967299", 0, "5 0 obj << /N 4294967299", {{6, 2147483647}}},
      {p, "5 0 obj << /Length 900 /N 3", kNone, "", {}},
      {p, "5 0 obj << /Name 3", kNone, "", {}},
      {p, "5 0 obj <<\f/N 3", kNone, "", {}},
      {p, "5 0 obj << /N /3", kNone, "", {}},
      {p, "5 0 obj [ /N 3", kNone, "", {}},
      {p, "5 0 R << /N 3", kNone, "", {}},
  });
}

TEST(IccArrayPattern, FindsIccBasedArrayObjects) {
  const TokenPattern* p = &kIccArrayPattern;
  check_pattern_rows({
      {p,
       "7 0 obj [/ICCBased 5 0 R]",
       0,
       "7 0 obj [/ICCBased 5 0 R]",
       {{0, 7}, {1, 0}, {5, 5}, {6, 0}}},
      {p,
       "7 0 obj\n[/ICCBased 5 0R]\nendobj",
       0,
       "7 0 obj\n[/ICCBased 5 0R]",
       {{5, 5}, {6, 0}}},  // the shortest array text, 16 bytes
      {p,
       "7 0 obj [ /ICCBased 8 0 R ] endobj",
       0,
       "7 0 obj [ /ICCBased 8 0 R ]",
       {{0, 7}, {5, 8}}},
      {p,
       "endobj\r\n12 3 obj\r\n[\r\n/ICCBased\r\n45 6\r\nR\r\n]",
       8,
       "12 3 obj\r\n[\r\n/ICCBased\r\n45 6\r\nR\r\n]",
       {{0, 12}, {1, 3}, {5, 45}, {6, 6}}},
      {p, "7 0 obj [/ICCBased5 0 R]", kNone, "", {}},  // no gap after the name
      {p, "7 0 obj [/ICCBased 50R]", kNone, "", {}},   // one number, not two
      {p, "7 0 obj [/ICCBased 5 0 R", kNone, "", {}},
      {p, "7 0 obj [/ICCBased 5 0 R /Extra]", kNone, "", {}},
      {p, "[/ICCBased 5 0 R]", kNone, "", {}},
      {p, "7 0 obj [/ICCBased 5 0 R]"sv.substr(0, 24), kNone, "", {}},
      {p,
       "7 0 obj [/ICCBasedX 5 0 R] 8 0 obj [/ICCBased 6 0 R]",
       27,
       "8 0 obj [/ICCBased 6 0 R]",
       {{0, 8}, {5, 6}}},
      {p, "7 0 obj [/Indexed /DeviceRGB 1 <00>] /ICCBased", kNone, "", {}},
  });
}

TEST(IccArrayPattern, ShortestArrayTextIsSixteenBytes) {
  const auto region = bytes_of("7 0 obj [/ICCBased 5 0R]");
  SequenceMatch match = fresh_match();
  ASSERT_EQ(match_sequence(region, kIccArrayPattern, match), 0u);
  const std::size_t array_start = 8;  // the '['
  EXPECT_EQ(match.total_length - array_start, 16u);
}

}  // namespace
}  // namespace iccdrop::match
