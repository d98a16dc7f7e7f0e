#include "match/pdf_token.h"

#include <algorithm>
#include <cstring>

#include "match/token.h"

namespace iccdrop::match::pdf {

std::size_t skip_space(Bytes w, std::size_t at) {
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

std::size_t skip_space_back(Bytes w, std::size_t floor, std::size_t at) {
  std::size_t p = at;
  while (p > floor) {
    const unsigned char c = w[p - 1];
    if (!is_space(c)) break;
    --p;
    if (!is_eol(c)) continue;
    // The line that ends here may end in a comment: find its start, then
    // its first '%'.
    std::size_t line = p;
    while (line > floor && !is_eol(w[line - 1])) --line;
    const auto* percent =
        static_cast<const unsigned char*>(std::memchr(w.data() + line, '%', p - line));
    if (percent != nullptr) p = static_cast<std::size_t>(percent - w.data());
  }
  return p;
}

bool keyword_at(Bytes w, std::size_t at, std::string_view text) {
  if (w.size() - std::min(at, w.size()) < text.size()) return false;
  if (std::memcmp(w.data() + at, text.data(), text.size()) != 0) return false;
  const std::size_t after = at + text.size();
  return after == w.size() || !is_regular(w[after]);
}

std::size_t regular_end(Bytes w, std::size_t at) {
  std::size_t p = at;
  while (p < w.size() && is_regular(w[p])) ++p;
  return p;
}

std::optional<Integer> integer_at(Bytes w, std::size_t at) {
  if (at >= w.size() || !is_digit(w[at])) return std::nullopt;
  Integer integer;
  const std::size_t digits = digit_run(w.subspan(at), integer.value);
  integer.end = at + digits;
  if (integer.end < w.size() && is_regular(w[integer.end])) return std::nullopt;
  return integer;
}

std::optional<Reference> reference_at(Bytes w, std::size_t at) {
  const auto object = integer_at(w, at);
  if (!object) return std::nullopt;
  const auto generation = integer_at(w, skip_space(w, object->end));
  if (!generation) return std::nullopt;
  const std::size_t r = skip_space(w, generation->end);
  if (!keyword_at(w, r, "R")) return std::nullopt;
  return Reference{object->value, generation->value, r + 1};
}

namespace {

// The end of the literal string whose '(' is at `at`: parentheses nest, and a
// backslash takes the byte after it literally.
std::optional<std::size_t> skip_string(Bytes w, std::size_t at) {
  std::size_t depth = 0;
  for (std::size_t p = at; p < w.size(); ++p) {
    const unsigned char c = w[p];
    if (c == '\\') {
      ++p;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      return p + 1;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> skip_object(Bytes w, std::size_t at) {
  // Arrays and dictionaries are skipped by counting their openers and
  // closers of either kind: «[ << ] >>» is taken as balanced, which only
  // malformed files write.
  std::size_t depth = 0;
  std::size_t p = at;
  do {
    p = skip_space(w, p);
    if (p >= w.size()) return std::nullopt;
    const unsigned char c = w[p];
    if (c == '(') {
      const auto end = skip_string(w, p);
      if (!end) return std::nullopt;
      p = *end;
    } else if (c == '<') {
      if (p + 1 < w.size() && w[p + 1] == '<') {
        ++depth;
        p += 2;
      } else {
        const auto* close = static_cast<const unsigned char*>(
            std::memchr(w.data() + p, '>', w.size() - p));
        if (close == nullptr) return std::nullopt;
        p = static_cast<std::size_t>(close - w.data()) + 1;
      }
    } else if (c == '[') {
      ++depth;
      ++p;
    } else if (c == ']' || c == '>') {
      if (depth == 0) return std::nullopt;
      if (c == '>') {
        if (p + 1 >= w.size() || w[p + 1] != '>') return std::nullopt;
        ++p;
      }
      --depth;
      ++p;
    } else if (c == '/') {
      p = regular_end(w, p + 1);
    } else if (c == ')' || c == '{' || c == '}') {
      return std::nullopt;
    } else {
      // A value that is an indirect reference is one object: «12 0 R».
      if (depth == 0) {
        if (const auto reference = reference_at(w, p)) return reference->end;
      }
      p = regular_end(w, p);
    }
  } while (depth > 0);
  return p;
}

}  // namespace iccdrop::match::pdf
