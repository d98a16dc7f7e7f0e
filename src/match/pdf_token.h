// PDF's own token rules, for the --all mode's recognition: six white-space
// bytes, ten delimiters, comments as white space, and the few readers that
// mode needs (names, integers, keywords, whole objects skipped). The default
// mode's token language (char_class.h, token.h) is left as it is.
// Positions are offsets into one window; nothing reads outside it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "match/token.h"

namespace iccdrop::match::pdf {

using Bytes = std::span<const unsigned char>;

enum PdfClass : std::uint8_t { kSpace = 1, kDelimiter = 2, kEol = 4 };

// NUL, tab, line feed, form feed, carriage return and space; the delimiters
// ( ) < > [ ] { } / %. Every other byte, 0x80..0xFF included, is regular.
constexpr std::array<std::uint8_t, 256> make_pdf_classes() {
  std::array<std::uint8_t, 256> table{};
  for (char c : std::string_view("\0\t\n\f\r ", 6)) {
    table[static_cast<unsigned char>(c)] |= kSpace;
  }
  for (char c : std::string_view("()<>[]{}/%")) {
    table[static_cast<unsigned char>(c)] |= kDelimiter;
  }
  table['\n'] |= kEol;
  table['\r'] |= kEol;
  return table;
}
inline constexpr std::array<std::uint8_t, 256> kPdfClasses = make_pdf_classes();

constexpr bool is_space(unsigned char c) { return (kPdfClasses[c] & kSpace) != 0; }
constexpr bool is_eol(unsigned char c) { return (kPdfClasses[c] & kEol) != 0; }
constexpr bool is_regular(unsigned char c) {
  return (kPdfClasses[c] & (kSpace | kDelimiter)) == 0;
}
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

static_assert(is_space(0x0C) && is_space(0x00) && !is_space('%'));
static_assert(!is_regular(']') && !is_regular('%') && !is_regular(0x0C));
static_assert(is_regular(0x80) && is_regular('#') && is_regular('R'));

// Past white space and comments from `at`: a '%' starts a comment that runs
// to the next CR or LF. Returns the first byte of the next token, or the
// window's size.
[[nodiscard]] inline std::size_t skip_space(Bytes w, std::size_t at) {
  std::size_t p = at;
  while (p < w.size()) {
    const unsigned char c = w[p];
    if (is_space(c)) {
      ++p;
    } else if (c == '%') {
      while (p < w.size() && !is_eol(w[p])) ++p;
    } else {
      break;
    }
  }
  return p;
}

// Back over white space and comments from `at` (the position after them),
// not below `floor`: returns the position just after the token before them.
// A line end is followed back to the start of its line; the first '%' of
// that line, if any, starts a comment, and the walk goes on before it. (A
// '%' inside a string on that line is taken for a comment too: the walk
// then misses the token, and nothing is recognised there.)
[[nodiscard]] std::size_t skip_space_back(Bytes w, std::size_t floor, std::size_t at);

// Whether `text` stands at `at` as a whole token: followed by a byte that is
// not regular, or by the window's end. (The byte before is the caller's
// business.)
[[nodiscard]] inline bool keyword_at(Bytes w, std::size_t at, std::string_view text) {
  if (w.size() - std::min(at, w.size()) < text.size()) return false;
  if (std::memcmp(w.data() + at, text.data(), text.size()) != 0) return false;
  const std::size_t after = at + text.size();
  return after == w.size() || !is_regular(w[after]);
}

// The end of the run of regular bytes from `at`.
[[nodiscard]] inline std::size_t regular_end(Bytes w, std::size_t at) {
  std::size_t p = at;
  while (p < w.size() && is_regular(w[p])) ++p;
  return p;
}

struct Integer {
  std::int32_t value = 0;  // saturated at 2147483647, as the default mode reads
  std::size_t end = 0;     // just after the token
};

// An unsigned integer token at `at`: digits up to a byte that is not regular
// («12» in «12 0 R» or «12]», not in «12.5» or «12x»).
[[nodiscard]] inline std::optional<Integer> integer_at(Bytes w, std::size_t at) {
  if (at >= w.size() || !is_digit(w[at])) return std::nullopt;
  Integer integer;
  const std::size_t digits = digit_run(w.subspan(at), integer.value);
  integer.end = at + digits;
  if (integer.end < w.size() && is_regular(w[integer.end])) return std::nullopt;
  return integer;
}

struct Reference {
  std::int32_t object = 0, generation = 0;
  std::size_t end = 0;  // just after the R
};

// «12 0 R» at `at`, with white space and comments between its tokens.
[[nodiscard]] inline std::optional<Reference> reference_at(Bytes w, std::size_t at) {
  const auto object = integer_at(w, at);
  if (!object) return std::nullopt;
  const auto generation = integer_at(w, skip_space(w, object->end));
  if (!generation) return std::nullopt;
  const std::size_t r = skip_space(w, generation->end);
  if (!keyword_at(w, r, "R")) return std::nullopt;
  return Reference{object->value, generation->value, r + 1};
}

// The end of the direct object at `at` (a token start): a name, a number or
// keyword, a literal string with its nesting and escapes, a hex string, or a
// whole array or dictionary with everything inside. None when the window
// ends first or the bytes are no object («)», «>» alone, «]»).
[[nodiscard]] std::optional<std::size_t> skip_object(Bytes w, std::size_t at);

// One entry of a dictionary: the key's name without its slash, and where
// its value begins and ends.
struct DictEntry {
  std::string_view key;
  std::size_t value = 0, value_end = 0;
};

// Visits each entry of the dictionary whose «<<» is at `at`, in order, and
// returns the position after its «>>»; none, after the entries visited so
// far, when a key is not a name, a value is missing, or the window ends.
// Keys of nested dictionaries are not visited.
template <typename Visit>
std::optional<std::size_t> for_each_dict_entry(Bytes w, std::size_t at, Visit&& visit) {
  if (at + 1 >= w.size() || w[at] != '<' || w[at + 1] != '<') return std::nullopt;
  std::size_t p = at + 2;
  while (true) {
    p = skip_space(w, p);
    if (p >= w.size()) return std::nullopt;
    if (w[p] == '>') {
      if (p + 1 < w.size() && w[p + 1] == '>') return p + 2;
      return std::nullopt;
    }
    if (w[p] != '/') return std::nullopt;
    const std::size_t key_end = regular_end(w, p + 1);
    const std::size_t value = skip_space(w, key_end);
    const auto value_end = skip_object(w, value);
    if (!value_end) return std::nullopt;
    visit(DictEntry{std::string_view(reinterpret_cast<const char*>(w.data()) + p + 1,
                                     key_end - p - 1),
                    value, *value_end});
    p = *value_end;
  }
}

}  // namespace iccdrop::match::pdf
