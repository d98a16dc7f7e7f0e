// The hot folder (--watch IN OUT) with real file-system events and real
// files: what is taken and when, where originals and reports go, a kill in
// the middle of a burst and a restart, a graceful stop, and the faults that
// stop a watch from starting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/pdf_text.h"
#include "e2e/run_iccdrop.h"
#include "support/corpus_manifest.h"
#include "support/run_binary.h"
#include "support/tool_messages.h"

namespace iccdrop::e2e {
namespace {

using testing::list_dir;
using testing::read_file;
using testing::RunOptions;
using testing::RunResult;
using testing::TempDir;
using testing::write_file;
using namespace std::chrono_literals;

// Waits up to `limit` for `done`; whether it came.
bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// The regular files of a folder that are no hidden work.
std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const std::string& name : list_dir(folder)) {
    struct stat info {};
    if (name[0] != '.' && ::stat((folder + "/" + name).c_str(), &info) == 0 &&
        S_ISREG(info.st_mode))
      names.push_back(name);
  }
  return names;
}

// A watcher of dir/in into dir/out, its lines in dir/log.
class Watch {
 public:
  Watch(const TempDir& dir, std::vector<std::string> options, RunOptions run = {},
        const std::string& binary = ICCDROP_BINARY, const std::string& log = "log") {
    std::string command = "exec \"$0\" --watch";
    for (const std::string& option : options) command += " " + option;
    command += " in out > " + log;
    run.cwd = dir.path();
    child_ = testing::start_program("/bin/sh", {"-c", command, binary}, run);
    run_ = run;
    // The watch starts its threads once its stop signals are its own (an
    // emulator has a thread or two of its own): stopped after that, it
    // stops cleanly. A watch that fails to start ends first.
    const std::string status = "/proc/" + std::to_string(child_.pid) + "/status";
    EXPECT_TRUE(wait_for([&] {
      const std::string text = read_file(status).value_or("");
      const std::size_t at = text.find("\nThreads:");
      return at == std::string::npos || text.find("State:\tZ") != std::string::npos ||
             std::atoi(text.c_str() + at + 9) >= 3;
    }));
  }
  ~Watch() {
    if (!stopped_) (void)stop(SIGKILL);
  }
  RunResult stop(int signal) {
    ::kill(child_.pid, signal);
    stopped_ = true;
    return testing::wait_program(child_, run_);
  }

 private:
  testing::Child child_;
  RunOptions run_;
  bool stopped_ = false;
};

void make_folders(const TempDir& dir) {
  ASSERT_EQ(::mkdir(dir.file("in").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.file("out").c_str(), 0755), 0);
}

// Puts `bytes` into the watched folder whole: written beside it, then
// renamed in, as the README tells.
void drop(const TempDir& dir, const std::string& name, std::string_view bytes) {
  ASSERT_TRUE(write_file(dir.file(name), bytes));
  ASSERT_EQ(::rename(dir.file(name).c_str(), dir.file("in/" + name).c_str()), 0);
}

// Events or scans alone: a file written in pieces is taken only after its
// last piece; one moved in is taken; a file that is no PDF fails; each
// original leaves IN for done/ or failed/ with its report, which passes the
// schema. Scans alone print JSON lines, events text lines.
class WatchedFolder : public ::testing::TestWithParam<bool> {};

