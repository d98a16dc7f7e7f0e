#include "stream/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <linux/fs.h>  // FICLONE
#endif

namespace iccdrop::stream {
namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The one piece of state a signal handler reads: the unfinished file to
// remove when the run is killed. A handler may touch nothing else, so this
// is a global of fixed size, changed only while the signals are blocked.
struct Unfinished {
  volatile sig_atomic_t armed;
  volatile sig_atomic_t fd;  // emptied where `path` cannot be removed; or -1
  char path[PATH_MAX];
};
Unfinished g_unfinished{0, -1, {}};

extern "C" void remove_unfinished_and_die(int signal_number) {
  if (g_unfinished.armed != 0) {
    if (::unlink(g_unfinished.path) != 0 && g_unfinished.fd >= 0) {
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
    ::sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalBlock() { ::sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t saved_;
};

// Call with the signals blocked.
void arm(const std::string& path, int fd) {
  if (path.size() >= sizeof g_unfinished.path) return;  // longer than any path
  std::memcpy(g_unfinished.path, path.c_str(), path.size() + 1);
  g_unfinished.fd = fd;
  g_unfinished.armed = 1;
}
void disarm() {
  g_unfinished.armed = 0;
  g_unfinished.fd = -1;
}

// Names of the system's own (/dev/stdout, /dev/fd/3, /proc/self/fd/1) stand
// for an open descriptor, not a place in a folder: they are written directly,
// whatever file is behind them.
bool names_a_descriptor(std::string_view name) {
  return name.starts_with("/dev/") || name.starts_with("/proc/");
}

// The file a name leads to through symbolic links: with «out.pdf» a link to
// «../keep/a.pdf», «../keep/a.pdf», which need not exist yet (an open with
// O_CREAT would create it). None for a loop, an unreadable link or a link
// to a descriptor's name.
// The text of symbolic link `path`; none where it cannot be read.
std::optional<std::string> link_text(const std::string& path) {
  std::string text(PATH_MAX, '\0');
  const ssize_t length = ::readlink(path.c_str(), text.data(), text.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) return std::nullopt;
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// Links followed at most, as the kernel's own limit: a loop ends there.
constexpr int kMaxLinks = 40;

std::optional<std::string> follow_links(std::string name) {
  for (int hops = 0; hops < kMaxLinks; ++hops) {
    struct stat info {};
    if (names_a_descriptor(name)) return std::nullopt;
    if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return name;
    const std::optional<std::string> text = link_text(name);
    if (!text) return std::nullopt;
    const std::size_t slash = name.rfind('/');
    name = text->front() == '/' || slash == std::string::npos
               ? *text
               : name.substr(0, slash + 1) + *text;
  }
  return std::nullopt;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string file_part(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name for a new file beside the output, unlikely to be taken; the caller
// retries on EEXIST. At most 64 bytes of the output's name go into it, so
// that an output whose name is as long as the folder allows still gets one.
std::string unique_name(const std::string& folder, const std::string& file, int attempt) {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".iccdrop-%ld-%lx-%d",
                static_cast<long>(::getpid()), static_cast<unsigned long>(now.tv_nsec),
                attempt);
  return folder + "/." + file.substr(0, 64) + suffix;
}

// Blocking writes again on a descriptor opened with O_NONBLOCK.
bool set_blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// The sticky bit: 01000 on every system; POSIX names it only with XSI.
#if defined(S_ISVTX)
constexpr mode_t kStickyBit = S_ISVTX;
#else
constexpr mode_t kStickyBit = 01000;
#endif

// A folder where anyone may create files but only their owners may remove
// or rename them: sticky and world-writable.
bool is_shared_folder(const struct stat& folder) {
  return S_ISDIR(folder.st_mode) && (folder.st_mode & kStickyBit) != 0 &&
         (folder.st_mode & S_IWOTH) != 0;
}

// Whether a file of `owner`'s in `folder` may have been planted there by
// someone else: in a shared folder, owned by neither the folder's owner nor
// us. The kernel's rule for links in such folders.
bool planted_in(const std::string& folder, uid_t owner) {
  struct stat info {};
  return ::stat(folder.c_str(), &info) == 0 && is_shared_folder(info) &&
         owner != info.st_uid && owner != ::geteuid();
}

}  // namespace

OutputStatus check_shared_folders(const std::string& name) {
  if (name.empty() || names_a_descriptor(name)) return OutputStatus::kOpen;
  // The name is walked a component at a time, a link's target put in its
  // place, so that `folder` never holds a link: «..» after it is the
  // physical parent, as the kernel takes it.
  std::vector<std::string> rest;  // the components still to walk, last first
  const auto push_components = [&rest](std::string_view path) {
    std::size_t end = path.size();
    while (end > 0) {
      const std::size_t slash = path.rfind('/', end - 1);
      const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
      if (end > begin) rest.emplace_back(path.substr(begin, end - begin));
      if (slash == std::string_view::npos) break;
      end = slash;
    }
  };
  push_components(name);
  std::string folder = name.front() == '/' ? "/" : ".";
  for (int links = 0; !rest.empty();) {
    const std::string part = std::move(rest.back());
    rest.pop_back();
    if (part == ".") continue;
    const std::string path = folder == "/" ? "/" + part : folder + "/" + part;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) break;  // a file yet to be made
    if (S_ISLNK(info.st_mode)) {
      if (planted_in(folder, info.st_uid)) return OutputStatus::kLinkInSharedFolder;
      const std::optional<std::string> text = link_text(path);
      // A loop or an unreadable link: the open that follows says so.
      if (++links > kMaxLinks || !text) break;
      if (text->front() == '/') folder.assign(1, '/');
      push_components(*text);
    } else if (rest.empty()) {
      if (S_ISREG(info.st_mode) && planted_in(folder, info.st_uid))
        return OutputStatus::kOtherUsersFile;
    } else {
      folder = path;
    }
  }
  return OutputStatus::kOpen;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

OutputStatus OutputFile::open(const std::string& name, const struct stat& input,
                              bool replaces_input) {
  abandon();
  if (const OutputStatus shared = check_shared_folders(name);
      shared != OutputStatus::kOpen)
    return shared;
  struct stat existing {};
  const bool exists = ::stat(name.c_str(), &existing) == 0;
  if (replaces_input != (exists && same_file(existing, input))) {
    return replaces_input ? OutputStatus::kDidNotOpen : OutputStatus::kIsInput;
  }
  const std::optional<std::string> target = follow_links(name);
  const bool replaceable = (!exists || S_ISREG(existing.st_mode)) && target &&
                           !name.empty() && name.back() != '/';
  if (!replaceable) {
    // Written directly, as a FIFO or a device must be. Without blocking, so
    // that a FIFO with no reader fails instead of waiting for ever.
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd_ < 0) return OutputStatus::kDidNotOpen;
    mode_ = Mode::kDirect;
    struct stat opened {};
    if (!set_blocking(fd_) || ::fstat(fd_, &opened) != 0)
      return OutputStatus::kDidNotOpen;
    if (same_file(opened, input)) return OutputStatus::kIsInput;
    return OutputStatus::kOpen;
  }
  target_ = *target;
  // A name the folder cannot hold would fail only at the rename, after the
  // whole run: refused now, as an open of it would be.
  const std::string folder = folder_of(target_);
  const long name_max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (target_.size() >= PATH_MAX ||
      (name_max > 0 && file_part(target_).size() > static_cast<std::size_t>(name_max)))
    return OutputStatus::kDidNotOpen;
  // An existing output must be writable, as a plain open for writing would
  // require; this descriptor is also the fallback for writing in place.
  int existing_fd = -1;
  if (exists) {
    existing_fd = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened {};
    if (existing_fd < 0) return OutputStatus::kDidNotOpen;
    if (::fstat(existing_fd, &opened) != 0 || !same_file(opened, existing)) {
      ::close(existing_fd);
      return OutputStatus::kDidNotOpen;
    }
  }
  if (create_unnamed(folder) || create_hidden(folder)) {
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
  arm(target_, fd_);
  return OutputStatus::kOpen;
}

bool OutputFile::create_unnamed(const std::string& folder) {
#if defined(O_TMPFILE)
  // The new file is linked into the folder only at commit, through
  // /proc/self/fd: without /proc, use a named file instead.
  if (!unnamed_files_ || ::access("/proc/self/fd", X_OK) != 0) return false;
  fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd_ < 0) return false;
  mode_ = Mode::kUnnamed;
  return true;
#else
  (void)folder;
  (void)unnamed_files_;
  return false;
#endif
}

bool OutputFile::create_hidden(const std::string& folder) {
  SignalBlock block;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = unique_name(folder, file_part(target_), attempt);
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = fd;
      hidden_ = std::move(name);
      mode_ = Mode::kHidden;
      arm(hidden_, -1);
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
    linked = unique_name(folder_of(target_), file_part(target_), attempt);
    if (::linkat(AT_FDCWD, proc_path, AT_FDCWD, linked.c_str(), AT_SYMLINK_FOLLOW) == 0)
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
    arm(hidden_, -1);
  }
  if (::close(std::exchange(fd_, -1)) != 0) return false;
  if (mode_ == Mode::kHidden && ::rename(hidden_.c_str(), target_.c_str()) != 0)
    return false;
  disarm();
  mode_ = Mode::kNone;
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
      ::unlink(hidden_.c_str());
      break;
    case Mode::kInPlace:
      if (::unlink(target_.c_str()) == 0) {
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
  disarm();
  mode_ = Mode::kNone;
  return fate;
}

}  // namespace iccdrop::stream
