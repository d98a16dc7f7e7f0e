#include "stream/file_scan.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace iccdrop::stream {
namespace {

// The mapped block a SIGBUS may come from: the one piece of state the
// handler reads. SIGBUS is synchronous, raised by this thread's own load
// from the mapping, so the handler never sees the range half set.
struct MappedRange {
  volatile std::uintptr_t begin;
  volatile std::uintptr_t end;
  volatile std::uintptr_t page_size;
  volatile sig_atomic_t lost;
};
MappedRange g_mapped{0, 0, 4096, 0};

// A load from a page of the file that is gone (the file was cut short, or
// the page could not be read) raises SIGBUS. The page becomes a page of
// zeros, the loss is noted, and the load is made again: the pass sees the
// note after the block and ends. A SIGBUS from anywhere else faults again
// on return and ends the process as it would have without this handler.
extern "C" void zero_lost_page(int, siginfo_t* info, void*) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (address >= g_mapped.begin && address < g_mapped.end) {
    void* page = reinterpret_cast<void*>(address & ~(g_mapped.page_size - 1));
#if defined(MAP_ANONYMOUS) || defined(MAP_ANON)
#if defined(MAP_ANONYMOUS)
    constexpr int kZeros = MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED;
#else
    constexpr int kZeros = MAP_PRIVATE | MAP_ANON | MAP_FIXED;
#endif
    if (::mmap(page, g_mapped.page_size, PROT_READ, kZeros, -1, 0) != MAP_FAILED) {
      g_mapped.lost = 1;
      return;
    }
#else
    (void)page;
#endif
  }
  ::signal(SIGBUS, SIG_DFL);
}

// The SIGBUS handler for the length of a pass, and the block it watches.
class LostPageGuard {
 public:
  explicit LostPageGuard(std::size_t page_size) {
    g_mapped.page_size = page_size;
    g_mapped.lost = 0;
    struct sigaction action {};
    action.sa_sigaction = zero_lost_page;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    installed_ = ::sigaction(SIGBUS, &action, &saved_) == 0;
  }
  ~LostPageGuard() {
    watch({});
    if (installed_) ::sigaction(SIGBUS, &saved_, nullptr);
  }
  LostPageGuard(const LostPageGuard&) = delete;
  LostPageGuard& operator=(const LostPageGuard&) = delete;

  void watch(std::span<const unsigned char> block) {
    g_mapped.end = 0;
    g_mapped.begin = reinterpret_cast<std::uintptr_t>(block.data());
    g_mapped.end = reinterpret_cast<std::uintptr_t>(block.data() + block.size());
  }
  bool lost() const { return g_mapped.lost != 0; }

 private:
  bool installed_ = false;
  struct sigaction saved_ {};
};

