// Failure drills for the built binary: writes that fail part-way, an input
// that vanishes or changes between the two passes, outputs that cannot be
// created, inputs far larger than memory or full of near-matches, awkward
// file names and many runs at once. Each drill checks the exit status, the
// message, that no incomplete output is left and that the input is intact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "e2e/pdf_text.h"
#include "e2e/run_iccdrop.h"
#include "support/run_binary.h"

namespace iccdrop::e2e {
namespace {

using testing::list_dir;
using testing::path_exists;
using testing::read_file;
using testing::RunOptions;
using testing::RunResult;
using testing::TempDir;
using testing::write_file;

bool built_with_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// ---- Writes that fail part-way ----------------------------------------------

TEST(FailingWrite, FileSizeLimitStopsTheRunAndRemovesThePartialOutput) {
  // The limit cuts the output inside a block, at a block's end, before the
  // first byte and one byte short; at exactly the input's size all fits.
  struct Row {
    std::uint64_t limit;
    bool fits;
  };
  const std::string input = plain_pdf(1'000'000);
  constexpr Row kRows[] = {{0, false},        {1, false},       {4096, false},
                           {100'003, false},  {262'144, false}, {999'999, false},
                           {1'000'000, true}, {1'000'001, true}};
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.limit);
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), input));
    RunOptions options;
    options.file_size_limit = row.limit;
    const RunResult result = run_iccdrop(dir, {"in.pdf", "out.pdf"}, options);
    EXPECT_EQ(read_file(dir.file("in.pdf")), input);
    if (row.fits) {
      expect_exit(result, 0);
      EXPECT_EQ(result.out, "Output file is out.pdf\n");
      EXPECT_EQ(read_file(dir.file("out.pdf")), input);
    } else {
      expect_exit(result, 1);
      EXPECT_EQ(result.out, "Output file is out.pdf\nout.pdf could not be written\n");
      EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"in.pdf"});
    }
  }
}

TEST(FailingWrite, FullDeviceFailsTheRunAndIsNotRemoved) {
  TempDir dir;
  const std::string input = plain_pdf(3'000'000);
  ASSERT_TRUE(write_file(dir.file("in.pdf"), input));
  const RunResult result = run_iccdrop(dir, {"in.pdf", "/dev/full"});
  expect_exit(result, 1);
  EXPECT_EQ(result.out, "Output file is /dev/full\n/dev/full could not be written\n");
  struct stat info {};
  ASSERT_EQ(::stat("/dev/full", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  EXPECT_EQ(read_file(dir.file("in.pdf")), input);
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"in.pdf"});
}

// ---- Reads that fail ----------------------------------------------------------

TEST(FailingRead, UnreadableOrMisreportedInputStopsTheRunAndRemovesTheOutput) {
  struct Row {
    const char* input;
    const char* message;
  };
  constexpr Row kRows[] = {
      // A regular file whose first read fails (EIO at offset 0).
      {"/proc/self/mem", "/proc/self/mem could not be read\n"},
      // A regular file whose size (0) is not the count of bytes it gives.
      {"/proc/self/status", "/proc/self/status changed while it was read\n"},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.input);
    TempDir dir;
    const RunResult result = run_iccdrop(dir, {row.input, "out.pdf"});
    expect_exit(result, 1);
    EXPECT_EQ(result.out, std::string("Output file is out.pdf\n") + row.message);
    EXPECT_TRUE(list_dir(dir.path()).empty());
  }
}

// ---- The input changes between the passes ----------------------------------
//
// The child is traced and stopped on its way into the second open of the
// input, the one before pass 2; the change is made there, then it goes on.

