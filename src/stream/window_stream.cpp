#include "stream/window_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <vector>

namespace iccdrop::stream {

PassResult run_pass(ByteSource& input, ByteSink* output, const WindowStep& step,
                    std::size_t read_block) {
  return run_pass(
      input, output,
      [&](const PlacedWindow& window) {
        step(window.bytes);
        return false;
      },
      read_block);
}

PassResult run_pass(ByteSource& input, ByteSink* output, const RunStep& step,
                    std::size_t read_block) {
  assert(read_block >= kChunkSize && read_block % kChunkSize == 0);
  // buffer[0] always sits at an input offset that is a multiple of 4096.
  AlignedBytes buffer(read_block + kWindowSize);
  PassResult result;
  std::uint64_t buffer_offset = 0;             // input offset of buffer[0]
  std::optional<unsigned char> before_buffer;  // the byte before buffer[0]
  std::size_t fill = 0;
  bool at_end = false;
  while (true) {
    while (!at_end && fill < buffer.size()) {
      const auto got = input.read(std::span(buffer).subspan(fill));
      if (!got) return {PassStatus::kReadError, result.bytes};
      at_end = *got == 0;
      fill += *got;
      result.bytes += *got;
    }
    // A window needs the chunk after its own, except at end of input.
    std::size_t chunk = 0;
    while (chunk < fill && (chunk + kWindowSize <= fill || at_end)) {
      step(PlacedWindow{
          std::span(buffer).subspan(chunk, std::min(kWindowSize, fill - chunk)),
          buffer_offset + chunk,
          chunk > 0 ? std::optional(buffer[chunk - 1]) : before_buffer});
      chunk += kChunkSize;
    }
    const std::size_t settled = std::min(chunk, fill);
    if (output != nullptr && settled > 0 &&
        !output->write(std::span(buffer).first(settled))) {
      return {PassStatus::kWriteError, result.bytes};
    }
    if (at_end) return result;
    if (settled > 0) before_buffer = buffer[settled - 1];
    std::memmove(buffer.data(), buffer.data() + settled, fill - settled);
    buffer_offset += settled;
    fill -= settled;
  }
}

std::optional<std::size_t> FdSource::read(std::span<unsigned char> into) {
  while (true) {
    const ssize_t got = ::read(fd_, into.data(), into.size());
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::nullopt;
  }
}

bool FdSink::write(std::span<const unsigned char> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace iccdrop::stream
