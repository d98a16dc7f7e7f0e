#include "stream/window_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "stream/file_scan.h"
#include "stream/window_rewrite.h"
#include "support/memory_io.h"
#include "support/run_binary.h"

namespace iccdrop::stream {
namespace {

using testing::MemoryFile;
using testing::MemorySink;
using testing::MemorySource;
using Bytes = std::vector<unsigned char>;

// Random bytes, NULs and bytes >= 0x80 included, so that a window taken
// from the wrong input offset cannot look like the right one.
Bytes random_bytes(std::size_t size, unsigned seed = 1) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<unsigned char>(random() & 0xFF);
  return bytes;
}

// What a step saw: a copy of its window, taken before the step changes it.
using Seen = std::vector<Bytes>;

WindowStep recording_step(Seen& seen) {
  return [&seen](std::span<unsigned char> window) {
    seen.emplace_back(window.begin(), window.end());
  };
}

// A step that writes into the window, then records. It bumps the bytes at
// offsets 0 and 4096, so a chunk-start byte of the input is bumped twice
// (as offset 4096 of one window, then as offset 0 of the next) if and only if
// the first write was carried into the second window. It also writes its
// call count over [4090, 4102), across the boundary, when the window is long
// enough.
WindowStep marking_step(Seen& seen) {
  return [&seen](std::span<unsigned char> window) {
    ++window[0];
    if (window.size() > kChunkSize) ++window[kChunkSize];
    if (window.size() >= 4102) {
      for (std::size_t i = 4090; i < 4102; ++i) {
        window[i] = static_cast<unsigned char>('A' + seen.size() % 26);
      }
    }
    seen.emplace_back(window.begin(), window.end());
  };
}

// The window stream as it reads in 4096-byte chunks: one chunk into the
// window, then after every further chunk a step on the whole window, a write
// of its front chunk and a move; at end of input a last step on what is left,
// then its write. run_pass must give the same windows and bytes whatever its
// read sizes.
Bytes chunked_reference(std::span<const unsigned char> input, const WindowStep& step) {
  Bytes output;
  std::array<unsigned char, kWindowSize> window{};
  std::size_t fill = 0;
  std::size_t next = 0;
  auto read_chunk = [&] {
    const std::size_t n = std::min(kChunkSize, input.size() - next);
    std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(next), n,
                window.begin() + static_cast<std::ptrdiff_t>(fill));
    next += n;
    fill += n;
    return n;
  };
  read_chunk();
  while (read_chunk() > 0) {
    if (fill < kChunkSize) continue;
    step(std::span(window).first(fill));
    output.insert(output.end(), window.begin(), window.begin() + kChunkSize);
    std::memmove(window.data(), window.data() + kChunkSize, fill - kChunkSize);
    fill -= kChunkSize;
  }
  if (fill > 0) {
    step(std::span(window).first(fill));
    output.insert(output.end(), window.begin(),
                  window.begin() + static_cast<std::ptrdiff_t>(fill));
  }
  return output;
}

struct Window {
  std::size_t start;  // input offset of the window's first byte
  std::size_t size;
};

struct WindowRow {
  std::size_t input_size;
  std::vector<Window> windows;
};

// A window at every multiple of 4096 below the size: 8192 bytes while that
// many remain, then what is left.
const WindowRow kWindowRows[] = {
    {0, {}},
    {1, {{0, 1}}},
    {4095, {{0, 4095}}},
    {4096, {{0, 4096}}},
    {4097, {{0, 4097}, {4096, 1}}},
    {8191, {{0, 8191}, {4096, 4095}}},
    {8192, {{0, 8192}, {4096, 4096}}},
    {8193, {{0, 8192}, {4096, 4097}, {8192, 1}}},
    {12288, {{0, 8192}, {4096, 8192}, {8192, 4096}}},
    {12289, {{0, 8192}, {4096, 8192}, {8192, 4097}, {12288, 1}}},
    {5000, {{0, 5000}, {4096, 904}}},
    {13001, {{0, 8192}, {4096, 8192}, {8192, 4809}, {12288, 713}}},
};