#if defined(__linux__)
TEST(InputBetweenPasses, ChangeBeforeTheSecondOpenStopsTheRun) {
  struct Row {
    const char* what;
    const char* message;  // after "Output file is out.pdf\n"; empty: success
    void (*change)(const TempDir& dir);
  };
  static const PdfText pdf = convertible_pdf("Cs1", 3, 5000, 20'000);
  const Row rows[] = {
      {"untouched", "", [](const TempDir&) {}},
      {"unlinked", "in.pdf did not open\n",
       [](const TempDir& dir) { ::unlink(dir.file("in.pdf").c_str()); }},
      {"replaced by a dangling symlink", "in.pdf did not open\n",
       [](const TempDir& dir) {
         // A dangling symlink where the file was.
         ::unlink(dir.file("in.pdf").c_str());
         ::symlink("nowhere", dir.file("in.pdf").c_str());
       }},
      {"replaced by another file of the same size", "in.pdf changed while it was read\n",
       [](const TempDir& dir) {
         std::string other = pdf.input;
         other[100] = '#';
         (void)write_file(dir.file("other.pdf"), other);
         ::rename(dir.file("other.pdf").c_str(), dir.file("in.pdf").c_str());
       }},
      {"grown", "in.pdf changed while it was read\n",
       [](const TempDir& dir) {
         (void)write_file(dir.file("in.pdf"), pdf.input + "% appended\n");
       }},
      {"rewritten in place at the same size", "in.pdf changed while it was read\n",
       [](const TempDir& dir) {
         std::string other = pdf.input;
         other[100] = '#';
         (void)write_file(dir.file("in.pdf"), other);
         // A new modification time, whatever the clock's resolution.
         const timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
         ::utimensat(AT_FDCWD, dir.file("in.pdf").c_str(), times, 0);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
    RunOptions options;
    options.traced_path = "in.pdf";
    options.on_open = [&](int nth_open) {
      if (nth_open == 2) row.change(dir);
      return nth_open < 2;
    };
    const RunResult result = run_iccdrop(dir, {"in.pdf", "out.pdf"}, options);
    EXPECT_EQ(result.traced_opens, 2);
    if (*row.message == '\0') {
      expect_exit(result, 0);
      EXPECT_EQ(result.out, "Output file is out.pdf\n" + pdf.messages);
      EXPECT_EQ(read_file(dir.file("out.pdf")), pdf.expected);
    } else {
      expect_exit(result, 1);
      EXPECT_EQ(result.out, std::string("Output file is out.pdf\n") + row.message);
      EXPECT_FALSE(path_exists(dir.file("out.pdf")));
    }
  }
}
#endif

// ---- Outputs that cannot be created -----------------------------------------

TEST(UncreatableOutput, ReadOnlyDirectoryOrAPathThroughAFileIsReported) {
  TempDir dir;
  const PdfText pdf = convertible_pdf("Cs1", 4, 3000, 9000);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.file("locked").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
  ASSERT_TRUE(write_file(dir.file("locked/in.pdf"), pdf.input));
  ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0555), 0);
  // Root writes anywhere: the permission rows then run as an unprivileged
  // user.
  RunOptions as_user;
  if (::geteuid() == 0) as_user.user = 65534;
  struct Row {
    std::vector<std::string> args;
    const char* output;
    const RunOptions& options;
  };
  const RunOptions as_caller;
  const Row rows[] = {
      {{"in.pdf", "locked/out.pdf"}, "locked/out.pdf", as_user},
      {{"locked/in.pdf"}, "locked/in3.pdf", as_user},
      {{"in.pdf", "in.pdf/x.pdf"}, "in.pdf/x.pdf", as_caller},
      {{"in.pdf", "in.pdf/"}, "in.pdf/", as_caller},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.output);
    const RunResult result = run_iccdrop(dir, row.args, row.options);
    expect_exit(result, 1);
    EXPECT_EQ(result.out, std::string("Output file is ") + row.output + "\n" +
                              row.output + " did not open\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in.pdf", "locked"}));
    EXPECT_EQ(list_dir(dir.file("locked")), std::vector<std::string>{"in.pdf"});
    EXPECT_EQ(read_file(dir.file("in.pdf")), pdf.input);
  }
}

// ---- Large and hostile inputs -------------------------------------------------

// Compares a file with `size` zero bytes a block at a time.
::testing::AssertionResult all_zero(const std::string& path, std::uint64_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ::testing::AssertionFailure() << path << " does not open";
  std::vector<char> block(1 << 20);
  const std::vector<char> zeros(block.size(), 0);
  std::uint64_t total = 0;
  while (true) {
    const ssize_t got = ::read(fd, block.data(), block.size());
    if (got <= 0) break;
    if (std::memcmp(block.data(), zeros.data(), static_cast<std::size_t>(got)) != 0) {
      ::close(fd);
      return ::testing::AssertionFailure() << "a non-zero byte near offset " << total;
    }
    total += static_cast<std::uint64_t>(got);
  }
  ::close(fd);
  if (total != size)
    return ::testing::AssertionFailure() << total << " bytes, not " << size;
  return ::testing::AssertionSuccess();
}

