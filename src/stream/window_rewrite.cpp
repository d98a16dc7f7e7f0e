#include "stream/window_rewrite.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

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

bool start_quiet_thread(pthread_t& thread, void* (*run)(void*), void* arg) {
  sigset_t blocked, saved;
  sigfillset(&blocked);
  for (const int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&blocked, fault);
  ::pthread_sigmask(SIG_SETMASK, &blocked, &saved);
  const bool started = ::pthread_create(&thread, nullptr, run, arg) == 0;
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return started;
}

PassResult rewrite_windows(ByteFile& input, ByteFile& output, std::uint64_t size,
                           std::span<const WindowRun> runs, const RunStep& step,
                           std::size_t read_block, const std::function<bool()>* stop) {
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
      bool stopped = false;
      while (window <= run.last && at < held && !stopped) {
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
        stopped = stop != nullptr && (*stop)();
      }
      // What the steps changed goes to the output now, the look-ahead too,
      // in one write from the first changed window's start to the last
      // one's end.
      if (dirty_begin < dirty_end &&
          !output.write_at(start + dirty_begin,
                           bytes.subspan(dirty_begin, dirty_end - dirty_begin))) {
        return {PassStatus::kWriteError, result.bytes};
      }
      if (stopped) return result;
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

namespace {

// The first part's output when a later part steps the windows from `clip`
// on: its writes end there, and what they would put in the bytes that the
// later part's first window sees, [clip - 1, clip + 4096), is kept to be
// compared with the input's.
class ClippedOutput final : public ByteFile {
 public:
  ClippedOutput(ByteFile& input, ByteFile& output, std::uint64_t size, std::uint64_t clip)
      : input_(input),
        output_(output),
        clip_(clip),
        seen_(static_cast<std::size_t>(std::min(size, clip + kChunkSize) - (clip - 1))) {}

  std::optional<std::size_t> read_at(std::uint64_t offset,
                                     std::span<unsigned char> into) override {
    return output_.read_at(offset, into);
  }
  bool write_at(std::uint64_t offset, std::span<const unsigned char> bytes) override {
    const std::uint64_t seen_from = clip_ - 1, seen_to = seen_from + seen_.size();
    const std::uint64_t from = std::max(offset, seen_from);
    const std::uint64_t to = std::min(offset + bytes.size(), seen_to);
    if (from < to) {
      if (!touched_ && !read_input(seen_)) return false;
      touched_ = true;
      std::memcpy(seen_.data() + (from - seen_from), bytes.data() + (from - offset),
                  static_cast<std::size_t>(to - from));
    }
    return offset >= clip_ ||
           output_.write_at(offset,
                            bytes.first(static_cast<std::size_t>(
                                std::min<std::uint64_t>(bytes.size(), clip_ - offset))));
  }

  // Whether the later part's first window sees the input's bytes; none when
  // the input could not be read.
  std::optional<bool> later_sees_input() {
    if (!touched_) return true;
    std::vector<unsigned char> input(seen_.size());
    if (!read_input(input)) return std::nullopt;
    return input == seen_;
  }
  // The bytes from clip - 1 on, as the first part left them.
  std::span<const unsigned char> seen() const { return seen_; }

 private:
  bool read_input(std::span<unsigned char> into) {
    const auto got = input_.read_at(clip_ - 1, into);
    return got && *got == into.size();
  }

  ByteFile& input_;
  ByteFile& output_;
  std::uint64_t clip_;
  std::vector<unsigned char> seen_;
  bool touched_ = false;
};

// The input with the bytes from `at` on as `bytes` says.
class PatchedInput final : public ByteFile {
 public:
  PatchedInput(ByteFile& input, std::uint64_t at, std::span<const unsigned char> bytes)
      : input_(input), at_(at), bytes_(bytes) {}
  std::optional<std::size_t> read_at(std::uint64_t offset,
                                     std::span<unsigned char> into) override {
    const auto got = input_.read_at(offset, into);
    if (!got) return got;
    const std::uint64_t from = std::max(offset, at_);
    const std::uint64_t to = std::min(offset + *got, at_ + bytes_.size());
    if (from < to) {
      std::memcpy(into.data() + (from - offset), bytes_.data() + (from - at_),
                  static_cast<std::size_t>(to - from));
    }
    return got;
  }
  bool write_at(std::uint64_t, std::span<const unsigned char>) override { return false; }

 private:
  ByteFile& input_;
  std::uint64_t at_;
  std::span<const unsigned char> bytes_;
};

// What becomes of the later part's results, told between the threads.
class Handover {
 public:
  enum class Verdict { kOpen, kEmit, kDrop };

  Handover() {
    ::pthread_mutex_init(&mutex_, nullptr);
    ::pthread_cond_init(&decided_, nullptr);
  }
  ~Handover() {
    ::pthread_cond_destroy(&decided_);
    ::pthread_mutex_destroy(&mutex_);
  }
  Handover(const Handover&) = delete;
  Handover& operator=(const Handover&) = delete;

  // In the later part's thread, after each window: waits while its steps
  // keep enough and there is no verdict; gives out what they keep once they
  // may. True when the part must stop.
  bool after_window(const LaterRewrite& later) {
    ::pthread_mutex_lock(&mutex_);
    while (verdict_.load() == Verdict::kOpen && later.full())
      ::pthread_cond_wait(&decided_, &mutex_);
    const Verdict verdict = verdict_.load();
    ::pthread_mutex_unlock(&mutex_);
    if (verdict == Verdict::kEmit) later.emit();
    return verdict == Verdict::kDrop;
  }
  Verdict verdict() const { return verdict_.load(); }
  void decide(Verdict verdict) {
    ::pthread_mutex_lock(&mutex_);
    verdict_.store(verdict);
    ::pthread_cond_broadcast(&decided_);
    ::pthread_mutex_unlock(&mutex_);
  }

 private:
  pthread_mutex_t mutex_;
  pthread_cond_t decided_;
  std::atomic<Verdict> verdict_{Verdict::kOpen};
};

// The later part's output: its writes, recorded until its steps' results
// are given out, so that they can be put back to the input's bytes. Until
// then the part's writes are bounded by the changes it holds.
class RecordedOutput final : public ByteFile {
 public:
  RecordedOutput(ByteFile& output, const Handover& handover)
      : output_(output), handover_(handover) {}
  std::optional<std::size_t> read_at(std::uint64_t offset,
                                     std::span<unsigned char> into) override {
    return output_.read_at(offset, into);
  }
  bool write_at(std::uint64_t offset, std::span<const unsigned char> bytes) override {
    if (handover_.verdict() != Handover::Verdict::kEmit)
      writes_.emplace_back(offset, bytes.size());
    return output_.write_at(offset, bytes);
  }
  std::span<const std::pair<std::uint64_t, std::size_t>> writes() const {
    return writes_;
  }

 private:
  ByteFile& output_;
  const Handover& handover_;
  std::vector<std::pair<std::uint64_t, std::size_t>> writes_;
};

// The later part, stepped in its thread.
struct LaterSteps {
  ByteFile* input;
  RecordedOutput* output;
  std::uint64_t size;
  std::span<const WindowRun> runs;
  const LaterRewrite* later;
  std::size_t read_block;
  Handover* handover;
  PassResult result;
  bool out_of_memory = false;

  static void* run(void* self) {
    auto& part = *static_cast<LaterSteps*>(self);
    // A failed allocation ends the run as in the calling thread, which
    // throws it again after the join.
    try {
      const std::function<bool()> stop = [&part] {
        return part.handover->after_window(*part.later);
      };
      part.result = rewrite_windows(*part.input, *part.output, part.size, part.runs,
                                    part.later->step, part.read_block, &stop);
    } catch (const std::bad_alloc&) {
      part.out_of_memory = true;
    }
    return nullptr;
  }
};

// Puts the input's bytes back over the later part's writes.
bool put_back(ByteFile& input, ByteFile& output,
              std::span<const std::pair<std::uint64_t, std::size_t>> writes) {
  std::vector<unsigned char> buffer(kDefaultReadBlock);
  for (auto [offset, length] : writes) {
    while (length > 0) {
      const auto piece = std::span(buffer).first(std::min(length, buffer.size()));
      const auto got = input.read_at(offset, piece);
      if (!got || *got != piece.size() || !output.write_at(offset, piece)) return false;
      offset += piece.size();
      length -= piece.size();
    }
  }
  return true;
}

}  // namespace

PassResult rewrite_windows_in_two(ByteFile& input, ByteFile& output, std::uint64_t size,
                                  std::span<const WindowRun> runs, const RunStep& step,
                                  const LaterRewrite& later, std::uint64_t split_from,
                                  std::size_t read_block) {
  std::uint64_t marked = 0;
  for (const WindowRun& run : runs) marked += run.last - run.first + 1;
  // The later part begins at the window with half the marked ones before it.
  std::size_t r = 0;
  std::uint64_t before = 0;
  while (r < runs.size() && before + (runs[r].last - runs[r].first + 1) <= marked / 2) {
    before += runs[r].last - runs[r].first + 1;
    ++r;
  }
  const std::uint64_t split = r < runs.size() ? runs[r].first + (marked / 2 - before) : 0;
  if (marked < std::max<std::uint64_t>(split_from, 2) || split == 0 ||
      split * kChunkSize >= size) {
    return rewrite_windows(input, output, size, runs, step, read_block);
  }
  std::vector<WindowRun> first(runs.begin(),
                               runs.begin() + static_cast<std::ptrdiff_t>(r));
  if (split > runs[r].first) first.push_back(WindowRun{runs[r].first, split - 1});
  std::vector<WindowRun> second{WindowRun{split, runs[r].last}};
  second.insert(second.end(), runs.begin() + static_cast<std::ptrdiff_t>(r) + 1,
                runs.end());

  Handover handover;
  RecordedOutput later_output(output, handover);
  LaterSteps steps{&input, &later_output, size,      second,
                   &later, read_block,    &handover, {}};
  PartThread thread(&LaterSteps::run, &steps,
                    [&handover] { handover.decide(Handover::Verdict::kDrop); });
  if (!thread.started())
    return rewrite_windows(input, output, size, runs, step, read_block);
  const std::uint64_t clip = split * kChunkSize;
  ClippedOutput first_output(input, output, size, clip);
  const PassResult result =
      rewrite_windows(input, first_output, size, first, step, read_block);
  if (result.status != PassStatus::kOk) return result;
  const auto later_sees_input = first_output.later_sees_input();
  if (!later_sees_input) return {PassStatus::kReadError, result.bytes};
  handover.decide(*later_sees_input ? Handover::Verdict::kEmit
                                    : Handover::Verdict::kDrop);
  thread.join();
  if (steps.out_of_memory) throw std::bad_alloc();
  if (*later_sees_input) {
    later.emit();
    return {steps.result.status, result.bytes + steps.result.bytes};
  }
  // A rewrite of the first part reached the later part's first window: its
  // steps saw other bytes. Their writes are undone, and this thread steps
  // those windows again from the bytes the first part left.
  later.drop();
  if (!put_back(input, output, later_output.writes()) ||
      !output.write_at(clip, first_output.seen().subspan(1))) {
    return {PassStatus::kWriteError, result.bytes};
  }
  PatchedInput patched(input, clip - 1, first_output.seen());
  const PassResult again =
      rewrite_windows(patched, output, size, second, step, read_block);
  return {again.status, result.bytes + again.bytes};
}

}  // namespace iccdrop::stream
