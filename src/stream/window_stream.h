// The chunked window stream: one pass over an input, handing every 4096-byte
// chunk to a window step together with the chunk after it, and writing the
// bytes out at their old offsets once no later window can change them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <vector>

namespace iccdrop::stream {

inline constexpr std::size_t kChunkSize = 4096;
inline constexpr std::size_t kWindowSize = 2 * kChunkSize;
// A window step handles matches whose first byte lies at window offsets
// 0..kZoneLimit inclusive (4097 offsets); later bytes are look-ahead only.
inline constexpr std::size_t kZoneLimit = 4096;
// Bytes read at once. Any multiple of kChunkSize gives the same windows and
// the same output; large reads only save system calls.
inline constexpr std::size_t kDefaultReadBlock = 64 * kChunkSize;

// Where a pass reads from. read() fills a prefix of `into` and returns its
// length: 0 only at end of input, none on a read error.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::optional<std::size_t> read(std::span<unsigned char> into) = 0;
};

// Where a pass writes to. write() takes all of `bytes` or reports failure.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool write(std::span<const unsigned char> bytes) = 0;
};

// A window: the bytes of input offsets [4096 k, 4096 k + size), size <= 8192.
// The step may overwrite bytes in place; it never changes the window's size.
using WindowStep = std::function<void(std::span<unsigned char> window)>;

// A window with where it lies in the input and the byte before it, as the
// steps before it left that byte (none for the first window of the file).
struct PlacedWindow {
  std::span<unsigned char> bytes;
  std::uint64_t offset = 0;  // a multiple of 4096
  std::optional<unsigned char> before;
};
// A step that is told where its window lies; returns whether it changed the
// window's bytes.
using RunStep = std::function<bool(const PlacedWindow& window)>;

enum class PassStatus { kOk, kReadError, kWriteError };

struct PassResult {
  PassStatus status = PassStatus::kOk;
  std::uint64_t bytes = 0;  // input bytes read (and, with a sink, written)
};

// Runs one pass. The step sees a window at every chunk start k * 4096 below
// the input's size: 8192 bytes while that many remain, then what is left. So
// its offset 4096 is the next window's offset 0, and the last 4096 bytes or
// fewer get a window of their own. Memory: one buffer of read_block + 8192.
PassResult run_pass(ByteSource& input, ByteSink* output, const WindowStep& step,
                    std::size_t read_block = kDefaultReadBlock);
// The same, with a step told where each window lies and the byte before it.
PassResult run_pass(ByteSource& input, ByteSink* output, const RunStep& step,
                    std::size_t read_block = kDefaultReadBlock);

// Allocates on page boundaries: the kernel copies file pages into a buffer
// that starts at the same place in a page as the file offset it reads at
// full speed, but 4 to 5 times slower when the two are a few bytes apart
// (measured on x86-64, reading 1 GiB from the page cache).
inline constexpr std::size_t kPageAlign = 4096;
template <typename T>
struct PageAligned {
  using value_type = T;
  static constexpr std::align_val_t kAlign{kPageAlign};
  PageAligned() = default;
  template <typename U>
  PageAligned(const PageAligned<U>&) {}
  T* allocate(std::size_t n) {
    return static_cast<T*>(::operator new(n * sizeof(T), kAlign));
  }
  void deallocate(T* p, std::size_t) { ::operator delete(p, kAlign); }
  friend bool operator==(const PageAligned&, const PageAligned&) = default;
};
using AlignedBytes = std::vector<unsigned char, PageAligned<unsigned char>>;

// A source and a sink over POSIX file descriptors; EINTR is retried.
class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  std::optional<std::size_t> read(std::span<unsigned char> into) override;

 private:
  int fd_;
};

class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  bool write(std::span<const unsigned char> bytes) override;

 private:
  int fd_;
};

}  // namespace iccdrop::stream