// One GiB of NUL bytes is streamed in fixed memory: the peak resident size
// of the child, read at its exit, stays a few MiB (24 MiB with the address
// sanitizer, whose runtime is most of it). It writes 1 GiB to the temporary
// directory; ICCDROP_SKIP_HUGE=1 skips it where that is too slow or large.
TEST(LargeInput, GibibyteOfNulBytesIsStreamedInFixedMemory) {
  if (std::getenv("ICCDROP_SKIP_HUGE") != nullptr)
    GTEST_SKIP() << "ICCDROP_SKIP_HUGE set";
  constexpr std::uint64_t kSize = std::uint64_t{1} << 30;
  TempDir dir;
  {
    const int fd =
        ::open(dir.file("zeros.pdf").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kSize)), 0);  // sparse: no disk used
    ::close(fd);
  }
  RunOptions options;
  options.measure_peak_memory = true;
  // The tracer that reads the peak would stop the leak checker's own tracer.
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.extra_env.push_back(std::string("ASAN_OPTIONS=") +
                              (asan != nullptr ? std::string(asan) + ":" : "") +
                              "detect_leaks=0");
  const RunResult result = run_iccdrop(dir, {"zeros.pdf"}, options);
  expect_exit(result, 0);
  EXPECT_EQ(result.out, "Output file is zeros3.pdf\n");
  EXPECT_TRUE(all_zero(dir.file("zeros3.pdf"), kSize));
  struct stat info {};
  ASSERT_EQ(::stat(dir.file("zeros.pdf").c_str(), &info), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), kSize);
  EXPECT_EQ(info.st_blocks, 0) << "the input was written to";
  // The sanitizer's shadow memory and allocator add a fixed amount.
  const std::uint64_t limit_kib = built_with_address_sanitizer() ? 64 * 1024 : 32 * 1024;
  RecordProperty("peak_memory_kib", std::to_string(result.peak_memory_kib));
  EXPECT_GT(result.peak_memory_kib, 0u);
  EXPECT_LT(result.peak_memory_kib, limit_kib);
}

