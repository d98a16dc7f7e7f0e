#include "support/rewritten_arrays.h"

#include <algorithm>
#include <array>
#include <optional>

namespace iccdrop::testing {
namespace {

bool is_gap(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\0';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The offset just past the ']' of an ICC-based array starting at `at`.
std::optional<std::size_t> icc_array_end(std::string_view text, std::size_t at) {
  std::size_t pos = at;
  const auto skip_gaps = [&] {
    while (pos < text.size() && is_gap(text[pos])) ++pos;
  };
  const auto literal = [&](std::string_view word) {
    if (text.substr(pos, word.size()) != word) return false;
    pos += word.size();
    return true;
  };
  const auto number = [&] {
    const std::size_t start = pos;
    while (pos < text.size() && is_digit(text[pos])) ++pos;
    return pos > start;
  };
  if (!literal("[")) return std::nullopt;
  skip_gaps();
  if (!literal("/ICCBased")) return std::nullopt;
  const std::size_t before_gap = pos;
  skip_gaps();
  if (pos == before_gap || !number()) return std::nullopt;
  skip_gaps();
  if (!number()) return std::nullopt;
  skip_gaps();
  if (!literal("R")) return std::nullopt;
  skip_gaps();
  if (!literal("]")) return std::nullopt;
  return pos;
}

}  // namespace

RewriteDiff explain_rewrites(std::string_view input, std::string_view output) {
  static constexpr std::array<std::string_view, 5> kReplacements = {
      "/DeviceGray", "/DeviceRGB", "/DeviceCMYK", "*0*", "*2*"};
  RewriteDiff diff;
  if (input.size() != output.size()) {
    diff.error = "sizes differ: input " + std::to_string(input.size()) + ", output " +
                 std::to_string(output.size());
    return diff;
  }
  std::size_t pos = 0;
  while (pos < input.size()) {
    if (input[pos] == output[pos]) {
      ++pos;
      continue;
    }
    const std::optional<std::size_t> end = icc_array_end(input, pos);
    if (!end) {
      diff.error = "byte " + std::to_string(pos) +
                   " differs outside an ICC-based array of the input";
      return diff;
    }
    const std::string_view rewritten = output.substr(pos, *end - pos);
    std::string_view name;
    for (std::string_view candidate : kReplacements) {
      if (rewritten.starts_with(candidate)) name = candidate;
    }
    if (name.empty() ||
        rewritten.find_first_not_of(' ', name.size()) != std::string_view::npos) {
      diff.error = "the array at byte " + std::to_string(pos) + " became «" +
                   std::string(rewritten) + "», not a device name and spaces";
      return diff;
    }
    diff.arrays.push_back({pos, *end - pos, std::string(name)});
    pos = *end;
  }
  return diff;
}

std::vector<ByteRange> object_stream_data(std::string_view pdf) {
  std::vector<ByteRange> ranges;
  for (std::size_t at = pdf.find("/ObjStm"); at != std::string_view::npos;
       at = pdf.find("/ObjStm", at + 1)) {
    std::size_t data = pdf.find("stream", at);
    if (data == std::string_view::npos) break;
    data += 6;
    if (data < pdf.size() && pdf[data] == '\r') ++data;
    if (data < pdf.size() && pdf[data] == '\n') ++data;
    const std::size_t end = pdf.find("endstream", data);
    if (end == std::string_view::npos) break;
    ranges.push_back({data, end - data});
    at = end;
  }
  return ranges;
}

std::string outside_ranges(std::string_view input, std::string_view output,
                           const std::vector<ByteRange>& ranges) {
  std::string outside(output);
  for (const ByteRange& range : ranges) {
    if (range.offset + range.length <= std::min(input.size(), outside.size())) {
      outside.replace(range.offset, range.length,
                      input.substr(range.offset, range.length));
    }
  }
  return outside;
}

}  // namespace iccdrop::testing