TEST(WindowStream, StepSeesAWindowAtEveryChunkStart) {
  for (const auto& row : kWindowRows) {
    SCOPED_TRACE(row.input_size);
    const Bytes input = random_bytes(row.input_size);
    for (const bool with_output : {false, true}) {
      SCOPED_TRACE(with_output ? "with output" : "without output");
      MemorySource source(input);
      MemorySink sink;
      Seen seen;
      const PassResult result =
          run_pass(source, with_output ? &sink : nullptr, recording_step(seen));
      EXPECT_EQ(result.status, PassStatus::kOk);
      EXPECT_EQ(result.bytes, row.input_size);
      ASSERT_EQ(seen.size(), row.windows.size());
      for (std::size_t i = 0; i < seen.size(); ++i) {
        const Window& w = row.windows[i];
        EXPECT_EQ(seen[i],
                  Bytes(input.begin() + static_cast<std::ptrdiff_t>(w.start),
                        input.begin() + static_cast<std::ptrdiff_t>(w.start + w.size)))
            << "window " << i << " should be input [" << w.start << ", +" << w.size
            << ")";
      }
      EXPECT_EQ(sink.bytes(), with_output ? input : Bytes{});
    }
  }
}

// Sizes around the chunk, the window and the default read block (256 KiB).
constexpr std::size_t kOddSizes[] = {
    2,
    4098,
    6000,
    8190,
    16383,
    16385,
    65535,
    65537,
    kDefaultReadBlock - 1,
    kDefaultReadBlock,
    kDefaultReadBlock + 1,
    kDefaultReadBlock + kWindowSize,
    kDefaultReadBlock + kWindowSize + 1,
    3 * kDefaultReadBlock + 12345,
};

TEST(WindowStream, WindowsAndOutputMatchChunkedReading) {
  for (const std::size_t size : kOddSizes) {
    SCOPED_TRACE(size);
    const Bytes input = random_bytes(size, static_cast<unsigned>(size));
    Seen expected_seen;
    const Bytes expected_output = chunked_reference(input, recording_step(expected_seen));
    ASSERT_EQ(expected_output, input);

    MemorySource source(input);
    MemorySink sink;
    Seen seen;
    EXPECT_EQ(run_pass(source, &sink, recording_step(seen)).status, PassStatus::kOk);
    EXPECT_EQ(seen, expected_seen);
    EXPECT_EQ(sink.bytes(), input);
  }
}

// Reading in large blocks against reading in 4096-byte chunks: the same
// windows, the same writes carried between windows, the same output bytes.
TEST(WindowStream, ReadBlockSizeChangesNothing) {
  constexpr std::size_t kReadBlocks[] = {kChunkSize, 2 * kChunkSize, 3 * kChunkSize,
                                         16 * kChunkSize, kDefaultReadBlock};
  constexpr std::size_t kSizes[] = {0,
                                    1,
                                    4095,
                                    4096,
                                    4097,
                                    8192,
                                    8193,
                                    12288,
                                    12289,
                                    65536,
                                    65537,
                                    100000,
                                    kDefaultReadBlock + kChunkSize + 7};
  for (const std::size_t size : kSizes) {
    SCOPED_TRACE(size);
    const Bytes input = random_bytes(size, 7);
    Seen expected_seen;
    const Bytes expected_output = chunked_reference(input, marking_step(expected_seen));
    for (const std::size_t block : kReadBlocks) {
      SCOPED_TRACE(block);
      MemorySource source(input);
      MemorySink sink;
      Seen seen;
      EXPECT_EQ(run_pass(source, &sink, marking_step(seen), block).status,
                PassStatus::kOk);
      EXPECT_EQ(seen, expected_seen);
      EXPECT_EQ(sink.bytes(), expected_output);
    }
  }
}

