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

void WindowRuns::append(const WindowRuns& later) {
  for (const WindowRun& run : later.runs_) {
    mark(run.first);
    runs_.back().last = std::max(runs_.back().last, run.last);
  }
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

PassResult rewrite_windows(ByteFile& input, ByteFile& output, std::uint64_t size,
                           std::span<const WindowRun> runs, const RunStep& step,
                           std::size_t read_block) {
  assert(read_block >= kChunkSize && read_block % kChunkSize == 0);
  // buffer[0] is the byte before the windows (unused at the file's start),
  // buffer[1 + i] the byte at offset start + i, on a page boundary.
  AlignedBytes storage(kPageAlign + read_block + kWindowSize);
  const auto buffer = std::span(storage).subspan(kPageAlign - 1);
  PassResult result;
  // The last byte the previous run held, as its steps left it: the one
  // byte of the output that a later run reads (as the byte before its first
  // window) and that may differ from the input's.
  std::optional<std::pair<std::uint64_t, unsigned char>> last_held;
  for (const WindowRun& run : runs) {
    std::uint64_t window = run.first;
    std::uint64_t start = window * kChunkSize;
    if (start >= size) continue;
    // The run's bytes end with the look-ahead of its last window.
    const std::uint64_t run_end = std::min(size, (run.last + 2) * kChunkSize);
    std::size_t held = 0;  // bytes from `start` on in the buffer
    while (true) {
      // Windows from `window` on, as many as the buffer holds whole: the
      // bytes held already (windows not yet stepped, with the rewrites of
      // the windows before them), then the next bytes of the input.
      const std::uint64_t end = std::min(run_end, start + read_block + kWindowSize);
      const bool with_before = held == 0 && start > 0;
      const std::uint64_t offset = start + held - (with_before ? 1 : 0);
      const auto length = static_cast<std::size_t>(end - offset);
      const auto got = input.read_at(
          offset, std::span(buffer).subspan(with_before ? 0 : 1 + held, length));
      if (!got || *got != length) return {PassStatus::kReadError, result.bytes};
      result.bytes += length;
      if (with_before && last_held && last_held->first == start - 1) {
        buffer[0] = last_held->second;
      }
      held = static_cast<std::size_t>(end - start);
      const std::span<unsigned char> bytes = std::span(buffer).subspan(1, held);
      // The bytes the steps changed lie within [dirty_begin, dirty_end).
      std::size_t dirty_begin = held, dirty_end = 0;
      std::size_t at = 0;
      while (window <= run.last && at < held) {
        const std::size_t window_size = static_cast<std::size_t>(
            std::min<std::uint64_t>(kWindowSize, size - start - at));
        // A window cut short by the buffer waits for the next read.
        if (at + window_size > held) break;
        const std::optional<unsigned char> before =
            start + at > 0 ? std::optional(buffer[at]) : std::nullopt;
        if (step(PlacedWindow{bytes.subspan(at, window_size), start + at, before})) {
          dirty_begin = std::min(dirty_begin, at);
          dirty_end = std::max(dirty_end, at + window_size);
        }
        at += kChunkSize;
        ++window;
      }
      // What the steps changed goes to the output now, the look-ahead too,
      // in one write from the first changed window's start to the last
      // one's end.
      if (dirty_begin < dirty_end &&
          !output.write_at(start + dirty_begin,
                           bytes.subspan(dirty_begin, dirty_end - dirty_begin))) {
        return {PassStatus::kWriteError, result.bytes};
      }
      if (window > run.last || start + at >= size) {
        last_held = std::pair(end - 1, bytes[held - 1]);
        break;
      }
      // The windows not stepped yet move to the front, with the byte
      // before them; the next read brings the bytes after them.
      std::memmove(buffer.data(), buffer.data() + at, held - at + 1);
      start += at;
      held -= at;
    }
  }
  return result;
}

}  // namespace iccdrop::stream
