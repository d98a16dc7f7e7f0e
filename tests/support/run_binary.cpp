#include "support/run_binary.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace iccdrop::testing {
namespace {

int make_writable(const char* path, const struct stat* info, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DNR) ::chmod(path, info->st_mode | S_IRWXU);
  return 0;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Reads both pipes to their end.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = (out_fd >= 0) + (err_fd >= 0);
  char buffer[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

// Kills the child once the timeout passes, unless stopped first. A pidfd
// names the process itself, so a recycled pid is never hit.
class Watchdog {
 public:
  Watchdog(pid_t pid, std::chrono::seconds timeout)
      : pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))),
        thread_([this, timeout] {
          std::unique_lock lock(mutex_);
          if (!done_cv_.wait_for(lock, timeout, [this] { return done_; })) {
            fired_ = true;
            if (pidfd_ >= 0)
              ::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
          }
        }) {}
  ~Watchdog() { stop(); }

  // Returns whether it fired.
  bool stop() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    close_fd(pidfd_);
    return fired_;
  }

 private:
  int pidfd_;
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

std::uint64_t read_peak_memory_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// True when the child's string at `address` is `path`.
bool child_string_is(pid_t pid, std::uint64_t address, const std::string& path) {
  std::string buffer(path.size() + 1, '\xff');
  iovec local{buffer.data(), buffer.size()};
  iovec remote{reinterpret_cast<void*>(address), buffer.size()};
  if (::process_vm_readv(pid, &local, 1, &remote, 1, 0) !=
      static_cast<ssize_t>(buffer.size())) {
    return false;
  }
  return buffer.compare(0, path.size(), path) == 0 && buffer.back() == '\0';
}

