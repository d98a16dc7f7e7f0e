// Character classes of the token language: gap bytes, regular characters and
// digits, as one 256-entry table of flags. Locale-free by construction.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace iccdrop::match {

// The 84 regular characters: printable ASCII 0x21..0x7E without the ten PDF
// delimiters % ( ) / < > [ ] { }. Only membership matters, not the order.
inline constexpr std::string_view kRegularChars =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "!\"#$&'*+,-.:;=?@\\^_`|~";

// Space, line feed, carriage return, tab, and NUL. Form feed is not one.
inline constexpr std::string_view kGapBytes{" \n\r\t\0", 5};

enum CharFlag : std::uint8_t {
  kGap = 1,
  kRegular = 2,
  kDigit = 4,
};

constexpr std::array<std::uint8_t, 256> make_char_classes() {
  std::array<std::uint8_t, 256> table{};
  for (char c : kGapBytes) table[static_cast<unsigned char>(c)] |= kGap;
  for (char c : kRegularChars) table[static_cast<unsigned char>(c)] |= kRegular;
  for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] |= kDigit;
  return table;
}

inline constexpr std::array<std::uint8_t, 256> kCharClasses = make_char_classes();

constexpr bool is_gap_byte(unsigned char c) { return (kCharClasses[c] & kGap) != 0; }
constexpr bool is_regular_char(unsigned char c) {
  return (kCharClasses[c] & kRegular) != 0;
}
constexpr bool is_digit(unsigned char c) { return (kCharClasses[c] & kDigit) != 0; }

static_assert(kRegularChars.size() == 84);
static_assert(is_gap_byte(0x00) && is_gap_byte(' ') && is_gap_byte('\t'));
static_assert(is_gap_byte('\n') && is_gap_byte('\r'));
static_assert(!is_gap_byte(0x0C), "form feed is not a gap byte");
static_assert(!is_regular_char('/') && !is_regular_char('[') && !is_regular_char('%'));
static_assert(is_regular_char('#') && is_regular_char('~') && is_regular_char('9'));
static_assert(!is_regular_char(0x80) && !is_gap_byte(0xFF) && !is_digit(0xB9));
static_assert(!is_regular_char(' ') && !is_regular_char(0x7F));

}  // namespace iccdrop::match
