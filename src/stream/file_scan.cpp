#include "stream/file_scan.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <new>
#include <vector>

namespace iccdrop::stream {
namespace {

// After a short read: the file's size now where it shrank, else the bytes
// could not be read.
PassResult short_read_result(int fd, std::uint64_t size, std::uint64_t bytes) {
  struct stat info {};
  if (::fstat(fd, &info) == 0 && static_cast<std::uint64_t>(info.st_size) < size)
    return {PassStatus::kOk, static_cast<std::uint64_t>(info.st_size)};
  return {PassStatus::kReadError, bytes};
}

}  // namespace

OutputCopy::OutputCopy(int input, int output) : input_(input), output_(output) {
  ::pthread_mutex_init(&mutex_, nullptr);
  ::pthread_cond_init(&progress_, nullptr);
}

OutputCopy::~OutputCopy() {
  stop_.store(true);
  join();
  ::pthread_cond_destroy(&progress_);
  ::pthread_mutex_destroy(&mutex_);
}

bool OutputCopy::put(std::uint64_t offset, std::span<const unsigned char> bytes,
                     std::uint64_t size) {
  if (running_) return true;
  if (by_kernel_) {
    const auto copied = kernel_copy(offset, offset + bytes.size(), false);
    if (copied == Copied::kAll) {
      start_thread(offset + bytes.size(), size);
      return true;
    }
    if (copied == Copied::kFailed) return false;
    by_kernel_ = false;
  }
  return FdFile(output_).write_at(offset, bytes);
}

bool OutputCopy::failed() const { return failed_.load(std::memory_order_acquire); }

bool OutputCopy::wait_for(std::uint64_t end) {
  if (!running_) return !failed();
  ::pthread_mutex_lock(&mutex_);
  while (copied_to_ < end && !ended_.load()) ::pthread_cond_wait(&progress_, &mutex_);
  const bool there = copied_to_ >= end;
  ::pthread_mutex_unlock(&mutex_);
  return there;
}

bool OutputCopy::wait_for_all() { return wait_for(ahead_to_); }

bool OutputCopy::finish() {
  join();
  if (!failed()) return true;
  errno = error_;
  return false;
}

OutputCopy::Copied OutputCopy::kernel_copy(std::uint64_t from, std::uint64_t to,
                                           bool tell_progress) {
#if defined(__linux__) && defined(_GNU_SOURCE)
  // Steps of 4 MiB: a stop is seen, and pass 2 waits no longer than a step.
  constexpr std::uint64_t kStep = std::uint64_t{4} << 20;
  while (from < to && !stop_.load(std::memory_order_relaxed)) {
    auto in = static_cast<off_t>(from);
    auto out = static_cast<off_t>(from);
    const ssize_t put =
        ::copy_file_range(input_, &in, output_, &out,
                          static_cast<std::size_t>(std::min(to - from, kStep)), 0);
    if (put < 0 && errno == EINTR) continue;
    // Not between these files (EXDEV: two file systems; EINVAL, EOPNOTSUPP:
    // a file system without it), or not in this system or sandbox (ENOSYS,
    // EPERM). EBADF too: write() then tells whether the output takes bytes.
    if (put < 0 && !copied_any_ &&
        (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS ||
         errno == EPERM || errno == EBADF)) {
      return Copied::kNotHere;
    }
    if (put < 0) return Copied::kFailed;
    if (put == 0) {  // the input ends before `to`: it shrank
      errno = EFAULT;
      return Copied::kFailed;
    }
    copied_any_ = true;
    from += static_cast<std::uint64_t>(put);
    if (tell_progress) {
      ::pthread_mutex_lock(&mutex_);
      copied_to_ = from;
      ::pthread_cond_broadcast(&progress_);
      ::pthread_mutex_unlock(&mutex_);
    }
  }
  return Copied::kAll;
#else
  (void)from;
  (void)to;
  (void)tell_progress;
  (void)input_;
  (void)copied_any_;
  return Copied::kNotHere;
#endif
}

// Where no thread can be made, the scanning one copies each block.
void OutputCopy::start_thread(std::uint64_t from, std::uint64_t size) {
  if (from >= size) return;
  ahead_to_ = size;
  copied_to_ = from;  // where the thread begins: the bytes before it are copied
  running_ = start_quiet_thread(thread_, &OutputCopy::copy_ahead, this);
}

void* OutputCopy::copy_ahead(void* self) {
  auto& copy = *static_cast<OutputCopy*>(self);
  if (copy.kernel_copy(copy.copied_to_, copy.ahead_to_, true) != Copied::kAll) {
    copy.error_ = errno;
    copy.failed_.store(true, std::memory_order_release);
  }
  ::pthread_mutex_lock(&copy.mutex_);
  copy.ended_.store(true, std::memory_order_release);
  ::pthread_cond_broadcast(&copy.progress_);
  ::pthread_mutex_unlock(&copy.mutex_);
  return nullptr;
}

void OutputCopy::join() {
  if (running_) ::pthread_join(thread_, nullptr);
  running_ = false;
}

std::optional<std::size_t> CopiedOutput::read_at(std::uint64_t offset,
                                                 std::span<unsigned char> into) {
  return copy_.wait_for(offset + into.size()) ? file_.read_at(offset, into)
                                              : std::nullopt;
}

bool CopiedOutput::write_at(std::uint64_t offset, std::span<const unsigned char> bytes) {
  return copy_.wait_for_all() && file_.write_at(offset, bytes);
}

PassResult copy_failed(int fd, std::uint64_t size, std::uint64_t bytes) {
  const PassResult shrunk = short_read_result(fd, size, bytes);
  return shrunk.status == PassStatus::kOk ? shrunk
                                          : PassResult{PassStatus::kWriteError, bytes};
}

namespace {

// What a scan of a part of the file needs: the file and its blocks.
struct ScanSetup {
  int fd;
  std::uint64_t size;
  std::size_t block;
};

// The byte before `offset` (after 0), which the window there is told of;
// none when it cannot be read.
std::optional<unsigned char> byte_before(int fd, std::uint64_t offset) {
  unsigned char byte = 0;
  const auto got = FdFile(fd).read_at(offset - 1, std::span(&byte, 1));
  if (!got || *got != 1) return std::nullopt;
  return byte;
}

// Steps the windows at offsets [begin, end) (chunk multiples, or `end` the
// size) in order, a block at a time from `begin`, and puts those bytes in `output` (where
// not null). Stops early after a window when `full` (where set) says so; `next` tells the
// offset of the first window not stepped, and `before`, the byte before
// `begin` on the way in, tells the byte before `next`. Returns the pass's
// result where it ended it (a failed or short read, a failed copy), else none.
std::optional<PassResult> scan_range(const ScanSetup& setup, std::uint64_t begin,
                                     std::uint64_t end,
                                     std::optional<unsigned char>& before,
                                     OutputCopy* output, const ScanStep& step,
                                     const std::function<bool()>* full,
                                     std::uint64_t& next) {
  const std::size_t block = setup.block;
  assert(block >= kChunkSize && block % kChunkSize == 0);
  const std::uint64_t size = setup.size;
  AlignedBytes buffer(block + kChunkSize);
  for (std::uint64_t offset = begin; offset < end; offset += block) {
    next = offset;
    // The block (cut short at `end`) and the chunk after it, the look-ahead
    // of its last window.
    const auto own =
        static_cast<std::size_t>(std::min<std::uint64_t>(end - offset, block));
    const auto length = static_cast<std::size_t>(
        std::min<std::uint64_t>(size - offset, own + kChunkSize));
    const auto got = FdFile(setup.fd).read_at(offset, std::span(buffer).first(length));
    if (!got) return PassResult{PassStatus::kReadError, offset};
    if (*got < length) return short_read_result(setup.fd, size, offset);
    const auto bytes = std::span<const unsigned char>(buffer).first(length);
    std::size_t at = 0;
    bool stop = false;
    while (at < own && !stop) {
      step(ScanWindow{bytes.subspan(at, std::min(kWindowSize, length - at)), offset + at,
                      at > 0 ? std::optional(bytes[at - 1]) : before});
      at += kChunkSize;
      stop = full != nullptr && (*full)();
    }
    if (output != nullptr &&
        (!output->put(offset, bytes.first(own), size) || output->failed())) {
      return copy_failed(setup.fd, size, offset);
    }
    const std::size_t stepped = std::min(at, own);
    before = bytes[stepped - 1];
    if (stop) {
      next = offset + stepped;
      return std::nullopt;
    }
  }
  next = end;
  return std::nullopt;
}

// After the last window: the file ends where its size said, so one read
// there meets the end. Counts what it reads past the size.
PassResult read_at_end(int fd, std::uint64_t size) {
  unsigned char extra = 0;
  if (::lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0)
    return {PassStatus::kReadError, size};
  while (true) {
    const ssize_t got = ::read(fd, &extra, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {PassStatus::kReadError, size};
    return {PassStatus::kOk, size + static_cast<std::uint64_t>(got)};
  }
}

// The later part's thread: scans from its start until it is full.
struct LaterScan {
  const ScanSetup* setup;
  const LaterPart* part;
  std::uint64_t from;
  std::optional<unsigned char> before;  // the byte before `from`, then before `next`
  std::optional<PassResult> ended;
  std::uint64_t next = 0;
  std::atomic<bool> stop{false};  // the calling thread gave up
  bool out_of_memory = false;

  static void* run(void* self) {
    auto& scan = *static_cast<LaterScan*>(self);
    // A failed allocation ends the run as it does in the calling thread:
    // that one throws it again once it has joined this one.
    try {
      const std::function<bool()> full = [&scan] {
        return scan.stop.load(std::memory_order_relaxed) || scan.part->full();
      };
      scan.ended = scan_range(*scan.setup, scan.from, scan.setup->size, scan.before,
                              nullptr, scan.part->step, &full, scan.next);
    } catch (const std::bad_alloc&) {
      scan.out_of_memory = true;
    }
    return nullptr;
  }
};

}  // namespace

PassResult scan_file(int fd, std::uint64_t size, OutputCopy* output, const ScanStep& step,
                     std::size_t block) {
  const ScanSetup setup{fd, size, block};
  std::uint64_t next = 0;
  std::optional<unsigned char> before;
  if (auto ended = scan_range(setup, 0, size, before, output, step, nullptr, next))
    return *ended;
  return read_at_end(fd, size);
}

PassResult scan_file_in_two(int fd, std::uint64_t size, OutputCopy* output,
                            const ScanStep& step, const LaterPart& later,
                            std::uint64_t split_from, std::size_t block) {
  const ScanSetup setup{fd, size, block};
  // Where the first thread goes on from, and the byte before it.
  std::uint64_t next = 0;
  std::optional<unsigned char> before;
  std::optional<PassResult> ended;
  if (output != nullptr) {
    // The copy takes the other core until it ends.
    const std::function<bool()> copied = [output] { return output->copied(); };
    if ((ended = scan_range(setup, 0, size, before, output, step, &copied, next)))
      return *ended;
  }
  const std::uint64_t from = (next + (size - next) / 2) / block * block;
  const bool split = size - next >= split_from && from > next;
  if (!split) {
    if ((ended = scan_range(setup, next, size, before, output, step, nullptr, next)))
      return *ended;
    return read_at_end(fd, size);
  }
  const auto before_later = byte_before(fd, from);
  if (!before_later) return {PassStatus::kReadError, next};
  LaterScan scan{&setup, &later, from, before_later, std::nullopt, 0};
  PartThread thread(&LaterScan::run, &scan,
                    [&scan] { scan.stop.store(true, std::memory_order_relaxed); });
  const bool started = thread.started();
  // Without a thread (a tight address-space limit), this one scans it all.
  ended =
      scan_range(setup, next, started ? from : size, before, output, step, nullptr, next);
  if (!started) return ended ? *ended : read_at_end(fd, size);
  thread.join();
  if (scan.out_of_memory) throw std::bad_alloc();
  if (ended) return *ended;
  if (scan.ended) return *scan.ended;
  later.merge();
  if (scan.next < size) {
    if ((ended = scan_range(setup, scan.next, size, scan.before, nullptr, step, nullptr,
                            next)))
      return *ended;
  }
  return read_at_end(fd, size);
}

}  // namespace iccdrop::stream