// Follows a child stopped at its exec under PTRACE_TRACEME until it ends.
void trace(pid_t pid, const RunOptions& options, RunResult& result, int& status) {
  bool watch_opens = static_cast<bool>(options.on_open);
  bool watch_reads = static_cast<bool>(options.on_read);
  bool opened = false;  // reads count from the first open of traced_path
  long trace_options = PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD;
  if (options.measure_peak_memory) trace_options |= PTRACE_O_TRACEEXIT;
  ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(trace_options));
  bool attached = true;
  int deliver = 0;
  while (true) {
    const bool syscalls = watch_opens || watch_reads;
    if (attached) {
      ::ptrace(syscalls ? PTRACE_SYSCALL : PTRACE_CONT, pid, nullptr,
               reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    deliver = 0;
    if (::waitpid(pid, &status, 0) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) return;
    const int signal = WSTOPSIG(status);
    if (signal == (SIGTRAP | 0x80)) {
      __ptrace_syscall_info info{};
      ::ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void*>(sizeof info), &info);
      if (info.op != PTRACE_SYSCALL_INFO_ENTRY) continue;
      std::uint64_t path_arg = 0;
      const bool maps_a_file =
          info.entry.nr == SYS_mmap && static_cast<int>(info.entry.args[4]) >= 0;
      if (info.entry.nr == SYS_read || info.entry.nr == SYS_pread64 || maps_a_file) {
        if (!opened || !watch_reads) continue;
        const bool positioned = info.entry.nr == SYS_pread64;
        int& count = positioned ? result.traced_preads : result.traced_reads;
        watch_reads = options.on_read(RunOptions::ReadCall{++count, positioned, pid});
      } else {
        if (info.entry.nr == SYS_openat) {
          path_arg = info.entry.args[1];
#ifdef SYS_open
        } else if (info.entry.nr == SYS_open) {
          path_arg = info.entry.args[0];
#endif
        } else {
          continue;
        }
        if (!child_string_is(pid, path_arg, options.traced_path)) continue;
        opened = true;
        ++result.traced_opens;
        if (watch_opens) watch_opens = options.on_open(result.traced_opens);
      }
      if (!watch_opens && !watch_reads && !options.measure_peak_memory) {
        ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
        attached = false;
      }
    } else if (signal == SIGTRAP && (status >> 16) == PTRACE_EVENT_EXIT) {
      result.peak_memory_kib = read_peak_memory_kib(pid);
    } else if (signal == SIGTRAP && (status >> 16) != 0) {
      // another ptrace event: nothing to deliver
    } else {
      deliver = signal;  // a real signal for the child
    }
  }
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/iccdrop-e2e-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  ::nftw(path_.c_str(), make_writable, 16, FTW_PHYS);
  ::nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::file(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(content).str();
}

bool write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

bool path_exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> test_emulator() {
#if defined(ICCDROP_TEST_EMULATOR)
  return ICCDROP_TEST_EMULATOR;
#else
  return std::nullopt;
#endif
}

std::optional<std::string> tracing_unavailable() {
  if (const std::optional<std::string> emulator = test_emulator()) {
    return "the tests run under " + *emulator + ", which does not emulate ptrace";
  }
  if (std::getenv("ICCDROP_NO_PTRACE") != nullptr) {
    return "ICCDROP_NO_PTRACE set: the child cannot be traced here";
  }
  return std::nullopt;
}

Child start_program(const std::string& program, const std::vector<std::string>& args,
                    const RunOptions& options) {
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> env_strings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const bool replaced = std::any_of(
        options.extra_env.begin(), options.extra_env.end(), [&](const auto& e) {
          const auto eq = e.find('=');
          return text.substr(0, eq + 1) == std::string_view(e).substr(0, eq + 1);
        });
    if (!replaced) env_strings.emplace_back(text);
  }
  env_strings.insert(env_strings.end(), options.extra_env.begin(),
                     options.extra_env.end());
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_strings{program};
  arg_strings.insert(arg_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : arg_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  const bool traced = options.measure_peak_memory || static_cast<bool>(options.on_open) ||
                      static_cast<bool>(options.on_read);
  if (traced && tracing_unavailable()) return {};
  rlimit limit{};
  if (options.file_size_limit) limit.rlim_cur = limit.rlim_max = *options.file_size_limit;
  rlimit address_limit{};
  if (options.address_space_limit) {
    address_limit.rlim_cur = address_limit.rlim_max = *options.address_space_limit;
  }

  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return {};
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd < 0 || ::dup2(null_fd, 0) < 0 || ::dup2(out_pipe[1], 1) < 0 ||
        ::dup2(err_pipe[1], 2) < 0) {
      ::_exit(126);
    }
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    // SIGXFSZ keeps its default action, as a shell leaves it.
    if (options.file_size_limit && ::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    if (options.address_space_limit && ::setrlimit(RLIMIT_AS, &address_limit) != 0)
      ::_exit(126);
    if (options.user) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(*options.user) != 0 ||
          ::setuid(*options.user) != 0) {
        ::_exit(126);
      }
    }
    if (traced && ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  // The reader leaves before the child writes: its writes fail with EPIPE.
  if (options.stdout_reader_gone) close_fd(out_pipe[0]);
  if (pid < 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return {};
  }
  return Child{pid, out_pipe[0], err_pipe[0]};
}

RunResult wait_program(Child& child, const RunOptions& options) {
  RunResult result;
  if (child.pid < 0) return result;
  const bool traced = options.measure_peak_memory || static_cast<bool>(options.on_open) ||
                      static_cast<bool>(options.on_read);
  Watchdog watchdog(child.pid, options.timeout);
  int status = 0;
  if (traced) {
    // The child stops at its exec; the pipes are drained meanwhile so that
    // it never blocks on a full pipe while stopped.
    std::thread reader(drain, child.out_fd, child.err_fd, std::ref(result.out),
                       std::ref(result.err));
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSTOPPED(status)) trace(child.pid, options, result, status);
    if (!WIFEXITED(status) && !WIFSIGNALED(status)) {
      while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
    reader.join();
  } else {
    drain(child.out_fd, child.err_fd, result.out, result.err);
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  result.timed_out = watchdog.stop();
  close_fd(child.out_fd);
  close_fd(child.err_fd);
  child.pid = -1;
  result.exited = WIFEXITED(status);
  if (result.exited) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  Child child = start_program(program, args, options);
  return wait_program(child, options);
}

}  // namespace iccdrop::testing