TEST(WindowStream, ShortReadsChangeNothing) {
  constexpr std::size_t kShortReads[] = {1, 7, 4095, 4096, 4097, 10000};
  for (const std::size_t size : {std::size_t{4097}, std::size_t{30000}}) {
    const Bytes input = random_bytes(size, 3);
    Seen expected_seen;
    const Bytes expected_output = chunked_reference(input, marking_step(expected_seen));
    for (const std::size_t short_read : kShortReads) {
      for (const std::size_t block : {kChunkSize, kDefaultReadBlock}) {
        SCOPED_TRACE(::testing::Message() << "size " << size << ", reads of at most "
                                          << short_read << ", block " << block);
        MemorySource source(input, {.short_read = short_read});
        MemorySink sink;
        Seen seen;
        const PassResult result = run_pass(source, &sink, marking_step(seen), block);
        EXPECT_EQ(result.status, PassStatus::kOk);
        EXPECT_EQ(result.bytes, size);
        EXPECT_EQ(seen, expected_seen);
        EXPECT_EQ(sink.bytes(), expected_output);
        EXPECT_GE(source.reads(), size / short_read);
      }
    }
  }
}

// Steps write in place, and the stream writes what they left: a byte at a
// chunk start is changed by two steps, a marker over [4090, 4102) is what the
// next window sees at its front and what reaches the output.
TEST(WindowStream, WritesOfTheStepReachTheNextWindowAndTheOutput) {
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{4096}, std::size_t{4097}, std::size_t{8192},
        std::size_t{8193}, std::size_t{12288}, std::size_t{100000}}) {
    SCOPED_TRACE(size);
    const Bytes input = random_bytes(size, 11);
    MemorySource source(input);
    MemorySink sink;
    Seen seen;
    ASSERT_EQ(run_pass(source, &sink, marking_step(seen), kChunkSize).status,
              PassStatus::kOk);
    const Bytes& output = sink.bytes();
    ASSERT_EQ(output.size(), size);

    // The same writes made on the whole input at absolute offsets, window
    // after window, as the step makes them.
    Bytes expected = input;
    for (std::size_t at = 0; at < size; at += kChunkSize) {
      ++expected[at];
      if (at + kChunkSize < size) ++expected[at + kChunkSize];
      if (at + 4102 <= size) {
        std::fill(expected.begin() + static_cast<std::ptrdiff_t>(at + 4090),
                  expected.begin() + static_cast<std::ptrdiff_t>(at + 4102),
                  static_cast<unsigned char>('A' + (at / kChunkSize) % 26));
      }
    }
    EXPECT_EQ(output, expected);

    // Each window opens with the marker tail its predecessor wrote (here
    // bumped once more at offset 0 by the window's own step).
    for (std::size_t k = 1; k < seen.size(); ++k) {
      if (seen[k - 1].size() < 4102) continue;
      const auto marker = static_cast<unsigned char>('A' + (k - 1) % 26);
      EXPECT_EQ(seen[k][0], static_cast<unsigned char>(marker + 1)) << "window " << k;
      for (std::size_t i = 1; i < 6; ++i) EXPECT_EQ(seen[k][i], marker) << "window " << k;
    }
  }
}

TEST(WindowStream, ReadErrorEndsThePass) {
  const Bytes input = random_bytes(20000);
  // Failing reads after N bytes, including after the very last byte: an
  // error where end of input was due must not pass for end of input.
  constexpr std::size_t kFailAfter[] = {0, 1, 4095, 4096, 8192, 12000, 19999, 20000};
  for (const std::size_t n : kFailAfter) {
    for (const std::size_t block : {kChunkSize, kDefaultReadBlock}) {
      SCOPED_TRACE(::testing::Message() << "fail after " << n << ", block " << block);
      MemorySource source(input, {.short_read = 1000, .fail_after = n});
      MemorySink sink;
      Seen seen;
      const PassResult result = run_pass(source, &sink, recording_step(seen), block);
      EXPECT_EQ(result.status, PassStatus::kReadError);
      EXPECT_EQ(result.bytes, n);
      // What was written is a settled prefix of the input, never the tail
      // of a window that a later step could still have changed.
      const Bytes& out = sink.bytes();
      ASSERT_LE(out.size(), n);
      EXPECT_TRUE(std::equal(out.begin(), out.end(), input.begin()));
      EXPECT_EQ(out.size() % kChunkSize, 0u);
    }
  }
}

