// The first pass over a regular input file, made without copying the file
// into a buffer: the file is mapped a block at a time and its windows are
// stepped read-only where they lie; each block is then copied to the output
// by the kernel, file to file. A page that the file loses while it is
// mapped (the file shrank, or its disk failed) reads as zeros and ends the
// pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "stream/window_stream.h"

namespace iccdrop::stream {

// Bytes mapped at once, and written at once: a multiple of any page size
// (64 KiB on some ARM64 systems). Memory: the block and one chunk of
// look-ahead, as pages of the file.
inline constexpr std::size_t kScanBlock = 512 * kChunkSize;

// A window the step may only read; laid out as PlacedWindow.
struct ScanWindow {
  std::span<const unsigned char> bytes;
  std::uint64_t offset = 0;  // a multiple of 4096
  std::optional<unsigned char> before;
};
using ScanStep = std::function<void(const ScanWindow& window)>;

enum class ScanMethod { kMap, kRead };

// Steps the windows of the first `size` bytes of the file open on `fd`
// (which must be regular), the same windows run_pass would step, and writes
// those bytes to the file open on `output` (-1: nowhere) at the same
// offsets: by copy_file_range, or by write where the two files do not
// allow it. Then reads once at `size` to find the end there. PassResult::bytes is `size`
// when the file gave just that many bytes; another count means the file changed: it grew,
// or it shrank while mapped (it then says the size it has now). kReadError for a read
// that failed or a page that could not be read. Where the file cannot be mapped, or with
// ScanMethod::kRead, its blocks are read with pread.
PassResult scan_file(int fd, std::uint64_t size, int output, const ScanStep& step,
                     ScanMethod method = ScanMethod::kMap,
                     std::size_t block = kScanBlock);

}  // namespace iccdrop::stream
