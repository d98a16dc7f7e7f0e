// The character classes, checked byte by byte against definitions written
// out independently of the library's table.
#include "match/char_class.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace iccdrop::match {
namespace {

// Printable ASCII without space and without the ten PDF delimiters.
bool expected_regular(int c) {
  if (c < 0x21 || c > 0x7E) return false;
  constexpr std::string_view kDelimiters = "%()/<>[]{}";
  return kDelimiters.find(static_cast<char>(c)) == std::string_view::npos;
}

bool expected_gap(int c) {
  return c == 0x20 || c == 0x0A || c == 0x0D || c == 0x09 || c == 0x00;
}

bool expected_digit(int c) { return c >= 0x30 && c <= 0x39; }

std::string hex(int c) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", c);
  return text;
}

TEST(CharClass, EveryByteIsInExactlyTheExpectedClasses) {
  int regular = 0, gap = 0, digit = 0;
  for (int c = 0; c < 256; ++c) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_EQ(is_regular_char(byte), expected_regular(c)) << hex(c);
    EXPECT_EQ(is_gap_byte(byte), expected_gap(c)) << hex(c);
    EXPECT_EQ(is_digit(byte), expected_digit(c)) << hex(c);
    regular += is_regular_char(byte) ? 1 : 0;
    gap += is_gap_byte(byte) ? 1 : 0;
    digit += is_digit(byte) ? 1 : 0;
  }
  EXPECT_EQ(regular, 84);
  EXPECT_EQ(gap, 5);
  EXPECT_EQ(digit, 10);
}

TEST(CharClass, RegularCharListHoldsEachRegularCharOnce) {
  std::array<int, 256> seen{};
  for (char c : kRegularChars) ++seen[static_cast<unsigned char>(c)];
  for (int c = 0; c < 256; ++c) {
    EXPECT_EQ(seen[static_cast<std::size_t>(c)], expected_regular(c) ? 1 : 0) << hex(c);
  }
}

TEST(CharClass, GapByteListIsSpaceLineEndsTabAndNul) {
  ASSERT_EQ(kGapBytes.size(), 5u);  // the NUL must not be cut off by a C string
  for (char c : kGapBytes) EXPECT_TRUE(expected_gap(static_cast<unsigned char>(c)));
  EXPECT_NE(kGapBytes.find('\0'), std::string_view::npos);
}

TEST(CharClass, DigitsAreRegularButNotGapBytes) {
  for (int c = '0'; c <= '9'; ++c) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(is_regular_char(byte) && !is_gap_byte(byte)) << hex(c);
  }
}

TEST(CharClass, NoByteIsBothGapAndRegular) {
  for (int c = 0; c < 256; ++c) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_FALSE(is_gap_byte(byte) && is_regular_char(byte)) << hex(c);
  }
}

struct NamedByte {
  unsigned char byte;
  bool gap;
  bool regular;
  const char* why;
};

// The bytes that PDF text puts next to tokens, and that are easy to get wrong.
constexpr NamedByte kTrickyBytes[] = {
    {0x00, true, false, "NUL pads some PDF writers' output"},
    {0x0C, false, false, "form feed is PDF white space but not a gap byte here"},
    {0x0B, false, false, "vertical tab"},
    {0x7F, false, false, "DEL"},
    {0x80, false, false, "high bytes are in no class"},
    {0xA0, false, false, "no-break space in Latin-1"},
    {0xFF, false, false, "last byte"},
    {'/', false, false, "name start is a delimiter"},
    {'[', false, false, "array open"},
    {']', false, false, "array close"},
    {'<', false, false, "dictionary open"},
    {'%', false, false, "comment"},
    {'#', false, true, "'#' is regular (name escapes)"},
    {'.', false, true, "decimal point"},
    {'-', false, true, "sign"},
    {'\\', false, true, "backslash"},
    {'~', false, true, "last printable"},
    {'!', false, true, "first printable"},
};

TEST(CharClass, TrickyBytes) {
  for (const NamedByte& row : kTrickyBytes) {
    EXPECT_EQ(is_gap_byte(row.byte), row.gap) << row.why;
    EXPECT_EQ(is_regular_char(row.byte), row.regular) << row.why;
    EXPECT_FALSE(is_digit(row.byte)) << row.why;
  }
}

}  // namespace
}  // namespace iccdrop::match
