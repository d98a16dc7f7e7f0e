// The token matcher: byte search, digit search, the gap test and the four
// token kinds, on regions that hold NULs, high bytes and cut-off tokens.
#include "match/token.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/region_text.h"

namespace iccdrop::match {
namespace {

using iccdrop::testing::bytes_of;
using iccdrop::testing::show;

using namespace std::string_view_literals;

constexpr std::optional<std::size_t> kNone = std::nullopt;
constexpr std::int32_t kUntouched = -77;

// ---------------------------------------------------------------- find_bytes

struct FindRow {
  std::string_view region;
  std::string_view needle;
  std::optional<std::size_t> expected;
};

constexpr FindRow kFindBytesRows[] = {
    {"", "", 0},                 // empty needle on an empty region
    {"abc", "", 0},              // empty needle: the region's start
    {"", "a", kNone},            // empty region
    {"ab", "abc", kNone},        // needle longer than the region
    {"abc", "abc", 0},           // needle is the whole region
    {"xxabc", "abc", 2},         // at the very end
    {"xxab", "abc", kNone},      // region ends inside the needle
    {"aaab", "aab", 1},          // first byte repeats before the real start
    {"abab", "ab", 0},           // first of two
    {"ObjOBJobj", "obj", 6},     // case matters
    {"a\0b\0c"sv, "\0c"sv, 3},   // NULs inside region and needle
    {"\0\0\0"sv, "\0"sv, 0},     // NUL as the whole needle
    {"\x80\xFF/Cs", "/Cs", 2},   // high bytes before
    {"x\xC3\xA9y", "\xA9y", 2},  // high bytes in the needle
    {"\x80\x80\x80", "\x80\x81", kNone},
};

TEST(FindBytes, Table) {
  for (const FindRow& row : kFindBytesRows) {
    const auto region = bytes_of(row.region);
    EXPECT_EQ(find_bytes(region, row.needle), row.expected)
        << show(row.region) << " needle " << show(row.needle);
  }
}

TEST(FindBytes, StaysInsideASubRegion) {
  // «obj» lies partly after the region's end: not found.
  const auto buffer = bytes_of("5 0 obj");
  EXPECT_EQ(find_bytes(Region(buffer).first(6), "obj"), kNone);
  EXPECT_EQ(find_bytes(Region(buffer).first(7), "obj"), 4u);
  EXPECT_EQ(find_bytes(Region(buffer).subspan(5), "obj"), kNone);
  EXPECT_EQ(find_bytes(Region(buffer).subspan(4), "obj"), 0u);
}

TEST(FindBytes, NeedleAtTheEndOfALargeRegion) {
  std::string text(8190, '/');  // every byte matches the needle's first byte
  text += "Cs";
  const auto region = bytes_of(text);
  EXPECT_EQ(find_bytes(region, "/Cs"), 8189u);
  EXPECT_EQ(find_bytes(Region(region).first(8191), "/Cs"), kNone);
}

// ---------------------------------------------------------------- find_digit

struct DigitRow {
  std::string_view region;
  std::optional<std::size_t> expected;
};

constexpr DigitRow kFindDigitRows[] = {
    {"", kNone},             // empty region
    {"obj R << >>", kNone},  // no digit at all
    {"0", 0},                // the whole region
    {"abc9", 3},             // at the very end
    {"\0\0\x39"sv, 2},       // «9» after NULs
    {"\xB9\xB2\xB3 1", 4},   // Latin-1 superscripts are no digits
    {"-.+5", 3},             // no sign, no decimal point
    {"\f\v7", 2},            // after other white space
};

TEST(FindDigit, Table) {
  for (const DigitRow& row : kFindDigitRows) {
    const auto region = bytes_of(row.region);
    EXPECT_EQ(find_digit(region), row.expected) << show(row.region);
  }
}

// ------------------------------------------------------------- all_gap_bytes

struct GapRow {
  std::string_view region;
  bool expected;
};

constexpr GapRow kAllGapRows[] = {
    {"", true},             // an empty range
    {" ", true},            // one space
    {" \r\n\t\0"sv, true},  // each gap byte
    {"\0\0\0\0"sv, true},   // NULs only
    {"  \f  ", false},      // form feed
    {"\v", false},          // vertical tab
    {" \x80", false},       // a high byte
    {"\xA0", false},        // no-break space
    {"  x", false},         // a non-gap byte at the very end
    {"x  ", false},         // and at the start
};

TEST(AllGapBytes, Table) {
  for (const GapRow& row : kAllGapRows) {
    const auto region = bytes_of(row.region);
    EXPECT_EQ(all_gap_bytes(region), row.expected) << show(row.region);
  }
}

// --------------------------------------------------------------- match_token

struct TokenRow {
  std::string_view region;
  std::string_view token;
  std::optional<std::size_t> position;
  std::size_t length = 0;           // when found
  std::int32_t value = kUntouched;  // number tokens only
};

constexpr TokenRow kNumberRows[] = {
    {"obj 12 0", "#", 4, 2, 12},
    {"obj R", "#", kNone},
    {"", "#", kNone},
    {"7", "#", 0, 1, 7},
    {"x 0", "#", 2, 1, 0},
    {"12.5", "#", 0, 2, 12},  // the run stops at the point, nothing else checked
    {"/Length1 0", "#", 7, 1, 1},
    {"-3", "#", 1, 1, 3},
    {"\0\0\x34\x32\0"sv, "#", 2, 2, 42},  // «42» between NULs
    {"\xB9\xB3\x38", "#", 2, 1, 8},       // Latin-1 superscripts, then «8»
    {"007", "#", 0, 3, 7},
    {"2147483647", "#", 0, 10, 2147483647},
    {"2147483648", "#", 0, 10, 2147483647},  // saturates
    {"4294967299", "#", 0, 10, 2147483647},  // not the wrapped 3
    {"99999999999999999999999999", "#", 0, 26, 2147483647},
    {"000000000000000000000000002147483646", "#", 0, 36, 2147483646},
};

constexpr TokenRow kEmptyRows[] = {
    {"", "...", 0, 0},
    {"5 0 obj", "...", 0, 0},
    {"\0"sv, "...", 0, 0},
    {"\x80", "...", 0, 0},
};

constexpr TokenRow kNamePrefixRows[] = {
    {"/Cs12 7 0 R", "/Cs*", 0, 5},
    {"/Cs/Foo", "/Cs*", 0, 3},  // '/' ends the run
    {"/Cs", "/Cs*", 0, 3},      // the run may be empty, at the very end
    {"x /CsA#1.b-~\"", "/Cs*", 2, 11},
    {"/Cs1\0"sv, "/Cs*", 0, 4},
    {"/Cs1\f", "/Cs*", 0, 4},
    {"/Cs1\x80", "/Cs*", 0, 4},
    {"/Cs1[", "/Cs*", 0, 4},
    {"/CS1 /cs2", "/Cs*", kNone},  // case matters
    {"/C", "/Cs*", kNone},         // region ends inside the prefix
    {"a/Cs", "/Cs*", 1, 3},        // the byte before is not examined
    {"ab", "*", 0, 2},             // an empty prefix: the run at the start
    {"[ab", "*", 0, 0},
};

constexpr TokenRow kLiteralRows[] = {
    {"/Rect 5 0 R]", "R", 10, 1},     // the R of /Rect is followed by 'e'
    {"/Name 3 /N 3", "/N", 8, 2},     // the first /N is the front of /Name
    {"<</N 3", "<<", 0, 2},           // '/' is not regular
    {"endobj 5 0 obj", "obj", 3, 3},  // the byte before is never examined
    {"obj", "obj", 0, 3},             // ends exactly at the region's end
    {"ob", "obj", kNone},             // longer than the region
    {"", "R", kNone},
    {"Rx Ry", "R", kNone},  // every occurrence is the front of a word
    {"RR", "R", 1, 1},      // the retry starts one byte on
    {"aaa ", "aa", 1, 2},   // overlapping occurrences
    {"R\0"sv, "R", 0, 1},
    {"R\f", "R", 0, 1},    // form feed is not regular
    {"R\x80", "R", 0, 1},  // nor is a high byte
    {"R%", "R", 0, 1},
    {"R.", "R", kNone},
    {"\0R"sv, "R", 1, 1},
    {"[/ICCBased5 [/ICCBased 5", "/ICCBased", 13, 9},
    {"a\xC3\xA9 b", "\xC3\xA9", 1, 2},
};

void check_rows(std::span<const TokenRow> rows) {
  for (const TokenRow& row : rows) {
    const auto region = bytes_of(row.region);
    std::size_t length = 12345;
    std::int32_t value = kUntouched;
    const auto found = match_token(region, row.token, length, value);
    EXPECT_EQ(found, row.position) << row.token << " on " << show(row.region);
    if (found && row.position) {
      EXPECT_EQ(length, row.length) << row.token << " on " << show(row.region);
    }
    // Only a number token writes a value; the others leave it alone.
    if (found || token_kind(row.token) != TokenKind::kNumber) {
      EXPECT_EQ(value, row.value) << row.token << " on " << show(row.region);
    }
  }
}

TEST(TokenMatcher, NumberSkipsToTheFirstDigitAndTakesTheWholeRun) {
  check_rows(kNumberRows);
}

TEST(TokenMatcher, EmptyTokenMatchesAtTheSearchPositionWithLengthZero) {
  check_rows(kEmptyRows);
}

TEST(TokenMatcher, NamePrefixTakesTheRegularCharsThatFollow) {
  check_rows(kNamePrefixRows);
}

TEST(TokenMatcher, LiteralFollowedByRegularCharIsSkipped) { check_rows(kLiteralRows); }

TEST(TokenMatcher, KindFollowsFromTheText) {
  EXPECT_EQ(token_kind("#"), TokenKind::kNumber);
  EXPECT_EQ(token_kind("##"), TokenKind::kLiteral);
  EXPECT_EQ(token_kind("..."), TokenKind::kEmpty);
  EXPECT_EQ(token_kind(".."), TokenKind::kLiteral);
  EXPECT_EQ(token_kind("/Cs*"), TokenKind::kNamePrefix);
  EXPECT_EQ(token_kind("*"), TokenKind::kNamePrefix);
  EXPECT_EQ(token_kind("*a"), TokenKind::kLiteral);
  EXPECT_EQ(token_kind("obj"), TokenKind::kLiteral);
}

// A token that continues past the region's end is judged on the bytes inside
// the region only: the bytes after the end are neither read nor counted.
TEST(TokenMatcher, RegionEndingMidToken) {
  const auto buffer = bytes_of("/CsName 123 objx Rect");
  const Region all(buffer);
  std::size_t length = 0;
  std::int32_t value = kUntouched;

  // «/CsNa|me»: the run stops at the region's end.
  EXPECT_EQ(match_token(all.first(5), "/Cs*", length, value), 0u);
  EXPECT_EQ(length, 5u);
  // «/C|s»: the prefix itself is cut.
  EXPECT_EQ(match_token(all.first(2), "/Cs*", length, value), kNone);
  // «12|3»: the number is what the region holds.
  EXPECT_EQ(match_token(all.first(10), "#", length, value), 8u);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(value, 12);
  // «obj|x»: the x lies outside, so the literal ends at the region's end.
  value = kUntouched;
  EXPECT_EQ(match_token(all.first(15), "obj", length, value), 12u);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(match_token(all.first(16), "obj", length, value), kNone);
  // «R|ect»: the same for the last R.
  EXPECT_EQ(match_token(all.first(18), "R", length, value), 17u);
  EXPECT_EQ(match_token(all, "R", length, value), kNone);
  EXPECT_EQ(value, kUntouched);
  // The region may also begin inside a number: «1|23» reads 23.
  EXPECT_EQ(match_token(all.subspan(9), "#", length, value), 0u);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(value, 23);
}

// A window is 8192 bytes and its handled zone ends at 4096: a number at the
// zone's edge and one in the window's last byte.
TEST(TokenMatcher, NumbersAtTheZoneEdgeAndTheWindowEnd) {
  std::string text(8192, ' ');
  text[4096] = '4';
  text[4097] = '2';
  text[8191] = '9';
  const auto region = bytes_of(text);
  std::size_t length = 0;
  std::int32_t value = 0;
  EXPECT_EQ(match_token(region, "#", length, value), 4096u);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(match_token(Region(region).subspan(4097), "#", length, value), 0u);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(match_token(Region(region).subspan(4098), "#", length, value), 4093u);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(value, 9);
}

TEST(DigitRun, SaturatesInsteadOfWrapping) {
  struct Row {
    std::string_view text;
    std::size_t length;
    std::int32_t value;
  };
  constexpr Row kRows[] = {
      {"", 0, 0},
      {"x1", 0, 0},
      {"0 ", 1, 0},
      {"65535R", 5, 65535},
      {"214748364", 9, 214748364},
      {"2147483647", 10, 2147483647},
      {"2147483650", 10, 2147483647},
      {"4294967296", 10, 2147483647},  // 2^32: a wrap gives 0
      {"4294967299", 10, 2147483647},  // a wrap gives 3
      {"9223372036854775808", 19, 2147483647},
      {"18446744073709551621", 20, 2147483647},  // 2^64 + 5
  };
  for (const Row& row : kRows) {
    const auto region = bytes_of(row.text);
    std::int32_t value = kUntouched;
    EXPECT_EQ(digit_run(region, value), row.length) << show(row.text);
    EXPECT_EQ(value, row.value) << show(row.text);
  }
}

}  // namespace
}  // namespace iccdrop::match
