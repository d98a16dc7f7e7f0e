#include "stream/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#if defined(__linux__)
#include <linux/fs.h>  // FICLONE
#endif

namespace iccdrop::stream {
namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The one piece of state a signal handler reads: the unfinished file to
// remove when the run is killed, by its name in the folder the run holds
// (unlinkat is async-signal-safe). A handler may touch nothing else, so this
// is a global of fixed size, changed only while the signals are blocked.
struct Unfinished {
  volatile sig_atomic_t armed;
  volatile sig_atomic_t folder;  // the folder held
  volatile sig_atomic_t fd;      // emptied where `name` cannot be removed; or -1
  char name[PATH_MAX];
};
Unfinished g_unfinished{0, -1, -1, {}};

extern "C" void remove_unfinished_and_die(int signal_number) {
  if (g_unfinished.armed != 0) {
    if (::unlinkat(g_unfinished.folder, g_unfinished.name, 0) != 0 &&
        g_unfinished.fd >= 0) {
      (void)::ftruncate(g_unfinished.fd, 0);
    }
  }
  // Blocked while this handler runs, the signal arrives again on return
  // and ends the process the default way: the shell sees 128 + n.
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// Holds the cleanup signals back while the unfinished file changes hands,
// so that a handler never sees a half-written path.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kCleanupSignals) sigaddset(&set, s);
    ::pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalBlock() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t saved_;
};

// Call with the signals blocked. Outputs written by several threads at
// once (a hot folder's workers, where no cleanup handler is installed)
// take turns at the one slot, each for a copy's time, and each clears only
// its own.
std::atomic_flag g_unfinished_busy;  // clear
const void* g_unfinished_owner = nullptr;
class SlotTurn {
 public:
  SlotTurn() {
    while (g_unfinished_busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~SlotTurn() { g_unfinished_busy.clear(std::memory_order_release); }
  SlotTurn(const SlotTurn&) = delete;
  SlotTurn& operator=(const SlotTurn&) = delete;
};
void arm(const void* owner, int folder, const std::string& name, int fd) {
  const SlotTurn turn;
  if (name.size() >= sizeof g_unfinished.name) return;  // longer than any name
  g_unfinished.armed = 0;
  std::memcpy(g_unfinished.name, name.c_str(), name.size() + 1);
  g_unfinished.folder = folder;
  g_unfinished.fd = fd;
  g_unfinished.armed = 1;
  g_unfinished_owner = owner;
}
void disarm(const void* owner) {
  const SlotTurn turn;
  if (g_unfinished_owner != owner) return;
  g_unfinished.armed = 0;
  g_unfinished.fd = -1;
  g_unfinished.folder = -1;
  g_unfinished_owner = nullptr;
}

// A name for a new file beside the output, unlikely to be taken; the caller
// retries on EEXIST. At most 64 bytes of the output's name go into it, so
// that an output whose name is as long as the folder allows still gets one.
std::string unique_name(const std::string& file, int attempt) {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".iccdrop-%ld-%lx-%d",
                static_cast<long>(::getpid()), static_cast<unsigned long>(now.tv_nsec),
                attempt);
  // Appended rather than "." + ..., which GCC 12 wrongly warns about.
  std::string name = ".";
  name.append(file, 0, 64);
  name += suffix;
  return name;
}

// Blocking writes again on a descriptor opened with O_NONBLOCK.
bool set_blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

OutputStatus check_output(const std::string& name, const struct stat& input,
                          bool replaces_input) {
  OutputPath place;
  const OutputStatus walked = place.walk(name);
  if (walked == OutputStatus::kLinkInSharedFolder ||
      walked == OutputStatus::kOtherUsersFile)
    return walked;
  if (!replaces_input && place.exists() && same_file(place.existing(), input))
    return OutputStatus::kIsInput;
  return OutputStatus::kOpen;
}

ClosedStandard prepare_process() {
  // A closed descriptor is reopened on /dev/null; open() takes the lowest
  // free number, so 0, 1 and 2 fill in order.
  bool closed[3] = {};
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      closed[fd] = true;
      const int opened = ::open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) ::close(opened);
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = remove_unfinished_and_die;
  sigemptyset(&action.sa_mask);
  for (int s : kCleanupSignals) sigaddset(&action.sa_mask, s);
  for (int s : kCleanupSignals) {
    // A signal ignored by whoever started us (nohup) stays ignored.
    struct sigaction old {};
    if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(s, &action, nullptr);
  }
  return {closed[0], closed[1], closed[2]};
}

OutputStatus OutputFile::open_descriptor(int fd, const struct stat& input) {
  abandon();
  fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (fd_ < 0) return OutputStatus::kDidNotOpen;
  mode_ = Mode::kDirect;
  struct stat opened {};
  if (::fstat(fd_, &opened) != 0) return OutputStatus::kDidNotOpen;
  if (same_file(opened, input)) return OutputStatus::kIsInput;
  return OutputStatus::kOpen;
}

OutputStatus OutputFile::open_directly(int folder, const std::string& name, int flags) {
  // Without blocking, so that a FIFO with no reader fails instead of
  // waiting for ever.
  fd_ = ::openat(folder, name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | flags, 0666);
  if (fd_ < 0) return OutputStatus::kDidNotOpen;
  mode_ = Mode::kDirect;
  return set_blocking(fd_) ? OutputStatus::kOpen : OutputStatus::kDidNotOpen;
}

OutputStatus OutputFile::open(const std::string& name, const struct stat& input,
                              bool replaces_input) {
  abandon();
  if (const OutputStatus walked = place_.walk(name); walked != OutputStatus::kOpen)
    return walked;
  const bool exists = place_.exists();
  const struct stat& existing = place_.existing();
  if (replaces_input != (exists && same_file(existing, input))) {
    return replaces_input ? OutputStatus::kDidNotOpen : OutputStatus::kIsInput;
  }
  if (!place_.descriptor_name().empty() || (exists && !S_ISREG(existing.st_mode))) {
    // Written directly, as a FIFO or a device must be: a descriptor's name
    // as the system resolves it, anything else as the entry the walk saw.
    const bool named = !place_.descriptor_name().empty();
    const OutputStatus opened =
        named ? open_directly(AT_FDCWD, place_.descriptor_name(), O_CREAT)
              : open_directly(place_.folder(), place_.entry(), O_NOFOLLOW);
    struct stat info {};
    if (opened != OutputStatus::kOpen || ::fstat(fd_, &info) != 0)
      return OutputStatus::kDidNotOpen;
    if (same_file(info, input)) return OutputStatus::kIsInput;
    if (!named && !same_file(info, existing)) return OutputStatus::kDidNotOpen;
    return OutputStatus::kOpen;
  }
  // A name the folder cannot hold would fail only at the rename, after the
  // whole run: refused now, as an open of it would be.
  const long name_max = ::fpathconf(place_.folder(), _PC_NAME_MAX);
  if (name_max > 0 && place_.entry().size() > static_cast<std::size_t>(name_max))
    return OutputStatus::kDidNotOpen;
  // An existing output must be writable, as a plain open for writing would
  // require; this descriptor is also the fallback for writing in place.
  int existing_fd = -1;
  if (exists) {
    existing_fd = ::openat(place_.folder(), place_.entry().c_str(),
                           O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened {};
    if (existing_fd < 0) return OutputStatus::kDidNotOpen;
    if (::fstat(existing_fd, &opened) != 0 || !same_file(opened, existing)) {
      ::close(existing_fd);
      return OutputStatus::kDidNotOpen;
    }
  }
  if (create_unnamed() || create_hidden()) {
    if (existing_fd >= 0) ::close(existing_fd);
    // A new output gets what open(O_CREAT, 0666) would give under the umask;
    // an existing one keeps its owner, where we may set it, and its mode.
    if (exists) {
      if (::geteuid() == 0) (void)::fchown(fd_, existing.st_uid, existing.st_gid);
      (void)::fchmod(fd_, existing.st_mode & 07777);
    } else if (mode_ == Mode::kHidden) {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      (void)::fchmod(fd_, 0666 & ~mask);
    }
    return OutputStatus::kOpen;
  }
  // No new file can be made in the folder: the existing output, if any, is
  // written in place, and removed or emptied should the run fail.
  if (existing_fd < 0 || replaces_input || !set_blocking(existing_fd)) {
    if (existing_fd >= 0) ::close(existing_fd);
    return OutputStatus::kDidNotOpen;
  }
  if (::ftruncate(existing_fd, 0) != 0) {
    ::close(existing_fd);
    return OutputStatus::kDidNotOpen;
  }
  SignalBlock block;
  fd_ = existing_fd;
  mode_ = Mode::kInPlace;
  arm(this, place_.folder(), place_.entry(), fd_);
  return OutputStatus::kOpen;
}

bool OutputFile::create_unnamed() {
#if defined(O_TMPFILE)
  // The new file is linked into the folder only at commit, through
  // /proc/self/fd: without /proc, use a named file instead.
  if (!unnamed_files_ || ::access("/proc/self/fd", X_OK) != 0) return false;
  fd_ = ::openat(place_.folder(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd_ < 0) return false;
  mode_ = Mode::kUnnamed;
  return true;
#else
  (void)unnamed_files_;
  return false;
#endif
}

bool OutputFile::create_hidden() {
  SignalBlock block;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = unique_name(place_.entry(), attempt);
    const int fd = ::openat(place_.folder(), name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = fd;
      hidden_ = std::move(name);
      mode_ = Mode::kHidden;
      arm(this, place_.folder(), hidden_, -1);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool OutputFile::link_unnamed(std::string& linked) {
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    linked = unique_name(place_.entry(), attempt);
    if (::linkat(AT_FDCWD, proc_path, place_.folder(), linked.c_str(),
                 AT_SYMLINK_FOLLOW) == 0)
      return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

bool OutputFile::clone_from(int input) {
#if defined(FICLONE)
  return is_regular() && ::ioctl(fd_, FICLONE, input) == 0;
#else
  (void)input;
  return false;
#endif
}

bool OutputFile::commit() {
  if (mode_ == Mode::kNone) return false;
  SignalBlock block;
  // A step that fails leaves the file to abandon(), which removes it.
  if (mode_ == Mode::kUnnamed) {
    std::string linked;
    if (!link_unnamed(linked)) return false;
    hidden_ = std::move(linked);
    mode_ = Mode::kHidden;
    arm(this, place_.folder(), hidden_, -1);
  }
  if (::close(std::exchange(fd_, -1)) != 0) return false;
  // Onto the entry in the folder held: a link planted at the name since the
  // walk is replaced, not followed.
  if (mode_ == Mode::kHidden && ::renameat(place_.folder(), hidden_.c_str(),
                                           place_.folder(), place_.entry().c_str()) != 0)
    return false;
  disarm(this);
  mode_ = Mode::kNone;
  place_.close();
  return true;
}

OutputFile::Abandoned OutputFile::abandon() {
  SignalBlock block;
  Abandoned fate = Abandoned::kNothing;
  switch (mode_) {
    case Mode::kNone:
      break;
    case Mode::kUnnamed:
    case Mode::kDirect:
      break;  // an unnamed file vanishes with its descriptor
    case Mode::kHidden:
      ::unlinkat(place_.folder(), hidden_.c_str(), 0);
      break;
    case Mode::kInPlace:
      if (::unlinkat(place_.folder(), place_.entry().c_str(), 0) == 0) {
        fate = Abandoned::kRemoved;
      } else if (fd_ >= 0 && ::ftruncate(fd_, 0) == 0) {
        fate = Abandoned::kEmptied;
      } else {
        fate = Abandoned::kNotRemoved;
      }
      break;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  disarm(this);
  mode_ = Mode::kNone;
  place_.close();
  return fate;
}

}  // namespace iccdrop::stream
