// The first pass over a regular input file: the file is read a block at a
// time and its windows are stepped read-only in the block, while the kernel
// copies the file to the output. Where there is no copy to make, or once
// it is made while much is still to scan, two threads scan a part each.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "stream/window_rewrite.h"
#include "stream/window_stream.h"

namespace iccdrop::stream {

// Bytes read at once, into a buffer that starts on a page boundary: in a
// buffer of this size the window steps find the bytes in the core's cache.
// Memory: the block and one chunk of look-ahead. (Mapped blocks of 2 MiB
// took no less time, and their pages counted in the resident memory.)
inline constexpr std::size_t kScanBlock = 64 * kChunkSize;

// A window the step may only read; laid out as PlacedWindow.
struct ScanWindow {
  std::span<const unsigned char> bytes;
  std::uint64_t offset = 0;  // a multiple of 4096
  std::optional<unsigned char> before;
};
using ScanStep = std::function<void(const ScanWindow& window)>;

// The copy of the input that pass 1 makes in the output, at the same
// offsets. The kernel copies it file to file (sharing the blocks where the
// file system can), without the copy out of this process's memory that
// write() makes; where the two files do not allow that, each block is
// written from memory. Once the kernel has copied a block, a thread of its
// own copies the rest while pass 1 scans (and pass 2 begins): the copy and
// the scan take a core each.
class OutputCopy {
 public:
  OutputCopy(int input, int output);
  // Stops the thread and waits for it.
  ~OutputCopy();
  OutputCopy(const OutputCopy&) = delete;
  OutputCopy& operator=(const OutputCopy&) = delete;

  // Puts the block of `bytes` that lies at `offset` in the input, of `size`
  // bytes in all; once the kernel has copied one, the thread copies on to
  // `size`. False on a failed write; errno tells.
  bool put(std::uint64_t offset, std::span<const unsigned char> bytes,
           std::uint64_t size);
  // Whether the thread's copy failed already.
  bool failed() const;
  // Whether the thread has copied the whole file; does not wait.
  bool copied() const { return ended_.load(std::memory_order_acquire) && !failed(); }
  // Whether the thread is still copying, taking a core; does not wait.
  bool copying() const { return running_ && !ended_.load(std::memory_order_acquire); }
  // Waits until the output holds the input's bytes before `end`; false when
  // the copy failed first.
  bool wait_for(std::uint64_t end);
  // Waits until the copy has ended; false when it failed.
  bool wait_for_all();
  // Waits for the thread: false when its copy failed (errno tells).
  bool finish();

 private:
  enum class Copied { kAll, kFailed, kNotHere };
  Copied kernel_copy(std::uint64_t from, std::uint64_t to, bool tell_progress);
  void start_thread(std::uint64_t from, std::uint64_t size);
  static void* copy_ahead(void* self);
  void join();

  int input_;
  int output_;
  bool by_kernel_ = true;
  bool copied_any_ = false;
  bool running_ = false;
  std::uint64_t ahead_to_ = 0;  // where the thread's copy ends
  pthread_t thread_{};
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::atomic<bool> ended_{false};  // the thread's copy, whole or failed
  int error_ = 0;
  // The thread's progress, for wait_for.
  pthread_mutex_t mutex_;
  pthread_cond_t progress_;
  std::uint64_t copied_to_ = 0;
};

// The output of pass 2 while the thread may still be copying: reads wait
// until the copy has passed the bytes they touch, and writes until it has
// ended, so that the copy never overwrites a rewrite. (A write into the file
// while the thread writes to it waits on the file's lock in the kernel
// spinning, not asleep: a tenth of a 1 GiB run's CPU time.)
class CopiedOutput final : public ByteFile {
 public:
  CopiedOutput(int fd, OutputCopy& copy) : file_(fd), copy_(copy) {}
  std::optional<std::size_t> read_at(std::uint64_t offset,
                                     std::span<unsigned char> into) override;
  bool write_at(std::uint64_t offset, std::span<const unsigned char> bytes) override;

 private:
  FdFile file_;
  OutputCopy& copy_;
};

// Steps the windows of the first `size` bytes of the file open on `fd`
// (which must be regular), the same windows run_pass would step, and puts
// those bytes in `output` (where not null), which may go on copying after
// the pass. Then reads once at `size` to find the end there.
// PassResult::bytes is `size` when the file gave just that many bytes;
// another count means the file changed: it grew, or it shrank while read
// (it then says the size it has now). kReadError for a read that failed.
// `block`: a multiple of the chunk.
PassResult scan_file(int fd, std::uint64_t size, OutputCopy* output, const ScanStep& step,
                     std::size_t block = kScanBlock);

// The part of pass 1 that a second thread takes: the windows from a block
// boundary halfway through what is left to scan go to `step`, in that
// thread, until `full` (asked there after each window) says its facts are
// enough. `merge` runs in the calling thread once the windows before that
// boundary are stepped, and the windows after the last one `step` took go
// to the first step: each step sees its windows in the file's order, and
// the first step all of its windows after `merge`.
struct LaterPart {
  ScanStep step;
  std::function<bool()> full;
  std::function<void()> merge;
};

// scan_file over two threads, so that both cores take part in a pass that
// is not waiting on a copy: at once where `output` is null; otherwise once
// the thread of `output` has copied the whole file, which takes a core
// until then, and only where `split_from` bytes or more are still to be
// scanned (a scan slower than the copy: dense syntax). Where no thread can
// be made, or the copy never ends first, `step` takes every window and
// `merge` is not called.
PassResult scan_file_in_two(int fd, std::uint64_t size, OutputCopy* output,
                            const ScanStep& step, const LaterPart& later,
                            std::uint64_t split_from, std::size_t block = kScanBlock);

// After a copy into the output failed: the input's size now where it shrank
// (PassResult::bytes then differs from `size`), otherwise kWriteError.
PassResult copy_failed(int fd, std::uint64_t size, std::uint64_t bytes);

}  // namespace iccdrop::stream
