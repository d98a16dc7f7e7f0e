// Failure drills for the built binary: writes that fail part-way, an input
// that vanishes or changes between the two passes, outputs that cannot be
// created, inputs far larger than memory or full of near-matches, awkward
// file names and many runs at once. Each drill checks the exit status, the
// message, that no incomplete output is left and that the input is intact.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/pdf_text.h"
#include "e2e/run_iccdrop.h"
#include "support/run_binary.h"
#include "support/tool_messages.h"

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
// The child is traced and stopped where it reads the input for the last
// time: a regular output is written as the input is read once, and a dry
// run reads it once too, so that is the end-of-file read of pass 1. The
// change is made there, then it goes on. The run sees it when it compares
// the input with what it was at the start, after its last read.

#if defined(__linux__)
TEST(InputDuringTheRun, ChangeAfterTheLastReadStopsTheRun) {
  if (const auto why = testing::tracing_unavailable()) GTEST_SKIP() << *why;
  struct Row {
    const char* what;
    const char* message;  // the last line; empty: success
    void (*change)(const TempDir& dir);
    bool output_only = false;  // a change a dry run, which writes nothing, never meets
    const char* input = "in.pdf";  // in a folder «sub», or a link to in.pdf
  };
  static const PdfText pdf = convertible_pdf("Cs1", 3, 5000, 20'000);
  constexpr const char* kChanged = "in.pdf changed while it was read\n";
  const Row rows[] = {
      {"untouched", "", [](const TempDir&) {}},
      {"unlinked", kChanged,
       [](const TempDir& dir) { ::unlink(dir.file("in.pdf").c_str()); }},
      {"replaced by a dangling symlink", kChanged,
       [](const TempDir& dir) {
         ::unlink(dir.file("in.pdf").c_str());
         ::symlink("nowhere", dir.file("in.pdf").c_str());
       }},
      {"replaced by another file of the same size", kChanged,
       [](const TempDir& dir) {
         std::string other = pdf.input;
         other[100] = '#';
         (void)write_file(dir.file("other.pdf"), other);
         ::rename(dir.file("other.pdf").c_str(), dir.file("in.pdf").c_str());
       }},
      {"grown", kChanged,
       [](const TempDir& dir) {
         (void)write_file(dir.file("in.pdf"), pdf.input + "% appended\n");
       }},
      {"rewritten in place at the same size", kChanged,
       [](const TempDir& dir) {
         std::string other = pdf.input;
         other[100] = '#';
         (void)write_file(dir.file("in.pdf"), other);
         // A new modification time, whatever the clock's resolution.
         const timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
         ::utimensat(AT_FDCWD, dir.file("in.pdf").c_str(), times, 0);
       }},
      // The new output can then not be renamed onto its name.
      {"the output's name made a folder", "out.pdf could not be written\n",
       [](const TempDir& dir) { ::mkdir(dir.file("out.pdf").c_str(), 0755); }, true},
      // The file read is unchanged; its name now leads to another.
      {"its folder renamed away and a new file at its name",
       "sub/in.pdf changed while it was read\n",
       [](const TempDir& dir) {
         ::rename(dir.file("sub").c_str(), dir.file("gone").c_str());
         ::mkdir(dir.file("sub").c_str(), 0755);
         (void)write_file(dir.file("sub/in.pdf"), "a new file\n");
       },
       false, "sub/in.pdf"},
      {"the link named as the input re-pointed", "link.pdf changed while it was read\n",
       [](const TempDir& dir) {
         (void)write_file(dir.file("other.pdf"), "a new file\n");
         ::unlink(dir.file("link.pdf").c_str());
         ::symlink("other.pdf", dir.file("link.pdf").c_str());
       },
       false, "link.pdf"},
  };
  enum class Kind { kTwoNames, kDryRun, kInPlace };
  for (const Kind kind : {Kind::kTwoNames, Kind::kDryRun, Kind::kInPlace}) {
    const bool dry_run = kind == Kind::kDryRun, in_place = kind == Kind::kInPlace;
    for (const Row& row : rows) {
      if (in_place && row.output_only) continue;
      SCOPED_TRACE(::testing::Message() << row.what << (dry_run ? ", dry run" : "")
                                        << (in_place ? ", in place" : ""));
      TempDir dir;
      ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
      const std::string input = row.input;
      if (input == "sub/in.pdf") {
        ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
        ASSERT_TRUE(write_file(dir.file(input), pdf.input));
      } else if (input == "link.pdf") {
        ASSERT_EQ(::symlink("in.pdf", dir.file(input).c_str()), 0);
      }
      RunOptions options;
      options.traced_path = input;
      // Pass 1 reads its blocks with pread; then one read meets the end.
      options.on_read = [&](const RunOptions::ReadCall& call) {
        if (call.positioned) return true;
        row.change(dir);
        return false;
      };
      const std::string output = in_place ? input : "out.pdf";
      std::vector<std::string> args{input, output};
      if (dry_run) args.insert(args.begin(), "-n");
      if (in_place) args = {"-i", input};
      const RunResult result = run_iccdrop(dir, args, options);
      const std::string message = dry_run && row.output_only ? "" : row.message;
      const std::string head = "Output file is " + output + "\n";
      if (message.empty()) {
        expect_exit(result, 0);
        EXPECT_EQ(result.out, head + pdf.messages);
      } else {
        expect_exit(result, 1);
        // The conversion's line may come first: the input is compared
        // after the last step.
        EXPECT_TRUE(result.out == head + message ||
                    result.out == head + pdf.messages + message)
            << result.out;
      }
      if (row.output_only) {
        struct stat info {};
        EXPECT_TRUE(::stat(dir.file("out.pdf").c_str(), &info) == 0 &&
                    S_ISDIR(info.st_mode));
        EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in.pdf", "out.pdf"}));
        continue;
      }
      if (in_place) {
        // What the change put at the name stays: never the old file's
        // conversion.
        if (message.empty()) {
          EXPECT_EQ(read_file(dir.file(input)), pdf.expected);
        } else {
          EXPECT_NE(read_file(dir.file(input)), pdf.expected);
        }
        continue;
      }
      EXPECT_EQ(read_file(dir.file("out.pdf")),
                message.empty() && !dry_run ? std::optional<std::string>(pdf.expected)
                                            : std::nullopt);
    }
  }
}
#endif

// ---- Outputs that cannot be created -----------------------------------------

// A folder where no file can be created. The binary is copied into the
// test's folder, so that the unprivileged user can run it wherever the build
// lies.
TEST(UncreatableOutput, ReadOnlyFolderOrAPathThroughAFileIsReported) {
  if (const auto emulator = testing::test_emulator()) {
    GTEST_SKIP() << "under " << *emulator
                 << " the binary is a script that starts the build "
                 << "folder's iccdrop, which a copy cannot carry to another user";
  }
  TempDir dir;
  const PdfText pdf = convertible_pdf("Cs1", 4, 3000, 9000);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.file("bin").c_str(), 0755), 0);
  ASSERT_TRUE(copy_binary(dir.file("bin/iccdrop")));
  ASSERT_EQ(::mkdir(dir.file("locked").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
  ASSERT_TRUE(write_file(dir.file("locked/in.pdf"), pdf.input));
  ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0555), 0);
  // Root writes anywhere: the permission rows then run as an unprivileged
  // user.
  RunOptions as_user;
  as_user.cwd = dir.path();
  if (::geteuid() == 0) as_user.user = 65534;
  RunOptions as_caller;
  as_caller.cwd = dir.path();
  struct Row {
    std::vector<std::string> args;
    const char* output;
    const RunOptions& options;
  };
  const Row rows[] = {
      {{"in.pdf", "locked/out.pdf"}, "locked/out.pdf", as_user},
      {{"locked/in.pdf"}, "locked/in3.pdf", as_user},
      {{"in.pdf", "in.pdf/x.pdf"}, "in.pdf/x.pdf", as_caller},
      {{"in.pdf", "in.pdf/"}, "in.pdf/", as_caller},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.output);
    const RunResult result =
        testing::run_program(dir.file("bin/iccdrop"), row.args, row.options);
    expect_exit(result, 1);
    EXPECT_EQ(result.out, std::string("Output file is ") + row.output + "\n" +
                              row.output + " did not open\n");
    EXPECT_EQ(list_dir(dir.path()),
              (std::vector<std::string>{"bin", "in.pdf", "locked"}));
    EXPECT_EQ(list_dir(dir.file("locked")), std::vector<std::string>{"in.pdf"});
    EXPECT_EQ(read_file(dir.file("in.pdf")), pdf.input);
  }

  // In place over many files, as the same user: a file that fails is
  // reported and the others are converted; a file that is no PDF, where
  // nothing changes, is left as it was.
  {
    const std::string batch = dir.file("batch");
    ASSERT_EQ(::mkdir(batch.c_str(), 0755), 0);
    for (const char* name : {"a.pdf", "b.pdf", "secret.pdf"})
      ASSERT_TRUE(write_file(batch + "/" + name, pdf.input));
    ASSERT_TRUE(write_file(batch + "/text.pdf", "no PDF at all\n"));
    ASSERT_EQ(::mkdir((batch + "/sub").c_str(), 0755), 0);
    if (as_user.user) {
      for (const char* name : {"", "/a.pdf", "/b.pdf", "/secret.pdf", "/text.pdf"})
        ASSERT_EQ(::chown((batch + name).c_str(), *as_user.user, *as_user.user), 0);
    }
    ASSERT_EQ(::chmod((batch + "/secret.pdf").c_str(), 0), 0);
    RunOptions options = as_user;
    options.cwd = batch;
    const RunResult result =
        testing::run_program(dir.file("bin/iccdrop"),
                             {"--in-place", "a.pdf", "missing.pdf", "secret.pdf",
                              "text.pdf", "sub", "../locked/in.pdf", "b.pdf"},
                             options);
    expect_exit(result, 1);
    EXPECT_EQ(result.out, "Output file is a.pdf\n" + pdf.messages +
                              "missing.pdf did not open\n"
                              "secret.pdf did not open\n"
                              "Output file is text.pdf\n"
                              "sub is not a regular file\n"
                              "Output file is ../locked/in.pdf\n"
                              "../locked/in.pdf did not open\n"
                              "Output file is b.pdf\n" +
                              pdf.messages);
    EXPECT_EQ(read_file(batch + "/a.pdf"), pdf.expected);
    EXPECT_EQ(read_file(batch + "/b.pdf"), pdf.expected);
    EXPECT_EQ(read_file(batch + "/text.pdf"), "no PDF at all\n");
    EXPECT_EQ(read_file(dir.file("locked/in.pdf")), pdf.input);
    EXPECT_EQ(list_dir(batch), (std::vector<std::string>{"a.pdf", "b.pdf", "secret.pdf",
                                                         "sub", "text.pdf"}));
    ASSERT_EQ(::chmod((batch + "/secret.pdf").c_str(), 0644), 0);
    EXPECT_EQ(read_file(batch + "/secret.pdf"), pdf.input);
  }

  // An existing, writable output in that folder is written in place; a
  // failed run empties it, as it cannot be removed, and says so.
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "failing write" : "whole run");
    ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0755), 0);
    // Longer than the result, whose end must not keep its tail.
    ASSERT_TRUE(write_file(dir.file("locked/old.pdf"), std::string(40'000, 'e')));
    ASSERT_EQ(::chmod(dir.file("locked/old.pdf").c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0555), 0);
    RunOptions options = as_user;
    if (fails) options.file_size_limit = 4096;
    const RunResult result = testing::run_program(dir.file("bin/iccdrop"),
                                                  {"in.pdf", "locked/old.pdf"}, options);
    const std::string head = "Output file is locked/old.pdf\n";
    if (fails) {
      expect_exit(result, 1);
      EXPECT_EQ(result.out, head +
                                "locked/old.pdf could not be written\n"
                                "locked/old.pdf could not be removed and was emptied\n");
      EXPECT_EQ(read_file(dir.file("locked/old.pdf")), "");
    } else {
      expect_exit(result, 0);
      EXPECT_EQ(result.out, head + pdf.messages);
      EXPECT_EQ(read_file(dir.file("locked/old.pdf")), pdf.expected);
    }
    EXPECT_EQ(list_dir(dir.file("locked")),
              (std::vector<std::string>{"in.pdf", "old.pdf"}));
  }
}

// ---- Shared folders ------------------------------------------------------------
//
// In a sticky, world-writable folder (as /tmp) another user may plant a link
// or a file at the output's name: neither is followed or replaced unless it
// belongs to the folder's owner or to whoever runs the tool. Planting as
// uid 65534 needs root.

TEST(SharedFolder, PlantedLinksAndFilesAreRefusedAndOwnOnesFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "files of another user can be made only by root";
  constexpr uid_t kOther = 65534;
  const PdfText pdf = convertible_pdf("Cs1", 3, 5000, 20'000);
  constexpr std::string_view kSecret = "the test's own file\n";
  struct Row {
    const char* what;
    mode_t folder_mode;
    uid_t folder_owner;
    const char* link_to;  // from shared/; nullptr: a regular file, kFifo: a FIFO
    uid_t owner;          // of what is planted
    const char* output;
    const char* refusal;            // the message after the name; nullptr: converted
    bool through_own_link = false;  // `output` is the runner's link, its text
                                    // the absolute name of shared/out.pdf
  };
  constexpr const char* kLink = " is a link in a shared folder\n";
  constexpr const char* kFile = " belongs to another user in a shared folder\n";
  static constexpr char kFifo[] = "(a FIFO)";
  constexpr Row kRows[] = {
      {"another user's link", 01777, 0, "../keep/secret.pdf", kOther, "shared/out.pdf",
       kLink},
      {"another user's dangling link", 01777, 0, "../keep/new.pdf", kOther,
       "shared/out.pdf", kLink},
      {"another user's link to a folder on the way", 01777, 0, "../keep", kOther,
       "shared/out.pdf/secret.pdf", kLink},
      {"another user's file", 01777, 0, nullptr, kOther, "shared/out.pdf", kFile},
      // Refused before it is opened: an open for writing would wait for a reader.
      {"another user's FIFO", 01777, 0, kFifo, kOther, "shared/out.pdf", kFile},
      // In a folder of another user's, as /tmp is root's to other users.
      {"the runner's own link", 01777, kOther, "../keep/secret.pdf", 0, "shared/out.pdf",
       nullptr},
      {"the runner's own file", 01777, kOther, nullptr, 0, "shared/out.pdf", nullptr},
      {"a link of the folder's owner", 01777, kOther, "../keep/secret.pdf", kOther,
       "shared/out.pdf", nullptr},
      {"a file of the folder's owner", 01777, kOther, nullptr, kOther, "shared/out.pdf",
       nullptr},
      {"a link in a folder without the sticky bit", 0777, 0, "../keep/secret.pdf", kOther,
       "shared/out.pdf", nullptr},
      // An absolute link text: the walk starts again at /.
      {"the runner's absolute link to another user's link", 01777, 0,
       "../keep/secret.pdf", kOther, "mine.pdf", kLink, true},
      {"the runner's absolute link to another user's file", 01777, 0, nullptr, kOther,
       "mine.pdf", kFile, true},
      {"the runner's absolute link to another user's FIFO", 01777, 0, kFifo, kOther,
       "mine.pdf", kFile, true},
      {"the runner's absolute link to a link of the folder's owner", 01777, kOther,
       "../keep/secret.pdf", kOther, "mine.pdf", nullptr, true},
  };
  for (const bool dry_run : {false, true}) {
    for (const Row& row : kRows) {
      SCOPED_TRACE(::testing::Message() << row.what << (dry_run ? ", dry run" : ""));
      TempDir dir;
      ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
      ASSERT_EQ(::mkdir(dir.file("keep").c_str(), 0755), 0);
      ASSERT_TRUE(write_file(dir.file("keep/secret.pdf"), kSecret));
      ASSERT_EQ(::mkdir(dir.file("shared").c_str(), 0700), 0);
      ASSERT_EQ(::chown(dir.file("shared").c_str(), row.folder_owner, row.folder_owner),
                0);
      ASSERT_EQ(::chmod(dir.file("shared").c_str(), row.folder_mode), 0);
      const std::string planted = dir.file("shared/out.pdf");
      const bool fifo = row.link_to == kFifo;
      const bool link = row.link_to != nullptr && !fifo;
      if (link) {
        ASSERT_EQ(::symlink(row.link_to, planted.c_str()), 0);
      } else if (fifo) {
        ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
      } else {
        ASSERT_TRUE(write_file(planted, kSecret));
      }
      ASSERT_EQ(::lchown(planted.c_str(), row.owner, row.owner), 0);
      if (row.through_own_link) {
        ASSERT_EQ(::symlink(planted.c_str(), dir.file(row.output).c_str()), 0);
      }
      std::vector<std::string> args{"in.pdf", row.output};
      if (dry_run) args.insert(args.begin(), "-n");
      const RunResult result = run_iccdrop(dir, args);
      const std::string head = std::string("Output file is ") + row.output + "\n";
      // Where the output is replaced: the file the link leads to, or the
      // planted file itself.
      const std::string written = link ? dir.file("keep/secret.pdf") : planted;
      if (row.refusal != nullptr) {
        expect_exit(result, 1);
        EXPECT_EQ(result.out, head + row.output + row.refusal);
      } else {
        expect_exit(result, 0);
        EXPECT_EQ(result.out, head + pdf.messages);
      }
      if (!fifo) {
        EXPECT_EQ(read_file(written), row.refusal != nullptr || dry_run
                                          ? std::optional<std::string>(kSecret)
                                          : pdf.expected);
      }
      EXPECT_EQ(list_dir(dir.file("keep")), std::vector<std::string>{"secret.pdf"});
      EXPECT_EQ(list_dir(dir.file("shared")), std::vector<std::string>{"out.pdf"});
      struct stat info {};
      ASSERT_EQ(::lstat(planted.c_str(), &info), 0);
      EXPECT_EQ(info.st_uid, row.owner);
      EXPECT_EQ(S_ISLNK(info.st_mode), link);
      EXPECT_EQ(S_ISFIFO(info.st_mode), fifo);
    }
  }
}

// Another user plants a link at the output's name and removes it, in a tight
// loop, while the tool runs on that name again and again: whatever moment
// each run meets, the file the link leads to is never written. With two
// names a run converts into the name or refuses the link, and a dry run
// the same; in place the name is the input, there only as the planted
// link, so every run fails: the input or the output did not open, or the
// link is refused.
TEST(SharedFolder, LinkPlantedAndRemovedDuringTheRunIsNeverWrittenThrough) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "another user's process can be started only by root";
  constexpr uid_t kOther = 65534;
  constexpr int kRuns = 300;  // of each kind, within kTimeCap
  constexpr auto kTimeCap = std::chrono::seconds(4);
  const PdfText pdf = convertible_pdf("Cs1", 3, 5000, 20'000);
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
  ASSERT_EQ(::mkdir(dir.file("keep").c_str(), 0755), 0);
  // Convertible, so that a run in place that reached it would rewrite it.
  const std::string secret = dir.file("keep/secret.pdf");
  ASSERT_TRUE(write_file(secret, pdf.input));
  ASSERT_EQ(::mkdir(dir.file("shared").c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.file("shared").c_str(), 01777), 0);
  const std::string planted = dir.file("shared/out.pdf");

  // The planter counts its links, or records why it could not make one, in
  // memory it shares with the test.
  struct Plants {
    std::atomic<std::int64_t> links;
    std::atomic<int> error;
  };
  static_assert(std::atomic<std::int64_t>::is_always_lock_free);
  void* const memory = ::mmap(nullptr, sizeof(Plants), PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  Plants* const plants = new (memory) Plants{{0}, {0}};
  const pid_t planter = ::fork();
  if (planter == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kOther) != 0 || ::setuid(kOther) != 0) {
      plants->error = errno;
      ::_exit(1);
    }
    while (true) {
      if (::symlink(secret.c_str(), planted.c_str()) == 0) {
        ++plants->links;
      } else if (errno != EEXIST) {  // EEXIST: a run's output is there
        plants->error = errno;
        ::_exit(1);
      }
      ::unlink(planted.c_str());
    }
  }
  ASSERT_GT(planter, 0);
  struct Stop {
    pid_t pid;
    void* memory;
    ~Stop() {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      ::munmap(memory, sizeof(Plants));
    }
  } stop{planter, memory};
  for (int tries = 0; tries < 500 && plants->links == 0 && plants->error == 0; ++tries)
    ::usleep(10'000);
  if (plants->error != 0)
    GTEST_SKIP() << "uid " << kOther << " cannot plant a link in " << dir.file("shared")
                 << ": " << std::strerror(plants->error);

  struct Kind {
    const char* what;
    std::vector<std::string> args;
  };
  const Kind kinds[] = {{"two names", {"in.pdf", "shared/out.pdf"}},
                        {"dry run", {"-n", "in.pdf", "shared/out.pdf"}},
                        {"in place", {"-i", "shared/out.pdf"}}};
  const std::string head = "Output file is shared/out.pdf\n";
  const std::string refused = head + "shared/out.pdf is a link in a shared folder\n";
  const std::string not_open = "shared/out.pdf did not open\n";
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.what);
    const bool in_place = kind.args[0] == "-i";
    const std::int64_t links_before = plants->links;
    int runs = 0, written_through = 0, converted = 0, refusals = 0, failures = 0;
    for (const auto start = std::chrono::steady_clock::now();
         runs < kRuns && std::chrono::steady_clock::now() - start < kTimeCap; ++runs) {
      const RunResult result = run_iccdrop(dir, kind.args);
      if (read_file(secret) != pdf.input) {
        ++written_through;
        ASSERT_TRUE(write_file(secret, pdf.input));
      }
      const bool failed = result.exited && result.exit_status == 1 && result.err.empty();
      if (failed && result.out == refused) {
        ++refusals;
      } else if (failed && in_place &&
                 (result.out == not_open || result.out == head + not_open)) {
        ++failures;
      } else if (!in_place && result.exited && result.exit_status == 0 &&
                 result.out == head + pdf.messages) {
        ++converted;
        // Once a run's output is there, the planter can no longer remove it.
        if (kind.args[0] != "-n") {
          EXPECT_TRUE(read_file(planted) == pdf.expected) << "run " << runs;
        }
      } else {
        ADD_FAILURE() << "run " << runs << ": status " << result.exit_status << ", "
                      << result.out << result.err;
      }
      ::unlink(planted.c_str());
    }
    EXPECT_EQ(written_through, 0)
        << "of " << runs << " runs; " << converted << " converted, " << refusals
        << " refused, " << failures << " failed";
    EXPECT_GT(plants->links, links_before) << "the planter did not run";
    RecordProperty(std::string(kind.what) + " runs", runs);
    RecordProperty(std::string(kind.what) + " refused", refusals);
  }
}

