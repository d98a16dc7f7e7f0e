#include "match/pdf_token.h"

#include <algorithm>
#include <cstring>

#include "match/token.h"

namespace iccdrop::match::pdf {

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