TEST(WindowStream, ReadErrorOnEmptyInputIsReported) {
  MemorySource source(Bytes{}, {.fail_after = 0});
  Seen seen;
  EXPECT_EQ(run_pass(source, nullptr, recording_step(seen)).status,
            PassStatus::kReadError);
  EXPECT_TRUE(seen.empty());
}

TEST(WindowStream, WriteErrorEndsThePass) {
  const Bytes input = random_bytes(20000);
  struct Row {
    std::size_t accepted;  // bytes the sink takes before it fails
    PassStatus status;
  };
  const Row rows[] = {
      {0, PassStatus::kWriteError},     {1, PassStatus::kWriteError},
      {4095, PassStatus::kWriteError},  {4096, PassStatus::kWriteError},
      {19999, PassStatus::kWriteError}, {20000, PassStatus::kOk},
      {1u << 20, PassStatus::kOk},
  };
  for (const auto& row : rows) {
    for (const std::size_t block : {kChunkSize, kDefaultReadBlock}) {
      SCOPED_TRACE(::testing::Message()
                   << "accepts " << row.accepted << ", block " << block);
      MemorySource source(input);
      MemorySink sink({.fail_after = row.accepted});
      Seen seen;
      EXPECT_EQ(run_pass(source, &sink, recording_step(seen), block).status, row.status);
      EXPECT_EQ(sink.bytes(),
                Bytes(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                         row.accepted, input.size()))));
    }
  }
}

TEST(WindowStream, EmptyInputWritesNothingAndRunsNoStep) {
  MemorySource source(Bytes{});
  MemorySink sink({.fail_after = 0});  // fails any write of a byte
  Seen seen;
  const PassResult result = run_pass(source, &sink, recording_step(seen));
  EXPECT_EQ(result.status, PassStatus::kOk);
  EXPECT_EQ(result.bytes, 0u);
  EXPECT_TRUE(seen.empty());
  EXPECT_TRUE(sink.bytes().empty());
}

// ---- Pass 2 over the marked windows only ------------------------------------
//
// A stand-in for the conversion step with the same contract: it acts only on
// an anchor "@@" that starts at window offsets 0..4096, blanks from there a
// length that the byte after the anchor chooses (reaching into the
// look-ahead, and over later anchors, at times) and writes the byte before
// the window next to it. A window without an anchor is left as it is, and a
// rewrite never makes one. rewrite_windows over the windows marked for their
// anchors must give the bytes run_pass gives over all of them, and step each
// marked window on the same bytes, with the same byte before it.

struct Visit {
  std::uint64_t offset;
  int before;  // -1: none
  Bytes bytes;
  friend bool operator==(const Visit&, const Visit&) = default;
};

// What a step was given: a window of either pass.
template <typename Window>
Visit visit_of(const Window& w) {
  return Visit{w.offset, w.before ? int{*w.before} : -1,
               Bytes(w.bytes.begin(), w.bytes.end())};
}

bool anchor_step(std::span<unsigned char> window, std::optional<unsigned char> before) {
  bool changed = false;
  for (std::size_t p = 0; p <= kZoneLimit && p + 2 < window.size(); ++p) {
    if (window[p] != '@' || window[p + 1] != '@') continue;
    const std::size_t end =
        std::min(window.size(), p + 2 + std::size_t{window[p + 2]} * 40);
    std::fill(window.begin() + static_cast<std::ptrdiff_t>(p),
              window.begin() + static_cast<std::ptrdiff_t>(end), '.');
    if (p + 1 < window.size()) window[p + 1] = before.value_or('^');
    if (window[p + 1] == '@') window[p + 1] = '.';
    changed = true;
  }
  return changed;
}

struct Designs {
  Bytes streamed;
  Bytes rewritten;
  Bytes in_two;                        // by rewrite_windows_in_two
  std::vector<Visit> streamed_visits;  // of the marked windows only
  std::vector<Visit> rewritten_visits;
  std::vector<Visit> in_two_visits;  // as the two parts gave them out
  std::vector<WindowRun> runs;
  int drops = 0;  // the later part's results dropped
};