// ---- Killed, cut off or starved: the output's name keeps what it held --------
//
// A regular output is written as a new file and renamed onto its name only
// when complete. Each drill checks what is under the name afterwards: the
// earlier file, unchanged, or nothing, or the whole new output; and that no
// other file was left in the folder.

constexpr std::string_view kEarlier = "an earlier output\n";

// The names in `dir` are exactly `names`, and out.pdf holds `out` (none:
// absent).
void expect_folder(const TempDir& dir, std::vector<std::string> names,
                   const std::optional<std::string>& out) {
  std::sort(names.begin(), names.end());
  EXPECT_EQ(list_dir(dir.path()), names);
  EXPECT_EQ(read_file(dir.file("out.pdf")), out);
}

#if defined(__linux__)
TEST(KilledRun, SignalInEitherPassLeavesTheEarlierOutputOrNothing) {
  if (const auto why = testing::tracing_unavailable()) GTEST_SKIP() << *why;
  // 3 MB: pass 1 maps it in two blocks, then reads at its end.
  static const PdfText pdf = convertible_pdf("Cs1", 3, 5000, 3'000'000);
  struct Row {
    int signal;
    int pass;
  };
  constexpr Row kRows[] = {{SIGTERM, 1}, {SIGINT, 1}, {SIGHUP, 1}, {SIGKILL, 1},
                           {SIGTERM, 2}, {SIGINT, 2}, {SIGHUP, 2}, {SIGKILL, 2}};
  for (const Row& row : kRows) {
    for (const bool earlier : {true, false}) {
      SCOPED_TRACE(::testing::Message()
                   << "signal " << row.signal << " in pass " << row.pass
                   << (earlier ? ", earlier output" : ""));
      TempDir dir;
      ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
      if (earlier) {
        ASSERT_TRUE(write_file(dir.file("out.pdf"), kEarlier));
      }
      // The signal comes on the mapping of pass 1, or on the first
      // pread of pass 2, which reads back the windows it may rewrite.
      bool sent = false;
      RunOptions options;
      options.traced_path = "in.pdf";
      options.on_read = [&](const RunOptions::ReadCall& call) {
        if (call.positioned != (row.pass == 2) || call.nth != 1) return true;
        sent = ::kill(call.child, row.signal) == 0;
        return false;
      };
      const RunResult result = run_iccdrop(dir, {"in.pdf", "out.pdf"}, options);
      EXPECT_TRUE(sent);
      EXPECT_FALSE(result.exited);
      EXPECT_EQ(result.signal, row.signal);
      EXPECT_EQ(result.out, "Output file is out.pdf\n");
      expect_folder(dir,
                    earlier ? std::vector<std::string>{"in.pdf", "out.pdf"}
                            : std::vector<std::string>{"in.pdf"},
                    earlier ? std::optional<std::string>(kEarlier) : std::nullopt);
      EXPECT_EQ(read_file(dir.file("in.pdf")), pdf.input);
    }
  }
}

