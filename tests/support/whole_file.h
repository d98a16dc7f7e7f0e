// Both passes of the tool over a byte string in memory, wired the way the
// driver wires them over files: pass 1 runs collect_window into a registry,
// pass 2 runs convert_window and writes the output; with --all, the steps of
// all_spaces.h, each told the byte before its window. For tests and fuzz
// targets that want a whole file's result without touching the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "colorspace/registry.h"
#include "stream/window_stream.h"

namespace iccdrop::testing {

// One rewritten array, placed in the input rather than in a window.
struct FileChange {
  std::uint64_t offset = 0;  // input offset of the array's '['
  std::size_t length = 0;    // bytes rewritten from there
  std::string name;          // resource name without '/'
  std::string replacement;   // e.g. "/DeviceRGB"

  friend bool operator==(const FileChange&, const FileChange&) = default;
};

struct ConvertedFile {
  stream::PassStatus status = stream::PassStatus::kOk;  // of pass 2
  std::string output;
  std::vector<FileChange> changes;  // in the order they were made
};

// Pass 1 alone: the registry collected from `input`.
colorspace::Registry collect_in_memory(
    std::string_view input, std::size_t read_block = stream::kDefaultReadBlock);

// Both passes. Pass 1 always reads in the default block size; `read_block`
// applies to pass 2.
ConvertedFile convert_in_memory(std::string_view input,
                                std::size_t read_block = stream::kDefaultReadBlock);

// The same, for --all.
ConvertedFile convert_all_in_memory(std::string_view input,
                                    std::size_t read_block = stream::kDefaultReadBlock);

// Both passes as the driver runs them for a regular output: pass 1 writes
// the output as it reads and marks the windows that hold an /ICCBased; pass 2
// reads back and rewrites just those. In either mode (`all`: --all); must
// give what convert_in_memory or convert_all_in_memory give.
ConvertedFile convert_in_memory_one_read(
    std::string_view input, bool all, std::size_t read_block = stream::kDefaultReadBlock);

}  // namespace iccdrop::testing