Designs run_both(const Bytes& input, std::size_t read_block) {
  Designs d;
  // Pass 1 marks the windows on the input's own bytes.
  WindowRuns marks;
  std::uint64_t window = 0;
  for (std::size_t at = 0; at < input.size(); at += kChunkSize, ++window) {
    const std::string_view front(reinterpret_cast<const char*>(input.data()) + at,
                                 std::min(input.size() - at, kChunkSize + 1));
    if (front.find("@@") != std::string_view::npos) marks.mark_front_of(window);
  }
  window = 0;
  std::optional<unsigned char> before;
  MemorySource source(input);
  MemorySink sink;
  // The stream places each window itself; it must agree with a count of
  // the windows and the byte each step left before the next.
  run_pass(
      source, &sink,
      [&](const PlacedWindow& w) {
        EXPECT_EQ(w.offset, window * kChunkSize);
        EXPECT_EQ(w.before, before);
        d.streamed_visits.push_back(Visit{w.offset, before ? int{*before} : -1,
                                          Bytes(w.bytes.begin(), w.bytes.end())});
        const bool changed = anchor_step(w.bytes, w.before);
        before = w.bytes.size() > kChunkSize ? std::optional(w.bytes[kChunkSize - 1])
                                             : std::nullopt;
        ++window;
        return changed;
      },
      read_block);
  d.streamed = sink.bytes();
  d.runs.assign(marks.runs().begin(), marks.runs().end());
  // Only the windows in the runs are compared: the others did nothing.
  std::erase_if(d.streamed_visits, [&](const Visit& v) {
    return std::none_of(d.runs.begin(), d.runs.end(), [&](const WindowRun& r) {
      return v.offset / kChunkSize >= r.first && v.offset / kChunkSize <= r.last;
    });
  });
  MemoryFile in(input);
  MemoryFile file(input);
  const PassResult result = rewrite_windows(
      in, file, input.size(), marks.runs(),
      [&](const PlacedWindow& w) {
        d.rewritten_visits.push_back(visit_of(w));
        return anchor_step(w.bytes, w.before);
      },
      read_block);
  EXPECT_EQ(result.status, PassStatus::kOk);
  d.rewritten = file.bytes();
  // The same over two threads, the later part holding at most 3 visits
  // until it may give them out.
  MemoryFile halves(input);
  std::vector<Visit> held;
  const LaterRewrite later{[&](const PlacedWindow& w) {
                             held.push_back(visit_of(w));
                             return anchor_step(w.bytes, w.before);
                           },
                           [&] { return held.size() >= 3; },
                           [&] {
                             d.in_two_visits.insert(d.in_two_visits.end(), held.begin(),
                                                    held.end());
                             held.clear();
                           },
                           [&] {
                             held.clear();
                             ++d.drops;
                           }};
  const PassResult in_two = rewrite_windows_in_two(
      in, halves, input.size(), marks.runs(),
      [&](const PlacedWindow& w) {
        d.in_two_visits.push_back(visit_of(w));
        return anchor_step(w.bytes, w.before);
      },
      later, 2, read_block);
  EXPECT_EQ(in_two.status, PassStatus::kOk);
  d.in_two = halves.bytes();
  return d;
}

// `text` placed at the offsets given, in a file of `size` dots and letters.
Bytes with_anchors(std::size_t size,
                   std::vector<std::pair<std::size_t, unsigned char>> at) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<unsigned char>('a' + i % 26);
  for (const auto& [offset, length] : at) {
    bytes[offset] = bytes[offset + 1] = '@';
    bytes[offset + 2] = length;
  }
  return bytes;
}