// Killed while it converts the second of three files in place: the first is
// its new self, the others their old selves, and nothing else is left.
TEST(KilledRun, SignalDuringABatchInPlaceLeavesEveryFileOldOrNew) {
  if (const auto why = testing::tracing_unavailable()) GTEST_SKIP() << *why;
  static const PdfText pdf = convertible_pdf("Cs1", 3, 5000, 3'000'000);
  for (const int signal : {SIGTERM, SIGKILL}) {
    for (const int pass : {1, 2}) {
      SCOPED_TRACE(::testing::Message() << "signal " << signal << " in pass " << pass);
      TempDir dir;
      for (const char* name : {"a.pdf", "b.pdf", "c.pdf"})
        ASSERT_TRUE(write_file(dir.file(name), pdf.input));
      bool sent = false;
      RunOptions options;
      options.traced_path = "b.pdf";
      options.on_read = [&](const RunOptions::ReadCall& call) {
        if (call.positioned != (pass == 2) || call.nth != 1) return true;
        sent = ::kill(call.child, signal) == 0;
        return false;
      };
      const RunResult result =
          run_iccdrop(dir, {"--in-place", "a.pdf", "b.pdf", "c.pdf"}, options);
      EXPECT_TRUE(sent);
      EXPECT_EQ(result.signal, signal);
      EXPECT_EQ(result.out,
                "Output file is a.pdf\n" + pdf.messages + "Output file is b.pdf\n");
      EXPECT_EQ(list_dir(dir.path()),
                (std::vector<std::string>{"a.pdf", "b.pdf", "c.pdf"}));
      EXPECT_EQ(read_file(dir.file("a.pdf")), pdf.expected);
      EXPECT_EQ(read_file(dir.file("b.pdf")), pdf.input);
      EXPECT_EQ(read_file(dir.file("c.pdf")), pdf.input);
    }
  }
}

