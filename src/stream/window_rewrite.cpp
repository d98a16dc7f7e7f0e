#include "stream/window_rewrite.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

namespace iccdrop::stream {

void WindowRuns::mark(std::uint64_t window) {
  if (!runs_.empty() && window <= runs_.back().last + 1) {
    assert(window >= runs_.back().first);
    runs_.back().last = std::max(runs_.back().last, window);
    return;
  }
  runs_.push_back(WindowRun{window, window});
}

std::optional<std::size_t> FdFile::read_at(std::uint64_t offset,
                                           std::span<unsigned char> into) {
  std::size_t done = 0;
  while (done < into.size()) {
    const ssize_t got = ::pread(fd_, into.data() + done, into.size() - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool FdFile::write_at(std::uint64_t offset, std::span<const unsigned char> bytes) {
  while (!bytes.empty()) {
    const ssize_t put =
        ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(put));
    offset += static_cast<std::uint64_t>(put);
  }
  return true;
}

PassResult rewrite_windows(ByteFile& file, std::uint64_t size,
                           std::span<const WindowRun> runs, const RunStep& step,
                           std::size_t read_block) {
  assert(read_block >= kChunkSize && read_block % kChunkSize == 0);
  // One byte in front of the windows: the byte before the first of them.
  std::vector<unsigned char> buffer(1 + read_block + kWindowSize);
  PassResult result;
  for (const WindowRun& run : runs) {
    std::uint64_t window = run.first;
    while (window <= run.last && window * kChunkSize < size) {
      // Windows from `window` on, as many as the buffer holds whole, and the
      // bytes after the last of them up to the end of its look-ahead.
      const std::uint64_t start = window * kChunkSize;
      const std::uint64_t end =
          std::min({size, start + read_block + kWindowSize, (run.last + 2) * kChunkSize});
      const std::size_t lead = start > 0 ? 1 : 0;
      const auto length = static_cast<std::size_t>(end - start) + lead;
      const auto got = file.read_at(start - lead, std::span(buffer).first(length));
      if (!got || *got != length) return {PassStatus::kReadError, result.bytes};
      result.bytes += end - start;
      const std::span<unsigned char> bytes =
          std::span(buffer).subspan(lead, length - lead);
      // The bytes the steps changed lie within [dirty_begin, dirty_end).
      std::size_t dirty_begin = bytes.size(), dirty_end = 0;
      std::size_t at = 0;
      while (window <= run.last && at < bytes.size()) {
        const std::size_t window_size = static_cast<std::size_t>(
            std::min<std::uint64_t>(kWindowSize, size - start - at));
        // A window cut short by the buffer waits for the next read.
        if (at + window_size > bytes.size()) break;
        const std::optional<unsigned char> before =
            start + at > 0 ? std::optional<unsigned char>(buffer[lead + at - 1])
                           : std::nullopt;
        if (step(PlacedWindow{bytes.subspan(at, window_size), start + at, before})) {
          dirty_begin = std::min(dirty_begin, at);
          dirty_end = std::max(dirty_end, at + window_size);
        }
        at += kChunkSize;
        ++window;
      }
      // What the steps changed goes back now, the look-ahead too: the next
      // read takes the windows not yet stepped from the file again. One
      // write from the first changed window's start to the last one's end.
      if (dirty_begin < dirty_end &&
          !file.write_at(start + dirty_begin,
                         bytes.subspan(dirty_begin, dirty_end - dirty_begin))) {
        return {PassStatus::kWriteError, result.bytes};
      }
    }
  }
  return result;
}

}  // namespace iccdrop::stream