TEST(RewriteWindows, MarkedWindowsAloneGiveWhatTheStreamGives) {
  struct Row {
    const char* what;
    Bytes input;
    std::vector<WindowRun> runs;
  };
  const std::vector<Row> rows = {
      {"an anchor in a window's look-ahead only",
       with_anchors(30'000, {{3 * 4096 + 100, 3}}),
       {{2, 3}}},
      {"an anchor at offset 4096, the last of a zone",
       with_anchors(30'000, {{4096, 3}}),
       {{0, 1}}},
      {"a rewrite across the chunk boundary blanks the next window's anchor",
       with_anchors(30'000, {{2 * 4096 + 4000, 100}, {3 * 4096 + 500, 9}}),
       {{1, 3}}},
      {"an anchor in the last, short window",
       with_anchors(5 * 4096 + 300, {{5 * 4096 + 100, 7}}),
       {{4, 5}}},
      {"anchors far apart: two runs",
       with_anchors(200'000, {{10, 1}, {150'000, 1}}),
       {{0, 0}, {35, 36}}},
      {"no anchor", with_anchors(20'000, {}), {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Designs d = run_both(row.input, kDefaultReadBlock);
    EXPECT_EQ(d.runs, row.runs);
    EXPECT_EQ(d.rewritten, d.streamed);
    EXPECT_EQ(d.rewritten_visits, d.streamed_visits);
    EXPECT_EQ(d.in_two, d.streamed);
    EXPECT_EQ(d.in_two_visits, d.streamed_visits);
  }
  // Random soups of anchors, every read size: the buffer boundary falls
  // anywhere in a run, and runs of hundreds of windows. Over two threads,
  // the first part's rewrites reach the later part's first window at times,
  // which then steps its windows again.
  std::mt19937 random(7);
  int drops = 0, splits = 0;
  for (int i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    const std::size_t size = random() % 120'000;
    const auto density = static_cast<unsigned>(1 + random() % 3000);
    Bytes input(size);
    for (auto& b : input)
      b = random() % density == 0 ? '@' : static_cast<unsigned char>(random());
    const std::size_t block = kChunkSize * (1 + random() % 8);
    const Designs d = run_both(input, block);
    ASSERT_EQ(d.rewritten, d.streamed);
    ASSERT_EQ(d.rewritten_visits, d.streamed_visits);
    ASSERT_EQ(d.in_two, d.streamed);
    ASSERT_EQ(d.in_two_visits, d.streamed_visits);
    drops += d.drops;
    splits +=
        d.runs.size() > 1 || (d.runs.size() == 1 && d.runs[0].last > d.runs[0].first);
  }
  EXPECT_GT(drops, 0);
  EXPECT_GT(splits - drops, 0);
}

// ---- The first pass over a file, read with pread ----------------------------

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A file in a temporary folder, open for reading, and the bytes it holds.
struct InputFile {
  InputFile(const testing::TempDir& dir, const Bytes& bytes) : path(dir.file("in")) {
    EXPECT_TRUE(testing::write_file(path, text(bytes)));
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~InputFile() { ::close(fd); }
  std::string path;
  int fd;
};

std::vector<Visit> streamed_visits(const Bytes& input) {
  std::vector<Visit> visits;
  MemorySource source(input);
  run_pass(source, nullptr, [&](const PlacedWindow& w) {
    visits.push_back(visit_of(w));
    return false;
  });
  return visits;
}

// 64 KiB blocks: a multiple of every page size, and many blocks per file.
constexpr std::size_t kTestBlock = 16 * kChunkSize;

TEST(ScanFile, StepsTheStreamsWindowsAndCopiesTheFile) {
  constexpr std::size_t kSizes[] = {0,
                                    1,
                                    4095,
                                    4096,
                                    8192,
                                    8193,
                                    kTestBlock - 1,
                                    kTestBlock,
                                    kTestBlock + 1,
                                    kTestBlock + 4096,
                                    kTestBlock + 4097,
                                    3 * kTestBlock + 12'345};
  for (const std::size_t size : kSizes) {
    for (const bool copy : {true, false}) {
      SCOPED_TRACE(::testing::Message() << size << " bytes" << (copy ? ", copied" : ""));
      const Bytes input = random_bytes(size, static_cast<unsigned>(size));
      testing::TempDir dir;
      const InputFile in(dir, input);
      const int out =
          copy ? ::open(dir.file("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644) : -1;
      std::vector<Visit> visits;
      OutputCopy output(in.fd, out);
      const PassResult result = scan_file(
          in.fd, size, copy ? &output : nullptr,
          [&](const ScanWindow& w) { visits.push_back(visit_of(w)); }, kTestBlock);
      EXPECT_EQ(result.status, PassStatus::kOk);
      EXPECT_EQ(result.bytes, size);
      EXPECT_EQ(visits, streamed_visits(input));
      if (copy) {
        EXPECT_TRUE(output.finish());
        ::close(out);
        EXPECT_EQ(testing::read_file(dir.file("out")), text(input));
      }
    }
  }
}

// The file is not the size the pass was told, or shrinks while the pass
// reads it: the count of bytes says so.
TEST(ScanFile, FileOfAnotherSizeIsCountedAsItIs) {
  constexpr std::size_t kSize = 5 * kTestBlock;
  const Bytes input = random_bytes(kSize);
  testing::TempDir dir;
  const InputFile in(dir, input);
  const int out = ::open(dir.file("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  // Told less than the file holds: the read at the end finds more.
  OutputCopy told_less(in.fd, out);
  PassResult result = scan_file(
      in.fd, kSize - 10, &told_less, [](const ScanWindow&) {}, kTestBlock);
  EXPECT_EQ(result.status, PassStatus::kOk);
  EXPECT_EQ(result.bytes, kSize - 9);
  // Cut to 5,000 bytes in the middle of the second block.
  OutputCopy cut(in.fd, out);
  result = scan_file(
      in.fd, kSize, &cut,
      [&](const ScanWindow& w) {
        if (w.offset == kTestBlock + 8192) {
          EXPECT_EQ(::truncate(in.path.c_str(), 5000), 0);
        }
      },
      kTestBlock);
  EXPECT_EQ(result.status, PassStatus::kOk);
  EXPECT_EQ(result.bytes, 5000u);
  ::close(out);
}

// Two threads: the later part steps windows from its start until it is
// full, the merge comes once, after the first part's windows, and the first
// step takes the windows the later part left. Together, the stream's
// windows in its order. With a copy, the split comes once the copy has
// ended (here, while the second block's first window waits for it), halfway
// through what is left, and the output is the input. A file cut short while
// both read is counted as it is.
TEST(ScanFile, TwoThreadsStepTheStreamsWindowsInTwoParts) {
  constexpr std::size_t kNever = SIZE_MAX;
  constexpr std::size_t kSizes[] = {2 * kTestBlock + 1, 4 * kTestBlock,
                                    7 * kTestBlock + 12'345};
  for (const std::size_t size : kSizes) {
    for (const bool copy : {false, true}) {
      for (const std::size_t full_after : {kNever, std::size_t{1}, std::size_t{21}}) {
        SCOPED_TRACE(::testing::Message() << size << " bytes, full after " << full_after
                                          << (copy ? ", copied" : ""));
        const Bytes input = random_bytes(size, static_cast<unsigned>(size));
        testing::TempDir dir;
        const InputFile in(dir, input);
        const int out =
            copy ? ::open(dir.file("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)
                 : -1;
        OutputCopy output(in.fd, out);
        const std::uint64_t resumed = copy ? kTestBlock + kChunkSize : 0;
        const std::uint64_t from =
            (resumed + (size - resumed) / 2) / kTestBlock * kTestBlock;
        const bool split = from > resumed;
        std::vector<Visit> first, later, after_merge;
        int merges = 0;
        const LaterPart part{[&](const ScanWindow& w) { later.push_back(visit_of(w)); },
                             [&] { return later.size() >= full_after; },
                             [&] { ++merges; }};
        const PassResult result = scan_file_in_two(
            in.fd, size, copy ? &output : nullptr,
            [&](const ScanWindow& w) {
              while (copy && w.offset == kTestBlock && !output.copied()) ::usleep(100);
              (merges == 0 ? first : after_merge).push_back(visit_of(w));
            },
            part, 1, kTestBlock);
        EXPECT_EQ(result.status, PassStatus::kOk);
        EXPECT_EQ(result.bytes, size);
        EXPECT_EQ(merges, split ? 1 : 0);
        EXPECT_EQ(later.empty(), !split);
        if (split) {
          EXPECT_EQ(first.back().offset + kChunkSize, from);
        }
        EXPECT_EQ(!split || later.size() < full_after, after_merge.empty());
        std::vector<Visit> all = first;
        all.insert(all.end(), later.begin(), later.end());
        all.insert(all.end(), after_merge.begin(), after_merge.end());
        EXPECT_EQ(all, streamed_visits(input));
        if (copy) {
          EXPECT_TRUE(output.finish());
          ::close(out);
          EXPECT_EQ(testing::read_file(dir.file("out")), text(input));
        }
      }
    }
  }
  // Cut to 5,000 bytes by the later part: one part or the other finds it.
  const Bytes input = random_bytes(6 * kTestBlock);
  testing::TempDir dir;
  const InputFile in(dir, input);
  const LaterPart part{[&](const ScanWindow& w) {
                         if (w.offset == 3 * kTestBlock + 8192) {
                           EXPECT_EQ(::truncate(in.path.c_str(), 5000), 0);
                         }
                       },
                       [] { return false; }, [] {}};
  const PassResult result = scan_file_in_two(
      in.fd, input.size(), nullptr, [](const ScanWindow&) {}, part, 1, kTestBlock);
  EXPECT_EQ(result.status, PassStatus::kOk);
  EXPECT_EQ(result.bytes, 5000u);
}

TEST(ScanFile, OutputThatTakesNoBytesFailsThePass) {
  const Bytes input = random_bytes(3 * kTestBlock);
  testing::TempDir dir;
  const InputFile in(dir, input);
  const int read_only = ::open(in.path.c_str(), O_RDONLY | O_CLOEXEC);
  OutputCopy output(in.fd, read_only);
  const PassResult result = scan_file(
      in.fd, input.size(), &output, [](const ScanWindow&) {}, kTestBlock);
  ::close(read_only);
  EXPECT_EQ(result.status, PassStatus::kWriteError);
}

// Where the kernel will not copy between the two files (another file
// system), the blocks are written from memory.
TEST(ScanFile, OutputOnAnotherFileSystemIsWritten) {
  testing::TempDir dir;
  struct stat here {
  }, shm{};
  if (::stat(dir.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 ||
      here.st_dev == shm.st_dev || ::access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "needs a writable /dev/shm on another file system than "
                 << dir.path();
  }
  const Bytes input = random_bytes(3 * kTestBlock + 77);
  const InputFile in(dir, input);
  char name[] = "/dev/shm/iccdrop-scan-XXXXXX";
  const int out = ::mkstemp(name);
  ASSERT_GE(out, 0);
  OutputCopy output(in.fd, out);
  const PassResult result = scan_file(
      in.fd, input.size(), &output, [](const ScanWindow&) {}, kTestBlock);
  EXPECT_TRUE(output.finish());
  ::close(out);
  EXPECT_EQ(result.status, PassStatus::kOk);
  EXPECT_EQ(testing::read_file(name), text(input));
  ::unlink(name);
}

// Pass 2 writes while the thread may still copy: a write waits until the
// copy has passed it, so the copy never puts the input's bytes back over a
// rewrite. The rewrites here lie ahead of a copy that has just begun and
// has 32 MiB to go.
TEST(ScanFile, WritesWhileTheCopyGoesOnAreNotCopiedOver) {
  const Bytes input = random_bytes(32 << 20);
  testing::TempDir dir;
  const InputFile in(dir, input);
  const int out = ::open(dir.file("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  const Bytes rewrite(10, '#');
  const std::size_t offsets[] = {input.size() / 2, input.size() - 5000,
                                 input.size() - 10};
  Bytes expected = input;
  for (const std::size_t at : offsets)
    std::copy(rewrite.begin(), rewrite.end(), expected.begin() + static_cast<long>(at));
  OutputCopy copy(in.fd, out);
  ASSERT_TRUE(copy.put(0, std::span(input).first(kChunkSize), input.size()));
  CopiedOutput output(out, copy);
  for (const std::size_t at : offsets) EXPECT_TRUE(output.write_at(at, rewrite));
  EXPECT_TRUE(copy.finish());
  ::close(out);
  EXPECT_TRUE(testing::read_file(dir.file("out")) == text(expected));
}

}  // namespace
}  // namespace iccdrop::stream