TEST(KilledRun, InputEditedInPlaceDuringPassTwoIsRefused) {
  if (const auto why = testing::tracing_unavailable()) GTEST_SKIP() << *why;
  // The profile says /N 3 when pass 1 reads it and /N 4 when pass 2 does;
  // the edit keeps the size and puts the modification time back.
  const PdfText pdf = convertible_pdf("Cs1", 3, 2'000'000, 3'000'000);
  std::string edited = pdf.input;
  edited.replace(edited.find("/N 3"), 4, "/N 4");
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
  ASSERT_TRUE(write_file(dir.file("out.pdf"), kEarlier));
  struct stat before {};
  ASSERT_EQ(::stat(dir.file("in.pdf").c_str(), &before), 0);
  RunOptions options;
  options.traced_path = "in.pdf";
  // Pass 1's blocks and pass 2's windows are read with pread; the one read
  // between them meets the end of the input.
  bool pass_two = false;
  options.on_read = [&](const RunOptions::ReadCall& call) {
    if (!call.positioned) pass_two = true;
    if (!call.positioned || !pass_two) return true;
    const int fd = ::open(dir.file("in.pdf").c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(::pwrite(fd, edited.data(), edited.size(), 0),
              static_cast<ssize_t>(edited.size()));
    ::close(fd);
    const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
    ::utimensat(AT_FDCWD, dir.file("in.pdf").c_str(), times, 0);
    return false;
  };
  const RunResult result = run_iccdrop(dir, {"in.pdf", "out.pdf"}, options);
  expect_exit(result, 1);
  EXPECT_EQ(result.out, "Output file is out.pdf\n" + pdf.messages +
                            "in.pdf changed while it was read\n");
  expect_folder(dir, {"in.pdf", "out.pdf"}, std::string(kEarlier));
}
#endif

// The write fails part-way (a file-size limit, a full file system): an
// earlier output, a symlink to it and the file it points to all survive,
// and a whole run replaces the file the link points to, keeping the link
// and the file's mode.
TEST(FailingWrite, EarlierOutputAndItsSymlinkSurviveAndAWholeRunReplacesThem) {
  const PdfText pdf = convertible_pdf("Cs1", 4, 3000, 1'000'000);
  struct Row {
    const char* output;
    const char* link_to;  // nullptr: a regular file; else the target, from the folder
    bool full_disk;       // the link points into a full file system (root)
  };
  // A link in keep/ holds its target's name relative to keep/.
  constexpr Row kRows[] = {{"out.pdf", nullptr, false},
                           {"link.pdf", "keep/out.pdf", false},
                           {"dangling.pdf", "keep/new.pdf", false},
                           {"keep/link.pdf", "keep/out.pdf", false},
                           {"keep/dangling.pdf", "keep/new.pdf", false},
                           {"link.pdf", "keep/out.pdf", true}};
  const mode_t mask = ::umask(0);
  ::umask(mask);
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.output + std::string(row.full_disk ? " on a full disk" : ""));
    for (const bool fails : {true, false}) {
      TempDir dir;
      ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
      ASSERT_EQ(::mkdir(dir.file("keep").c_str(), 0755), 0);
      if (row.full_disk) {
        const std::string options = "size=" + std::to_string(fails ? 64 : 4096) + "k";
        if (::mount("tmpfs", dir.file("keep").c_str(), "tmpfs", 0, options.c_str()) != 0)
          GTEST_SKIP() << "cannot mount a small tmpfs (needs root): "
                       << std::strerror(errno);
      }
      const std::string target =
          dir.file(row.link_to != nullptr ? row.link_to : row.output);
      const std::string_view output = row.output;
      const bool in_keep = output.starts_with("keep/");
      const bool existed = !output.ends_with("dangling.pdf");
      if (existed) {
        ASSERT_TRUE(write_file(target, kEarlier));
        ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
      }
      if (row.link_to != nullptr) {
        ASSERT_EQ(
            ::symlink(row.link_to + (in_keep ? 5 : 0), dir.file(row.output).c_str()), 0);
      }
      RunOptions options;
      if (fails && !row.full_disk) options.file_size_limit = 100'000;
      const RunResult result = run_iccdrop(dir, {"in.pdf", row.output}, options);
      const std::string head = std::string("Output file is ") + row.output + "\n";
      if (fails) {
        expect_exit(result, 1);
        // The output is written as the input is read, before any change.
        EXPECT_EQ(result.out, head + row.output + " could not be written\n");
        EXPECT_EQ(read_file(target),
                  existed ? std::optional<std::string>(kEarlier) : std::nullopt);
      } else {
        expect_exit(result, 0);
        EXPECT_EQ(result.out, head + pdf.messages);
        EXPECT_EQ(read_file(target), pdf.expected);
        struct stat info {};
        ASSERT_EQ(::stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, existed ? 0604u : (0666u & ~mask));
      }
      struct stat link {};
      ASSERT_EQ(::lstat(dir.file(row.output).c_str(), &link), 0);
      EXPECT_EQ(S_ISLNK(link.st_mode), row.link_to != nullptr);
      std::vector<std::string> names{"in.pdf", "keep"};
      if (!in_keep) names.push_back(row.output);
      std::sort(names.begin(), names.end());
      EXPECT_EQ(list_dir(dir.path()), names);
      std::vector<std::string> kept;
      if (row.link_to != nullptr && (existed || !fails)) kept.push_back(row.link_to + 5);
      if (in_keep) kept.emplace_back(output.substr(5));
      std::sort(kept.begin(), kept.end());
      EXPECT_EQ(list_dir(dir.file("keep")), kept);
      if (row.full_disk) ::umount2(dir.file("keep").c_str(), MNT_DETACH);
    }
  }
}