TEST(HostileInput, NearMatchesEverywhereAreCopiedUnchanged) {
  struct Row {
    const char* what;
    std::string input;
  };
  auto repeat = [](std::string_view unit, std::size_t size) {
    std::string text;
    while (text.size() < size) text += unit;
    text.resize(size);
    return text;
  };
  const std::vector<Row> rows = {
      {"8192 brackets", std::string(8192, '[')},
      {"brackets over many windows", std::string(100'000, '[')},
      {"one long digit run", std::string(50'000, '9')},
      {"numbers and gaps", repeat("1 ", 50'000)},
      {"NUL gaps between numbers", repeat(std::string_view("7\0"
                                                           "0\0",
                                                           4),
                                          40'000)},
      {"name prefixes without numbers", repeat("/Cs", 30'000)},
      {"resource entries only", repeat("/Cs1 7 0 R ", 60'000)},
      {"profiles only", repeat("5 0 obj << /N 3 ", 60'000)},
      {"arrays without facts", repeat("7 0 obj [/ICCBased 5 0 R] ", 60'000)},
      {"anchors without tokens", repeat("/ICCBased", 40'000)},
      {"high bytes", std::string(30'000, '\xff')},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(write_file(dir.file("in.pdf"), row.input));
    const RunResult result = run_iccdrop(dir, {"in.pdf", "out.pdf"});
    expect_exit(result, 0);
    EXPECT_EQ(result.out, "Output file is out.pdf\n");
    EXPECT_EQ(read_file(dir.file("out.pdf")), row.input);
    EXPECT_EQ(read_file(dir.file("in.pdf")), row.input);
  }
}

// ---- Names and many runs -----------------------------------------------------

TEST(FileNames, SpacesQuotesFormatsAndHighBytesArePrintedAsGiven) {
  struct Row {
    const char* input;
    const char* output;  // derived
  };
  constexpr Row kRows[] = {
      {"with spaces .pdf", "with spaces 3.pdf"},
      {"\"double\" and 'single'.pdf", "\"double\" and 'single'3.pdf"},
      {"caf\xc3\xa9 \xe6\x96\x87\xe4\xbb\xb6.pdf",
       "caf\xc3\xa9 \xe6\x96\x87\xe4\xbb\xb6"
       "3.pdf"},
      {"latin1 \xe9\xff.pdf",
       "latin1 \xe9\xff"
       "3.pdf"},
      {"100%s %n %d.pdf", "100%s %n %d3.pdf"},  // printed, never used as a format
      {"-dash.pdf", "-dash3.pdf"},
      {"new\nline.pdf", "new\nline3.pdf"},
      {"back\\slash*?.pdf", "back\\slash*?3.pdf"},
  };
  const PdfText pdf = convertible_pdf("Cs7", 1, 4096, 9000);
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.input);
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file(row.input), pdf.input));
    RunResult result = run_iccdrop(dir, {row.input});
    expect_exit(result, 0);
    EXPECT_EQ(result.out,
              std::string("Output file is ") + row.output + "\n" + pdf.messages);
    EXPECT_EQ(read_file(dir.file(row.output)), pdf.expected);
    EXPECT_EQ(read_file(dir.file(row.input)), pdf.input);
    // The same name as an explicit output is refused as the input itself.
    result = run_iccdrop(dir, {row.input, row.input});
    expect_exit(result, 1);
    EXPECT_EQ(result.out, std::string("Output file is ") + row.input + "\n" + row.input +
                              " is the input file\n");
    EXPECT_EQ(list_dir(dir.path()).size(), 2u);
  }
}

// "f<i>-": the '-' keeps run 1's output «f1-3.pdf» apart from run 13's
// input «f13-.pdf». (Appended rather than "f" + ..., which GCC 12 wrongly
// warns about.)
std::string run_name(int i) {
  std::string name = "f";
  name += std::to_string(i);
  name += '-';
  return name;
}

TEST(ManyRuns, TwoHundredAtOnceEachWriteTheirOwnOutput) {
  constexpr int kRuns = 200;
  TempDir dir;
  std::vector<PdfText> pdfs;
  for (int i = 0; i < kRuns; ++i) {
    // Every component count, arrays on and around the 4096 boundaries, sizes
    // from a few hundred bytes to 40 KB.
    const std::size_t offset = 200 + static_cast<std::size_t>(i) * 181 % 30'000;
    const std::size_t size = offset + 40 + static_cast<std::size_t>(i) * 53 % 10'000;
    pdfs.push_back(convertible_pdf("Cs" + std::to_string(i), i % 6, offset, size));
    ASSERT_TRUE(write_file(dir.file(run_name(i) + ".pdf"), pdfs.back().input));
  }
  RunOptions options;
  options.cwd = dir.path();
  std::vector<testing::Child> children;
  for (int i = 0; i < kRuns; ++i) {
    children.push_back(
        testing::start_program(ICCDROP_BINARY, {run_name(i) + ".pdf"}, options));
    ASSERT_GT(children.back().pid, 0);
  }
  for (int i = 0; i < kRuns; ++i) {
    SCOPED_TRACE(i);
    const RunResult result = testing::wait_program(children[static_cast<std::size_t>(i)]);
    const std::string name = run_name(i);
    expect_exit(result, 0);
    EXPECT_EQ(result.out, "Output file is " + name + "3.pdf\n" +
                              pdfs[static_cast<std::size_t>(i)].messages);
    EXPECT_EQ(read_file(dir.file(name + "3.pdf")),
              pdfs[static_cast<std::size_t>(i)].expected);
    EXPECT_EQ(read_file(dir.file(name + ".pdf")),
              pdfs[static_cast<std::size_t>(i)].input);
  }
  EXPECT_EQ(list_dir(dir.path()).size(), 2u * kRuns);
}

}  // namespace
}  // namespace iccdrop::e2e
