// Pass 2 over chosen windows only: the windows that may hold something to
// rewrite are marked in pass 1, and pass 2 reads just those (with their
// look-ahead) from the input, steps them as the window stream would and
// writes the chunks that changed to an output that already holds every byte
// of the input.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "stream/window_stream.h"

namespace iccdrop::stream {

// Window k covers input offsets [4096 k, 4096 k + 8192).
struct WindowRun {
  std::uint64_t first = 0;  // window index
  std::uint64_t last = 0;   // window index, inclusive
  friend bool operator==(const WindowRun&, const WindowRun&) = default;
};

// The marked windows as runs of consecutive indexes, in order. Memory grows
// with the runs, not with the file: one per group of marks close together.
class WindowRuns {
 public:
  // Marks must come in non-decreasing order; a repeated mark is harmless.
  void mark(std::uint64_t window);
  // Marks the windows that hold a short text (an anchor) starting in the
  // first 4096 bytes of `window`: that window and the one before it.
  void mark_front_of(std::uint64_t window) {
    if (window > 0) mark(window - 1);
    mark(window);
  }
  // Adds the marks of `later`, all at or after the last mark here less one.
  void append(const WindowRuns& later);
  std::span<const WindowRun> runs() const { return runs_; }

 private:
  std::vector<WindowRun> runs_;
};

// Random access to the files of pass 2: the input it reads, the output it
// writes.
class ByteFile {
 public:
  virtual ~ByteFile() = default;
  // Fills `into` from `offset` on; fewer bytes only at the end of the file;
  // none on an error.
  virtual std::optional<std::size_t> read_at(std::uint64_t offset,
                                             std::span<unsigned char> into) = 0;
  virtual bool write_at(std::uint64_t offset, std::span<const unsigned char> bytes) = 0;
};

// pread and pwrite on a descriptor.
class FdFile final : public ByteFile {
 public:
  explicit FdFile(int fd) : fd_(fd) {}
  std::optional<std::size_t> read_at(std::uint64_t offset,
                                     std::span<unsigned char> into) override;
  bool write_at(std::uint64_t offset, std::span<const unsigned char> bytes) override;

 private:
  int fd_;
};

// Steps the windows of each run of `runs`, in order, each window seeing the
// rewrites of the window before it in the run, exactly as run_pass steps
// them over the same bytes, and writes the windows the steps say they
// changed to `output`. The windows' bytes are read from `input` (`size`
// bytes), each once; `output` must hold the input's bytes, and gets the
// rewrites. The bytes read are counted in PassResult::bytes. Memory: a
// buffer of read_block + 8193 bytes.
// `stop`, where set, is asked after each window: true ends the pass there,
// after the writes of the windows stepped.
PassResult rewrite_windows(ByteFile& input, ByteFile& output, std::uint64_t size,
                           std::span<const WindowRun> runs, const RunStep& step,
                           std::size_t read_block = kDefaultReadBlock,
                           const std::function<bool()>* stop = nullptr);

// The part of pass 2 that a second thread takes: the marked windows from
// the middle one on go to `step` there, as if the windows before them had
// left the bytes as the input has them, which they nearly always do (a
// rewrite reaches past a window's first chunk only with a match that
// crosses into the next). What the steps make besides the bytes (their
// lines) they keep; where `full` says they keep enough (asked in that
// thread after each window), the thread waits until the calling thread has
// stepped the windows before. Then `emit` gives out what they keep, in the
// thread that stepped them, or `drop` forgets it where the windows before
// left other bytes, and the calling thread steps the later windows again.
struct LaterRewrite {
  RunStep step;
  std::function<bool()> full;
  std::function<void()> emit;
  std::function<void()> drop;
};

// rewrite_windows over two threads where `split_from` marked windows or
// more are to be stepped: the same output and the same steps' results, in
// the same order. Memory: two buffers, and a record of the later part's
// writes (16 bytes a write, one write at most a read block).
PassResult rewrite_windows_in_two(ByteFile& input, ByteFile& output, std::uint64_t size,
                                  std::span<const WindowRun> runs, const RunStep& step,
                                  const LaterRewrite& later, std::uint64_t split_from,
                                  std::size_t read_block = kDefaultReadBlock);

// Starts `run(arg)` in a thread that takes no signals but the faults its
// own loads raise: the handlers that clean up run in the calling thread.
// False where no thread can be made (a tight address-space limit).
bool start_quiet_thread(pthread_t& thread, void* (*run)(void*), void* arg);

// A thread of a pass's second part, started as start_quiet_thread starts
// one, and joined on every way out, an exception in the calling thread
// included, after `stop` tells it to stop.
class PartThread {
 public:
  PartThread(void* (*run)(void*), void* arg, std::function<void()> stop)
      : stop_(std::move(stop)), running_(start_quiet_thread(thread_, run, arg)) {}
  ~PartThread() {
    if (running_) stop_();
    join();
  }
  PartThread(const PartThread&) = delete;
  PartThread& operator=(const PartThread&) = delete;

  bool started() const { return running_; }
  void join() {
    if (running_) ::pthread_join(thread_, nullptr);
    running_ = false;
  }

 private:
  std::function<void()> stop_;
  pthread_t thread_{};
  bool running_ = false;
};

}  // namespace iccdrop::stream