// Standard output is a report: closed, a pipe nobody reads or a full device,
// it changes nothing about the conversion or its status. Closed descriptors
// are never taken by the files.
TEST(StandardStreams, ClosedOrBrokenStreamsDoNotChangeTheConversion) {
  const PdfText pdf = convertible_pdf("Cs1", 3, 5000, 300'000);
  struct Row {
    const char* what;
    const char* redirections;  // for sh; empty: the stdout pipe's reader leaves
  };
  constexpr Row kRows[] = {
      {"stdin and stdout closed", "<&- >&-"},
      {"all three closed", "<&- >&- 2>&-"},
      {"stdout on /dev/full", ">/dev/full"},
      {"stdout a pipe without reader", ""},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
    ASSERT_TRUE(write_file(dir.file("out.pdf"), kEarlier));
    RunOptions options;
    options.cwd = dir.path();
    RunResult result;
    if (*row.redirections == '\0') {
      options.stdout_reader_gone = true;
      result = testing::run_program(ICCDROP_BINARY, {"in.pdf", "out.pdf"}, options);
    } else {
      result = testing::run_program(
          "/bin/sh",
          {"-c", std::string("exec \"$0\" in.pdf out.pdf ") + row.redirections,
           ICCDROP_BINARY},
          options);
    }
    expect_exit(result, 0);
    expect_folder(dir, {"in.pdf", "out.pdf"}, pdf.expected);
  }
}

// '-' for standard input and output: what a pipe gives, to its end, is
// converted; an output pipe whose reader leaves, or a standard output closed
// from the start, fails the run; the temporary copy of the input is gone
// after success, failure and SIGTERM.
TEST(StandardStreams, PipesInAndOutAndTheInputsTemporaryCopy) {
  const PdfText pdf = convertible_pdf("Cs1", 3, 5000, 3'000'000);
  struct Row {
    const char* what;
    const char* script;  // for sh, with $0 the binary; «rc» gets its status
    int status;
    std::string err;      // the lines, on standard error
    std::string written;  // in out.pdf
  };
  const std::string lines = "Output file is -\n" + pdf.messages;
  const Row rows[] = {
      {"pipe in, pipe out", "cat in.pdf | \"$0\" - - > out.pdf; echo $? > rc", 0, lines,
       pdf.expected},
      {"a pipe that ends early",
       "head -c 1000000 in.pdf | \"$0\" - - > out.pdf; echo $? > rc", 0, lines,
       pdf.expected.substr(0, 1'000'000)},
      {"standard input into a named output",
       "\"$0\" - out.pdf < in.pdf > /dev/null; echo $? > rc", 0, "", pdf.expected},
      {"a reader that leaves",
       "{ \"$0\" - - < in.pdf; echo $? > rc; } | head -c 100 > out.pdf", 1,
       lines + "- could not be written\n", pdf.expected.substr(0, 100)},
      {"standard output closed", "\"$0\" - - < in.pdf >&-; echo $? > rc", 1,
       "- did not open\n", ""},
      {"a failing write", "\"$0\" - /dev/full < in.pdf; echo $? > rc", 1, "", ""},
      // A read that fails is no end of the input.
      {"a folder as standard input", "\"$0\" - - < tmp; echo $? > rc", 1,
       "- could not be read\n", ""},
      // A producer that made the pipe non-blocking, its bytes late: waited for.
      {"a non-blocking pipe written late",
       "{ sleep 0.3; cat in.pdf; } | perl -e 'use Fcntl; "
       "fcntl(STDIN, F_SETFL, fcntl(STDIN, F_GETFL, 0) | O_NONBLOCK) or die; exec @ARGV' "
       "\"$0\" - - > out.pdf; echo $? > rc",
       0, lines, pdf.expected},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
    ASSERT_TRUE(write_file(dir.file("out.pdf"), ""));
    ASSERT_EQ(::mkdir(dir.file("tmp").c_str(), 0700), 0);
    RunOptions options;
    options.cwd = dir.path();
    options.extra_env.push_back("TMPDIR=" + dir.file("tmp"));
    const RunResult result =
        testing::run_program("/bin/sh", {"-c", row.script, ICCDROP_BINARY}, options);
    EXPECT_EQ(read_file(dir.file("rc")), std::to_string(row.status) + "\n");
    EXPECT_EQ(result.err, row.err);
    EXPECT_TRUE(read_file(dir.file("out.pdf")) == row.written);
    EXPECT_EQ(list_dir(dir.file("tmp")), std::vector<std::string>{});
  }

  // SIGTERM while the input is copied: the copy is open in TMPDIR, then gone.
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("tmp").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const int writer = ::open(dir.file("fifo").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, pdf.input.data(), 4096), 4096);
  RunOptions options;
  options.cwd = dir.path();
  options.extra_env.push_back("TMPDIR=" + dir.file("tmp"));
  testing::Child child = testing::start_program(
      "/bin/sh", {"-c", "exec \"$0\" - out.pdf < fifo", ICCDROP_BINARY}, options);
  const auto copying = [&] {
    const std::string fds = "/proc/" + std::to_string(child.pid) + "/fd";
    for (const std::string& fd : list_dir(fds)) {
      char target[4096];
      const ssize_t n = ::readlink((fds + "/" + fd).c_str(), target, sizeof target);
      if (n > 0 && std::string_view(target, static_cast<std::size_t>(n))
                       .starts_with(dir.file("tmp") + "/"))
        return true;
    }
    return false;
  };
  bool seen = false;
  for (int tries = 0; tries < 6000 && !(seen = copying()); ++tries) ::usleep(10'000);
  EXPECT_TRUE(seen) << "no copy of the input in TMPDIR";
  ::kill(child.pid, SIGTERM);
  const RunResult killed = testing::wait_program(child, options);
  ::close(writer);
  EXPECT_EQ(killed.signal, SIGTERM);
  EXPECT_EQ(list_dir(dir.file("tmp")), std::vector<std::string>{});
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"fifo", "tmp"}));
}