TEST_P(WatchedFolder, CompleteFilesAreTakenAndOriginalsMoveWithTheirReports) {
  const bool scans_alone = GetParam();
  TempDir dir;
  make_folders(dir);
  const PdfText pdf = convertible_pdf("Cs1", 3, 5000, 40'000);
  std::vector<std::string> options{"--settle", "1", "--poll", scans_alone ? "0.2" : "30"};
  if (scans_alone) options.insert(options.end(), {"--scan-only", "--json"});
  Watch watch(dir, options);

  drop(dir, "moved.pdf", pdf.input);
  drop(dir, "text.pdf", "no PDF at all\n");
  // Pieces 0.3 s apart, each written by its own open, as a copy over a
  // network share comes.
  const std::string slow = dir.file("in/slow.pdf");
  for (std::size_t at = 0; at < pdf.input.size(); at += 8000) {
    const int fd = ::open(slow.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    const std::string_view piece = std::string_view(pdf.input).substr(at, 8000);
    ASSERT_EQ(::write(fd, piece.data(), piece.size()),
              static_cast<ssize_t>(piece.size()));
    ::close(fd);
    EXPECT_EQ(read_file(dir.file("out/slow.pdf")), std::nullopt)
        << "taken before its end";
    std::this_thread::sleep_for(300ms);
  }
  ASSERT_TRUE(wait_for([&] {
    return files_in(dir.file("in")).empty() &&
           files_in(dir.file("in/done")).size() == 4 &&
           files_in(dir.file("in/failed")).size() == 2;
  })) << read_file(dir.file("log")).value_or("");
  EXPECT_EQ(files_in(dir.file("in/done")),
            (std::vector<std::string>{"moved.pdf", "moved.pdf.json", "slow.pdf",
                                      "slow.pdf.json"}));
  EXPECT_EQ(files_in(dir.file("in/failed")),
            (std::vector<std::string>{"text.pdf", "text.pdf.json"}));
  for (const char* name : {"moved.pdf", "slow.pdf"}) {
    EXPECT_EQ(read_file(dir.file(std::string("out/") + name)), pdf.expected) << name;
    EXPECT_EQ(read_file(dir.file(std::string("in/done/") + name)), pdf.input) << name;
  }
  EXPECT_EQ(files_in(dir.file("out")),
            (std::vector<std::string>{"moved.pdf", "slow.pdf"}));

  std::string reports;
  for (const char* report :
       {"done/moved.pdf.json", "done/slow.pdf.json", "failed/text.pdf.json"}) {
    const auto text = read_file(dir.file(std::string("in/") + report));
    ASSERT_TRUE(text) << report;
    reports += *text;
    const auto json = nlohmann::json::parse(*text, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << *text;
    const bool failed = std::string_view(report).starts_with("failed");
    EXPECT_EQ(json["status"], failed ? "failed" : "converted") << *text;
    if (failed) {
      EXPECT_EQ(json["error_kind"], "input-not-pdf") << *text;
    }
  }
  const testing::SchemaCheck schema =
      testing::check_reports(ICCDROP_SOURCE_DIR "/docs/report.schema.json", reports);
  EXPECT_EQ(schema.problems, "");
  const std::string log = read_file(dir.file("log")).value_or("");
  if (scans_alone) {
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    EXPECT_NE(log.find("\"error_kind\":\"input-not-pdf\""), std::string::npos) << log;
  } else {
    EXPECT_NE(log.find("in/text.pdf is not a PDF file\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Output file is out/moved.pdf\n" + pdf.messages),
              std::string::npos)
        << log;
  }

  // A name already in done/ is kept: the next original gets a number.
  drop(dir, "moved.pdf", pdf.input);
  ASSERT_TRUE(wait_for([&] { return files_in(dir.file("in/done")).size() == 6; }));
  EXPECT_EQ(read_file(dir.file("in/done/moved-1.pdf")), pdf.input);
  EXPECT_EQ(read_file(dir.file("in/done/moved-1.pdf.json")).has_value(), true);

  const RunResult stopped = watch.stop(SIGTERM);
  expect_exit(stopped, 0);
}

INSTANTIATE_TEST_SUITE_P(, WatchedFolder, ::testing::Bool(), [](const auto& param_info) {
  return param_info.param ? "ScansAlone" : "Events";
});

// The corpus dropped at once, a few copies of each file: every output is
// what a two-name run writes. Two watchers at once killed with SIGKILL in
// the middle, then one stopped with SIGTERM in the middle (exit 0), then let
// finish: after each,
// every original is in IN or in done/ with its output whole, and at the end
// in done/ exactly once.
TEST(WatchFolder, BurstKilledStoppedAndRestartedEndsWithEveryFileDoneOnce) {
  const std::optional<testing::Corpus> corpus = testing::load_corpus(ICCDROP_SHARED_DIR);
  if (!corpus) GTEST_SKIP() << "no corpus at " << ICCDROP_SHARED_DIR << "/corpus";
  constexpr int kCopies = 4;
  TempDir dir;
  make_folders(dir);
  ASSERT_EQ(::mkdir(dir.file("expected").c_str(), 0755), 0);
  std::map<std::string, std::string> inputs;  // dropped name -> the corpus file
  for (const testing::CorpusRow& row : corpus->rows) {
    const std::string path = corpus->real_dir + "/" + row.file();
    const RunResult single =
        testing::run_program(ICCDROP_BINARY, {path, dir.file("expected/" + row.file())});
    ASSERT_EQ(single.exit_status, 0) << row.file();
    for (int copy = 0; copy < kCopies; ++copy)
      inputs[std::to_string(copy) + "-" + row.file()] = row.file();
  }
  for (const auto& [name, file] : inputs)
    drop(dir, name, *read_file(corpus->real_dir + "/" + file));
  std::size_t done = 0;
  for (const int signal : {SIGKILL, SIGTERM, 0}) {
    SCOPED_TRACE(signal);
    Watch watch(dir, {"--settle", "0", "-j", "1"});
    // First, a second watcher of the same folder: neither takes the other's
    // jobs.
    std::optional<Watch> second;
    if (signal == SIGKILL)
      second.emplace(dir, std::vector<std::string>{"--settle", "0"}, RunOptions{},
                     ICCDROP_BINARY, "log2");
    if (signal != 0) {
      // Stopped once some more are done (all of them, on a fast machine).
      ASSERT_TRUE(wait_for([&] {
        return files_in(dir.file("in/done")).size() >=
               std::min(done + 40, 2 * inputs.size());
      }));
      const RunResult result = watch.stop(signal);
      if (second) (void)second->stop(SIGKILL);
      if (signal == SIGKILL) {
        EXPECT_EQ(result.signal, SIGKILL);
      } else {
        expect_exit(result, 0);
      }
    } else {
      ASSERT_TRUE(wait_for([&] { return files_in(dir.file("in")).empty(); }));
      expect_exit(watch.stop(SIGTERM), 0);
    }
    done = files_in(dir.file("in/done")).size();
    for (const auto& [name, file] : inputs) {
      const bool waiting = testing::path_exists(dir.file("in/" + name));
      EXPECT_NE(waiting, testing::path_exists(dir.file("in/done/" + name))) << name;
      if (!waiting) {
        EXPECT_TRUE(read_file(dir.file("out/" + name)) ==
                    read_file(dir.file("expected/" + file)))
            << name;
      }
    }
  }
  std::vector<std::string> expected_done;
  for (const auto& [name, file] : inputs) {
    expected_done.push_back(name);
    expected_done.push_back(name + ".json");
  }
  std::sort(expected_done.begin(), expected_done.end());
  EXPECT_EQ(files_in(dir.file("in/done")), expected_done);
  EXPECT_EQ(files_in(dir.file("in/failed")), std::vector<std::string>{});
  EXPECT_EQ(files_in(dir.file("out")).size(), inputs.size());
}

// What stops a watch before it starts: a message and status 1.
TEST(WatchFolder, FoldersThatCannotServeAreRefused) {
  TempDir dir;
  make_folders(dir);
  ASSERT_TRUE(write_file(dir.file("file"), "x"));
  ASSERT_EQ(::mkdir(dir.file("in/sub").c_str(), 0755), 0);
  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  const Row rows[] = {
      {{"missing", "out"}, "missing did not open\n"},
      {{"file", "out"}, "file is not a folder\n"},
      {{"in", "missing"}, "missing did not open\n"},
      {{"in", "in/sub"}, "in/sub is inside the watched folder\n"},
      {{"in", "in"}, "in is inside the watched folder\n"},
      {{"--done", "file", "in", "out"}, "file is not a folder\n"},
      {{"in"}, ""},  // the usage text
      {{"-j", "0", "in", "out"}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> args{"--watch"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const RunResult result = run_iccdrop(dir, args);
    expect_exit(result, 1);
    if (!row.out.empty()) {
      EXPECT_EQ(result.out, row.out);
    } else {
      EXPECT_TRUE(result.out.starts_with("Usage: ")) << result.out;
    }
  }
}

// A file the watcher may not read fails with its report; a folder it may
// not write to stops the watch. Root reads and writes anything: as root the
// watcher runs as an unprivileged user, from a copy of the binary it can
// reach.
TEST(WatchFolder, UnreadableFileFailsAndAFolderWithoutWriteAccessIsRefused) {
  if (const auto emulator = testing::test_emulator())
    GTEST_SKIP() << "under " << *emulator
                 << " a copy of the binary cannot run as another user";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ASSERT_EQ(::mkdir(dir.file("bin").c_str(), 0755), 0);
  ASSERT_TRUE(copy_binary(dir.file("bin/iccdrop")));
  make_folders(dir);
  ASSERT_EQ(::mkdir(dir.file("locked").c_str(), 0555), 0);
  ASSERT_TRUE(write_file(dir.file("in/secret.pdf"),
                         convertible_pdf("Cs1", 3, 5000, 20'000).input));
  ASSERT_EQ(::chmod(dir.file("in/secret.pdf").c_str(), 0), 0);
  RunOptions as_user;
  as_user.cwd = dir.path();
  if (::geteuid() == 0) {
    as_user.user = 65534;
    for (const char* name : {"in", "out", "locked", "in/secret.pdf"})
      ASSERT_EQ(::chown(dir.file(name).c_str(), 65534, 65534), 0);
  }
  const RunResult refused =
      testing::run_program(dir.file("bin/iccdrop"), {"--watch", "in", "locked"}, as_user);
  expect_exit(refused, 1);
  EXPECT_EQ(refused.out, "locked is not writable\n");

  Watch watch(dir, {"--settle", "0"}, as_user, dir.file("bin/iccdrop"));
  ASSERT_TRUE(wait_for([&] { return files_in(dir.file("in/failed")).size() == 2; }))
      << read_file(dir.file("log")).value_or("");
  expect_exit(watch.stop(SIGTERM), 0);
  EXPECT_EQ(files_in(dir.file("in/failed")),
            (std::vector<std::string>{"secret.pdf", "secret.pdf.json"}));
  EXPECT_EQ(files_in(dir.file("out")), std::vector<std::string>{});
}

}  // namespace
}  // namespace iccdrop::e2e
