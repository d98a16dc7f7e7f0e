// Explains the difference between an input PDF and iccdrop's output as a
// list of ICC-based arrays rewritten in place: each «[ /ICCBased 8 0 R ]» of
// the input, from '[' to ']', must hold a device colour-space name followed by
// spaces only in the output, and no other byte may differ.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace iccdrop::testing {

struct RewrittenArray {
  std::size_t offset = 0;   // of '[' in the input
  std::size_t length = 0;   // from '[' to ']' inclusive
  std::string replacement;  // the name now at `offset`, e.g. "/DeviceRGB"
};

struct RewriteDiff {
  std::vector<RewrittenArray> arrays;  // in file order
  std::string error;                   // empty when every difference is explained
};

// The array must read «[» gaps «/ICCBased» gaps number gaps number gaps «R»
// gaps «]», gaps being space, LF, CR, tab or NUL; its output bytes one of
// /DeviceGray, /DeviceRGB, /DeviceCMYK, *0*, *2* and then spaces to the ']'.
[[nodiscard]] RewriteDiff explain_rewrites(std::string_view input,
                                           std::string_view output);

// The data of each object stream of `pdf`, from the line after the «stream»
// that follows a «/ObjStm» to its «endstream», found by searching the text.
struct ByteRange {
  std::size_t offset = 0, length = 0;
};
[[nodiscard]] std::vector<ByteRange> object_stream_data(std::string_view pdf);

// `output` with the input's bytes put back over `ranges`: what is left to
// explain outside them.
[[nodiscard]] std::string outside_ranges(std::string_view input, std::string_view output,
                                         const std::vector<ByteRange>& ranges);

}  // namespace iccdrop::testing