// A reader of the output FIFO that leaves: the write fails and is reported.
// One that reads to the end gets the whole output, streamed.
TEST(FailingWrite, FifoReaderThatLeavesIsReportedAndOneThatStaysGetsTheOutput) {
  for (const bool stays : {false, true}) {
    SCOPED_TRACE(stays ? "reader stays" : "reader leaves");
    // Where the reader leaves, nothing changes: no line races its leaving.
    const std::string plain = plain_pdf(3'000'000);
    const PdfText pdf =
        stays ? convertible_pdf("Cs1", 3, 5000, 3'000'000) : PdfText{plain, plain, ""};
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
    ASSERT_EQ(::mkfifo(dir.file("pipe.pdf").c_str(), 0644), 0);
    const int reader =
        ::open(dir.file("pipe.pdf").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    RunOptions options;
    options.cwd = dir.path();
    testing::Child child =
        testing::start_program(ICCDROP_BINARY, {"in.pdf", "pipe.pdf"}, options);
    // Once bytes arrive the writer has the FIFO open.
    pollfd ready{reader, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 60'000), 1);
    std::string got;
    if (stays) {
      ASSERT_EQ(::fcntl(reader, F_SETFL, 0), 0);
      char block[65536];
      for (ssize_t n; (n = ::read(reader, block, sizeof block)) > 0;)
        got.append(block, static_cast<std::size_t>(n));
    }
    ::close(reader);
    const RunResult result = testing::wait_program(child, options);
    const std::string head = "Output file is pipe.pdf\n";
    if (stays) {
      expect_exit(result, 0);
      EXPECT_EQ(result.out, head + pdf.messages);
      EXPECT_TRUE(got == pdf.expected) << got.size() << " bytes read";
    } else {
      expect_exit(result, 1);
      EXPECT_EQ(result.out, head + "pipe.pdf could not be written\n");
    }
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("pipe.pdf").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
  }
}

// Too little memory for the registry: "Out of memory", status 1, and the
// earlier output untouched. The limit that starves this file is found by
// trying: each run either completes, or fails this way, or cannot start.
TEST(StarvedRun, AllocationFailureEndsTheRunLikeAnyOtherFailure) {
  if (built_with_address_sanitizer())
    GTEST_SKIP() << "the address sanitizer reserves more address space than any limit";
  if (const auto emulator = testing::test_emulator())
    GTEST_SKIP() << "the address-space limit would bind " << *emulator << ", not iccdrop";
  std::string input = "%PDF-1.4\n";
  PdfText expected;
  for (int i = 0; i < 100'000; ++i) {
    const int object = 10 + 2 * i;
    input += "/Cs" + std::to_string(i) + " " + std::to_string(object) + " 0 R\n" +
             std::to_string(object + 1) + " 0 obj << /N 1 >> endobj\n" +
             std::to_string(object) + " 0 obj [/ICCBased " + std::to_string(object + 1) +
             " 0 R] endobj\n";
  }
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("in.pdf"), input));
  // The dry run scans the file (9 MiB) with two threads: an allocation that
  // fails in the second ends the run the same way. From 8 MiB: below, the
  // program and its libraries leave too little for the C++ runtime's own
  // reserve, and the first failed allocation cannot even be thrown.
  for (const bool dry : {false, true}) {
    SCOPED_TRACE(dry ? "dry run" : "copied");
    int starved = 0, starved_json = 0;
    const std::vector<std::string> args =
        dry ? std::vector<std::string>{"--dry-run", "in.pdf", "out.pdf"}
            : std::vector<std::string>{"in.pdf", "out.pdf"};
    for (std::uint64_t mib = 8; mib <= 40; mib += 2) {
      SCOPED_TRACE(::testing::Message() << mib << " MiB");
      ASSERT_TRUE(write_file(dir.file("out.pdf"), kEarlier));
      RunOptions options;
      options.address_space_limit = mib << 20;
      // --json under the same limit, where it starves too: its word.
      std::vector<std::string> json_args = args;
      json_args.insert(json_args.begin(), "--json");
      const RunResult json = run_iccdrop(dir, json_args, options);
      if (json.exited && json.exit_status == 1 && !json.out.empty()) {
        const auto reports = testing::parse_reports(json.out);
        EXPECT_TRUE(reports && reports->size() == 1 &&
                    (*reports)[0]["error_kind"] == "out-of-memory")
            << json.out;
        ++starved_json;
      }
      ASSERT_TRUE(write_file(dir.file("out.pdf"), kEarlier));
      const RunResult result = run_iccdrop(dir, args, options);
      ASSERT_TRUE(result.exited);
      if (result.exit_status == 0) {
        if (!dry) {
          EXPECT_EQ(read_file(dir.file("out.pdf"))->size(), input.size());
        }
        break;
      }
      if (result.exit_status == 1) {
        EXPECT_EQ(result.out, "Output file is out.pdf\nOut of memory\n");
        ++starved;
      }  // otherwise the loader could not map the program
      expect_folder(dir, {"in.pdf", "out.pdf"}, std::string(kEarlier));
    }
    EXPECT_GT(starved, 0) << "no limit starved the run";
    EXPECT_GT(starved_json, 0) << "no limit starved the run with --json";
  }
}

