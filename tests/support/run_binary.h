// Running a program the way a user does, for the end-to-end tests: a
// temporary directory, files read and written whole, and a child process with
// its standard output and error captured and its exit status. Optional
// tracing stops the child at chosen moments (an open of a given path, its
// exit) so that faults can be arranged without timing.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iccdrop::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `name` joined to the directory: file("a.pdf") is "<dir>/a.pdf".
  std::string file(std::string_view name) const;

 private:
  std::string path_;
};

// The whole content of a file, or none when it cannot be read.
[[nodiscard]] std::optional<std::string> read_file(const std::string& path);
// Creates or replaces a file; false on any failure.
[[nodiscard]] bool write_file(const std::string& path, std::string_view bytes);
// True when the name exists, as anything (a dangling symlink counts).
[[nodiscard]] bool path_exists(const std::string& path);
// The names in a directory, sorted, without "." and "..".
[[nodiscard]] std::vector<std::string> list_dir(const std::string& path);

struct RunOptions {
  std::string cwd;                                   // empty: the caller's
  std::optional<std::uint64_t> file_size_limit;      // RLIMIT_FSIZE bytes
  std::optional<std::uint64_t> address_space_limit;  // RLIMIT_AS bytes
  bool stdout_reader_gone = false;     // the child's stdout: a pipe nobody reads
  std::optional<uid_t> user;           // run as this uid and gid (needs root)
  std::vector<std::string> extra_env;  // "NAME=value", added or replacing
  std::chrono::seconds timeout{600};   // the child is killed after this
  // Tracing (ptrace). With measure_peak_memory the child's VmHWM is read
  // when it exits. With on_open set, on_open(n) runs when the child is about
  // to open `traced_path` for the n-th time (1-based), before the open.
  bool measure_peak_memory = false;
  std::string traced_path;
  // on_open returns whether to go on watching; once it says no, the child
  // runs on untraced (or only to its exit, with measure_peak_memory).
  std::function<bool(int nth_open)> on_open;
  // on_read runs when the child is about to read (read, pread, or mmap of a
  // file, which reads a block by mapping it) since its first open of
  // `traced_path`; it may signal the child. Returns whether to go on
  // watching, as on_open does.
  struct ReadCall {
    int nth;          // 1-based, counted for each kind apart
    bool positioned;  // pread; read and mmap count together
    pid_t child;
  };
  std::function<bool(const ReadCall& call)> on_read;
};

struct RunResult {
  bool exited = false;                // ended by exit(); otherwise by a signal
  int exit_status = -1;               // when exited
  int signal = 0;                     // when not exited
  bool timed_out = false;             // killed after RunOptions::timeout
  std::string out;                    // standard output
  std::string err;                    // standard error
  std::uint64_t peak_memory_kib = 0;  // VmHWM, with measure_peak_memory
  int traced_opens = 0;               // opens of traced_path seen
  int traced_reads = 0;               // reads seen after the first of them
  int traced_preads = 0;              // and preads
};

// A started child; finish it with wait_program().
struct Child {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;
};

// Why a traced run (measure_peak_memory, on_open, on_read) cannot work here,
// or none when it can: under a user-mode emulator (qemu-user runs the tests
// of a cross build) ptrace is not emulated and a traced child never gets
// going; ICCDROP_NO_PTRACE set in the environment says the same for other
// places. Tests that trace skip with this reason; a traced run started
// anyway fails at once.
[[nodiscard]] std::optional<std::string> tracing_unavailable();

// The emulator the tests and the binary run under (the words of
// CMAKE_CROSSCOMPILING_EMULATOR), or none when they run natively. Limits set
// on the child, such as RLIMIT_AS, then bind the emulator rather than iccdrop.
[[nodiscard]] std::optional<std::string> test_emulator();

// Starts `program` with `args` (argv[1]...). Untraced only.
[[nodiscard]] Child start_program(const std::string& program,
                                  const std::vector<std::string>& args,
                                  const RunOptions& options = {});
RunResult wait_program(Child& child, const RunOptions& options = {});

// Runs `program` to its end.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

}  // namespace iccdrop::testing