// A block of the file, mapped read-only with its pages in place: mapping
// page by page on first touch costs a fault a page, more than copying.
class Mapping {
 public:
  Mapping(int fd, std::uint64_t offset, std::size_t length) : length_(length) {
    int flags = MAP_SHARED;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;
#endif
    base_ = ::mmap(nullptr, length, PROT_READ, flags, fd, static_cast<off_t>(offset));
  }
  ~Mapping() {
    if (base_ != MAP_FAILED) ::munmap(base_, length_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  bool mapped() const { return base_ != MAP_FAILED; }
  std::span<const unsigned char> bytes() const {
    return {static_cast<const unsigned char*>(base_), length_};
  }

 private:
  void* base_ = MAP_FAILED;
  std::size_t length_;
};

// Fills `into` from `offset`; fewer bytes only at the end of the file.
std::optional<std::size_t> read_at(int fd, std::uint64_t offset,
                                   std::span<unsigned char> into) {
  std::size_t done = 0;
  while (done < into.size()) {
    const ssize_t got = ::pread(fd, into.data() + done, into.size() - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

// Copies the input's bytes to the same offsets of the output. The kernel
// copies them file to file (sharing the blocks where the file system can),
// without the copy out of this process's memory that write() makes; where
// the two files do not allow that, blocks are written from memory. Once the
// kernel has copied a block, the rest of the file is copied by a thread of
// its own while this one scans: the copy and the scan take a core each.
class OutputCopy {
 public:
  OutputCopy(int fd, int output) : fd_(fd), output_(output) {}
  OutputCopy(const OutputCopy&) = delete;
  OutputCopy& operator=(const OutputCopy&) = delete;
  ~OutputCopy() {
    stop_.store(true);
    join();
  }

  // Whether the thread copies the rest: then put() has nothing to do.
  bool copying_ahead() const { return running_; }

  // Puts the block of `bytes` that lies at `offset` in the input; then,
  // where the kernel copied it, has the thread copy from there to `size`.
  // False on a failed write; errno tells.
  bool put(std::uint64_t offset, std::span<const unsigned char> bytes,
           std::uint64_t size) {
    if (copying_ahead()) return true;
    if (by_kernel_) {
      const auto copied = kernel_copy(offset, offset + bytes.size());
      if (copied == Copied::kAll) {
        start_thread(offset + bytes.size(), size);
        return true;
      }
      if (copied == Copied::kFailed) return false;
      by_kernel_ = false;
    }
    while (!bytes.empty()) {
      const ssize_t put =
          ::pwrite(output_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      offset += static_cast<std::uint64_t>(put);
      bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
    return true;
  }

  // Whether the thread has failed already, so the scan can stop early.
  bool failed_ahead() const { return failed_.load(std::memory_order_acquire); }

  // Waits for the thread: false when its copy failed (errno tells).
  bool finish() {
    join();
    if (!failed_.load(std::memory_order_acquire)) return true;
    errno = error_;
    return false;
  }

 private:
  enum class Copied { kAll, kFailed, kNotHere };

  // Copies [from, to) by copy_file_range, in steps so that a stop is seen.
  // kNotHere where the files do not allow it, before any byte is copied.
  Copied kernel_copy(std::uint64_t from, std::uint64_t to) {
#if defined(__linux__) && defined(_GNU_SOURCE)
    constexpr std::uint64_t kStep = std::uint64_t{16} << 20;
    while (from < to && !stop_.load(std::memory_order_relaxed)) {
      auto in = static_cast<off_t>(from);
      auto out = static_cast<off_t>(from);
      const ssize_t put =
          ::copy_file_range(fd_, &in, output_, &out,
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
    }
    return Copied::kAll;
#else
    (void)from;
    (void)to;
    (void)fd_;
    (void)copied_any_;
    return Copied::kNotHere;
#endif
  }

  // The thread takes no signals: the handlers that clean up run in this
  // one. Where no thread can be made (a tight address-space limit), this
  // one copies each block.
  void start_thread(std::uint64_t from, std::uint64_t size) {
    if (from >= size) return;
    ahead_from_ = from;
    ahead_to_ = size;
    sigset_t all, saved;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &saved);
    running_ = ::pthread_create(&thread_, nullptr, &OutputCopy::copy_ahead, this) == 0;
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  }
  static void* copy_ahead(void* self) {
    auto& copy = *static_cast<OutputCopy*>(self);
    if (copy.kernel_copy(copy.ahead_from_, copy.ahead_to_) != Copied::kAll) {
      copy.error_ = errno;
      copy.failed_.store(true, std::memory_order_release);
    }
    return nullptr;
  }
  void join() {
    if (running_) ::pthread_join(thread_, nullptr);
    running_ = false;
  }

  int fd_;
  int output_;
  bool by_kernel_ = true;
  bool copied_any_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  int error_ = 0;
  std::uint64_t ahead_from_ = 0;
  std::uint64_t ahead_to_ = 0;
  bool running_ = false;
  pthread_t thread_{};
};

// After a lost page or a short read: the file's size now where it shrank,
// else the bytes could not be read.
PassResult lost_page_result(int fd, std::uint64_t size, std::uint64_t bytes) {
  struct stat info {};
  if (::fstat(fd, &info) == 0 && static_cast<std::uint64_t>(info.st_size) < size)
    return {PassStatus::kOk, static_cast<std::uint64_t>(info.st_size)};
  return {PassStatus::kReadError, bytes};
}

// A copy that failed: the input shrank, or the output could not be written.
PassResult copy_failed(int fd, std::uint64_t size, std::uint64_t bytes) {
  const PassResult lost = lost_page_result(fd, size, bytes);
  return lost.status == PassStatus::kOk ? lost
                                        : PassResult{PassStatus::kWriteError, bytes};
}

}  // namespace

PassResult scan_file(int fd, std::uint64_t size, int output, const ScanStep& step,
                     ScanMethod method, std::size_t block) {
  assert(block >= kChunkSize && block % kChunkSize == 0);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (page_size <= 0 || block % static_cast<std::size_t>(page_size) != 0)
    method = ScanMethod::kRead;
  std::optional<LostPageGuard> guard;
  if (method == ScanMethod::kMap) guard.emplace(static_cast<std::size_t>(page_size));
  std::vector<unsigned char> buffer;  // for blocks that are read, not mapped
  OutputCopy copy(fd, output);
  PassResult result;
  std::optional<unsigned char> before;
  for (std::uint64_t offset = 0; offset < size; offset += block) {
    // The block and the chunk after it, the look-ahead of its last window.
    const auto length = static_cast<std::size_t>(
        std::min<std::uint64_t>(size - offset, block + kChunkSize));
    const auto own = std::min(length, block);
    std::optional<Mapping> mapping;
    if (method == ScanMethod::kMap) mapping.emplace(fd, offset, length);
    std::span<const unsigned char> bytes;
    if (mapping && mapping->mapped()) {
      bytes = mapping->bytes();
      guard->watch(bytes);
    } else {
      buffer.resize(block + kChunkSize);
      const auto got = read_at(fd, offset, std::span(buffer).first(length));
      if (!got) return {PassStatus::kReadError, result.bytes};
      if (*got < length) return lost_page_result(fd, size, result.bytes);
      bytes = std::span(buffer).first(length);
    }
    for (std::size_t at = 0; at < own; at += kChunkSize) {
      step(ScanWindow{bytes.subspan(at, std::min(kWindowSize, length - at)), offset + at,
                      at > 0 ? std::optional(bytes[at - 1]) : before});
    }
    if (guard && guard->lost()) return lost_page_result(fd, size, result.bytes);
    if (output >= 0 && (!copy.put(offset, bytes.first(own), size) || copy.failed_ahead()))
      return copy_failed(fd, size, result.bytes);
    before = bytes[own - 1];
    result.bytes += own;
    if (guard) guard->watch({});
  }
  if (output >= 0 && !copy.finish()) return copy_failed(fd, size, result.bytes);
  // The file ends where its size said: one read there meets the end.
  unsigned char extra = 0;
  if (::lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0)
    return {PassStatus::kReadError, result.bytes};
  while (true) {
    const ssize_t got = ::read(fd, &extra, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {PassStatus::kReadError, result.bytes};
    result.bytes += static_cast<std::uint64_t>(got);
    return result;
  }
}

}  // namespace iccdrop::stream