// Runs onto one output name at once: each output is whole, and the one
// that stays is one of them, never a mixture.
TEST(ManyRuns, RunsOntoOneOutputLeaveOneWholeOutput) {
  const PdfText a = convertible_pdf("Cs1", 3, 5000, 2'000'000);
  const PdfText b = convertible_pdf("Cs2", 4, 900'000, 2'000'000);
  for (int attempt = 0; attempt < 10; ++attempt) {
    SCOPED_TRACE(attempt);
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("a.pdf"), a.input));
    ASSERT_TRUE(write_file(dir.file("b.pdf"), b.input));
    RunOptions options;
    options.cwd = dir.path();
    testing::Child first =
        testing::start_program(ICCDROP_BINARY, {"a.pdf", "out.pdf"}, options);
    testing::Child second =
        testing::start_program(ICCDROP_BINARY, {"b.pdf", "out.pdf"}, options);
    expect_exit(testing::wait_program(first), 0);
    expect_exit(testing::wait_program(second), 0);
    const auto out = read_file(dir.file("out.pdf"));
    EXPECT_TRUE(out == a.expected || out == b.expected) << "a mixture of both runs";
    EXPECT_EQ(list_dir(dir.path()),
              (std::vector<std::string>{"a.pdf", "b.pdf", "out.pdf"}));
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
  if (const auto why = testing::tracing_unavailable()) GTEST_SKIP() << *why;
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
      {"#23 hash.pdf", "#23 hash3.pdf"},
  };
  const PdfText pdf = convertible_pdf("Cs7", 1, 4096, 9000);
  // A colour space named with a quote, a backslash, a line end and a '#'
  // as the file spells them («#0A», «#23») and a byte 0xE9, which --all
  // converts and --json gives as the file spells it, 0xE9 written #E9.
  const PdfText awkward = convertible_pdf("CS\"\\#0A\xe9#23", 1, 4096, 9000);
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
    // The JSON line parses and gives back the bytes of both names.
    ASSERT_TRUE(write_file(dir.file(row.input), awkward.input));
    result = run_iccdrop(dir, {"--json", "--all", row.input});
    expect_exit(result, 0);
    const auto reports = testing::parse_reports(result.out);
    ASSERT_TRUE(reports && reports->size() == 1) << result.out;
    EXPECT_EQ(testing::file_name_in(reports->front(), "input"), row.input);
    EXPECT_EQ(testing::file_name_in(reports->front(), "output"), row.output);
    ASSERT_EQ(reports->front()["changes"].size(), 1u);
    EXPECT_EQ(reports->front()["changes"][0]["name"], "CS\"\\#0A#E9#23");
    EXPECT_EQ(read_file(dir.file(row.output)), awkward.expected);
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

// ---- The report for programs ------------------------------------------------

// In a sticky, world-writable folder shared/, another user's link or file
// at out.pdf.
void plant(const TempDir& dir, bool link) {
  ASSERT_EQ(::mkdir(dir.file("shared").c_str(), 01777), 0);
  ASSERT_EQ(::chmod(dir.file("shared").c_str(), 01777), 0);
  const std::string planted = dir.file("shared/out.pdf");
  if (link) {
    ASSERT_EQ(::symlink("../in.pdf", planted.c_str()), 0);
  } else {
    ASSERT_TRUE(write_file(planted, kEarlier));
  }
  ASSERT_EQ(::lchown(planted.c_str(), 65534, 65534), 0);
}

// Every failure message of the drills and the command line, and the note
// after one, with --json: exit status 1, a line a file that says what the
// text says, the message's word as error_kind (the note's as note_kind),
// all passing the schema.
TEST(JsonReport, EveryFailureMessageHasItsKind) {
  const PdfText pdf = convertible_pdf("Cs1", 3, 3000, 9000);
  struct Row {
    const char* kind;
    std::vector<std::string> args;  // after --json; or sh -c's script
    std::string text;               // the text's lines; "%M" the conversion's
    void (*setup)(const TempDir& dir) = nullptr;
    std::optional<std::uint64_t> file_size_limit = std::nullopt;
    const char* note_kind = nullptr;  // run as uid 65534 where root
    bool planted = false;             // needs root to plant another user's file
  };
  const std::vector<Row> rows = {
      {"input-did-not-open", {"missing.pdf"}, "missing.pdf did not open\n"},
      {"input-did-not-open",
       {"--in-place", "in.pdf", "missing.pdf"},
       "Output file is in.pdf\n%Mmissing.pdf did not open\n"},
      {"input-not-regular", {"sub", "out.pdf"}, "sub is not a regular file\n"},
      {"output-did-not-open",
       {"in.pdf", "sub/missing/out.pdf"},
       "Output file is sub/missing/out.pdf\nsub/missing/out.pdf did not open\n"},
      {"output-did-not-open",
       {"-c", "exec \"$0\" --json - - <in.pdf 2>&1 >&-"},
       "- did not open\n"},
      {"output-is-input",
       {"in.pdf", "in.pdf"},
       "Output file is in.pdf\nin.pdf is the input file\n"},
      {"link-in-shared-folder",
       {"in.pdf", "shared/out.pdf"},
       "Output file is shared/out.pdf\nshared/out.pdf is a link in a shared folder\n",
       [](const TempDir& dir) { plant(dir, true); },
       std::nullopt,
       nullptr,
       true},
      {"other-users-file-in-shared-folder",
       {"in.pdf", "shared/out.pdf"},
       "Output file is shared/out.pdf\n"
       "shared/out.pdf belongs to another user in a shared folder\n",
       [](const TempDir& dir) { plant(dir, false); },
       std::nullopt,
       nullptr,
       true},
      {"input-not-read",
       {"/proc/self/mem", "out.pdf"},
       "Output file is out.pdf\n/proc/self/mem could not be read\n"},
      {"input-not-read",
       {"-c", "exec \"$0\" --json - out.pdf <sub"},
       "- could not be read\n"},
      {"output-not-written",
       {"in.pdf", "out.pdf"},
       "Output file is out.pdf\nout.pdf could not be written\n",
       nullptr,
       4096},
      {"output-not-written",
       {"in.pdf", "locked/old.pdf"},
       "Output file is locked/old.pdf\nlocked/old.pdf could not be written\n"
       "locked/old.pdf could not be removed and was emptied\n",
       [](const TempDir& dir) {
         ASSERT_EQ(::mkdir(dir.file("locked").c_str(), 0755), 0);
         ASSERT_TRUE(write_file(dir.file("locked/old.pdf"), std::string(40'000, 'e')));
         ASSERT_EQ(::chmod(dir.file("locked/old.pdf").c_str(), 0666), 0);
         ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0555), 0);
       },
       4096,
       "output-emptied"},
      {"input-changed",
       {"/proc/self/status", "out.pdf"},
       "Output file is out.pdf\n/proc/self/status changed while it was read\n"},
  };  // Out of memory: StarvedRun's drill.
  std::string lines;
  std::vector<std::string> skipped;
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.kind << " " << row.args.back());
    const bool other_user = row.note_kind != nullptr;
    if ((row.planted && ::geteuid() != 0) || (other_user && testing::test_emulator())) {
      skipped.push_back(row.kind);
      continue;
    }
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    if (row.setup != nullptr) row.setup(dir);
    RunOptions options;
    options.cwd = dir.path();
    options.file_size_limit = row.file_size_limit;
    std::string binary = ICCDROP_BINARY;
    if (other_user) {  // a copy the other user can run
      ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
      binary = dir.file("iccdrop");
      ASSERT_TRUE(copy_binary(binary));
      if (::geteuid() == 0) options.user = 65534;
    }
    std::vector<std::string> args = row.args;
    const bool script = args.front() == "-c";
    args.insert(script ? args.end() : args.begin(), script ? binary : "--json");
    const RunResult result =
        testing::run_program(script ? "/bin/sh" : binary, args, options);
    expect_exit(result, 1);
    const auto reports = testing::parse_reports(result.out);
    ASSERT_TRUE(reports && !reports->empty()) << result.out;
    std::string said;
    for (const auto& report : *reports) said += testing::report_lines(report);
    std::string text = row.text;
    if (const auto at = text.find("%M"); at != std::string::npos)
      text.replace(at, 2, pdf.messages);
    EXPECT_EQ(said, text);
    EXPECT_EQ(reports->back()["status"], "failed");
    EXPECT_EQ(reports->back()["error_kind"], row.kind);
    EXPECT_EQ(reports->back().value("note_kind", ""), other_user ? row.note_kind : "");
    lines += result.out;
  }
  const testing::SchemaCheck schema =
      testing::check_reports(ICCDROP_SOURCE_DIR "/docs/report.schema.json", lines);
  EXPECT_EQ(schema.problems, "");
  if (schema.skipped) skipped.push_back(*schema.skipped);
  if (!skipped.empty())
    GTEST_SKIP() << "not checked: " << ::testing::PrintToString(skipped);
}

}  // namespace
}  // namespace iccdrop::e2e
