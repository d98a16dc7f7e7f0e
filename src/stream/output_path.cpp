#include "stream/output_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "stream/descriptor.h"

namespace iccdrop::stream {
namespace {

// Folders are held for lookups relative to them only: with O_PATH that
// needs no read permission on the folder, as the kernel's own walk does not.
#if defined(O_PATH)
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kFolderFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Links followed at most, as the kernel's own limit: a loop ends there.
constexpr int kMaxLinks = 40;

// The sticky bit: 01000 on every system; POSIX names it only with XSI.
#if defined(S_ISVTX)
constexpr mode_t kStickyBit = S_ISVTX;
#else
constexpr mode_t kStickyBit = 01000;
#endif

// A folder the walk holds, and what it was when opened.
struct Folder {
  Descriptor fd;
  struct stat info {};
  bool root = false;  // the folder is /
};

bool open_start(Folder& folder, bool root) {
  folder.fd = Descriptor(::open(root ? "/" : ".", kFolderFlags));
  folder.root = root;
  return folder.fd.get() >= 0 && ::fstat(folder.fd.get(), &folder.info) == 0;
}

// Where entry `part` of `folder` is looked up: relative to the folder held,
// and for an entry of / by its absolute name, which is the same entry. (An
// emulator may take / for another root: qemu-user's -L, which the cross
// build's tests use, opens the target's system root for «/» itself but the
// host's /tmp for «/tmp».)
struct Lookup {
  int at;
  std::string name;
};
Lookup lookup(const Folder& folder, const std::string& part) {
  if (folder.root) return {AT_FDCWD, "/" + part};
  return {folder.fd.get(), part};
}

// A folder where anyone may create files but only their owners may remove
// or rename them: sticky and world-writable.
bool is_shared_folder(const struct stat& folder) {
  return S_ISDIR(folder.st_mode) && (folder.st_mode & kStickyBit) != 0 &&
         (folder.st_mode & S_IWOTH) != 0;
}

// Whether an entry of `owner`'s in `folder` may have been planted there by
// someone else: in a shared folder, owned by neither the folder's owner nor
// us. The kernel's rule for links, FIFOs and regular files in such folders.
bool planted_in(const struct stat& folder, uid_t owner) {
  return is_shared_folder(folder) && owner != folder.st_uid && owner != ::geteuid();
}

// What a planted entry at the output's name could make the run write into.
bool writable_kind(mode_t mode) {
  return S_ISREG(mode) || S_ISFIFO(mode) || S_ISCHR(mode) || S_ISBLK(mode);
}

bool names_a_descriptor(std::string_view name) {
  return name.starts_with("/dev/") || name.starts_with("/proc/");
}

// Puts the components of `path` on `rest`, the first last, where the walk
// takes it next. A path that ends in '/' names a folder: its last
// component is followed by «.», so that «in.pdf/» fails as not a folder.
void push_components(std::vector<std::string>& rest, std::string_view path) {
  if (path.ends_with('/')) rest.emplace_back(".");
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    if (end > begin) rest.emplace_back(path.substr(begin, end - begin));
    if (slash == std::string_view::npos) break;
    end = slash;
  }
}

// The one look the walk takes at entry `part` of `folder`, and acts on.
// With O_PATH the entry itself is held, whatever it is (a link or a FIFO is
// not opened for reading or writing), so that a link's text is read from the
// link judged and a folder entered is the folder looked at. Elsewhere the
// look is fstatat, and a folder opened after it must be the one looked at.
struct Entry {
  Descriptor fd;  // with O_PATH
  struct stat info {};
  int error = 0;  // the look failed with this errno
};

Entry look(const Folder& folder, const std::string& part) {
  Entry entry;
  const Lookup at = lookup(folder, part);
#if defined(O_PATH)
  entry.fd =
      Descriptor(::openat(at.at, at.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (entry.fd.get() < 0 || ::fstat(entry.fd.get(), &entry.info) != 0)
    entry.error = errno;
#else
  if (::fstatat(at.at, at.name.c_str(), &entry.info, AT_SYMLINK_NOFOLLOW) != 0)
    entry.error = errno;
#endif
  return entry;
}

// The text of link `entry`, `part` of `folder`; none where it cannot be read.
std::optional<std::string> link_text(const Folder& folder, const std::string& part,
                                     const Entry& entry) {
  std::string text(PATH_MAX, '\0');
#if defined(O_PATH)
  (void)folder;
  (void)part;
  const ssize_t length = ::readlinkat(entry.fd.get(), "", text.data(), text.size());
#else
  (void)entry;
  const Lookup at = lookup(folder, part);
  const ssize_t length = ::readlinkat(at.at, at.name.c_str(), text.data(), text.size());
#endif
  if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) return std::nullopt;
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// Folder `entry`, `part` of `folder`, held for the next step; -1 where it is
// no longer the folder looked at.
Descriptor enter(const Folder& folder, const std::string& part, Entry& entry) {
#if defined(O_PATH)
  (void)folder;
  (void)part;
  return std::move(entry.fd);
#else
  const Lookup at = lookup(folder, part);
  Descriptor next(::openat(at.at, at.name.c_str(), kFolderFlags | O_NOFOLLOW));
  struct stat info {};
  if (next.get() >= 0 &&
      (::fstat(next.get(), &info) != 0 || !same_file(info, entry.info)))
    return Descriptor();
  return next;
#endif
}

}  // namespace

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void OutputPath::close() {
  if (folder_ >= 0) ::close(folder_);
  folder_ = -1;
  entry_.clear();
  descriptor_name_.clear();
  exists_ = false;
  existing_ = {};
}

OutputStatus OutputPath::walk(const std::string& name) {
  close();
  if (name.empty()) return OutputStatus::kDidNotOpen;
  // Written directly; it is the system's name, looked up as given.
  const auto descriptor = [this](std::string descriptor_name) {
    descriptor_name_ = std::move(descriptor_name);
    exists_ = ::stat(descriptor_name_.c_str(), &existing_) == 0;
    return OutputStatus::kOpen;
  };
  if (names_a_descriptor(name)) return descriptor(name);
  std::vector<std::string> rest;  // the components still to walk, the next last
  push_components(rest, name);
  Folder folder;
  if (!open_start(folder, name.front() == '/')) return OutputStatus::kDidNotOpen;
  // Every step below either returns or leaves components on `rest`.
  for (int links = 0;;) {
    const std::string part = std::move(rest.back());
    rest.pop_back();
    const bool last = rest.empty();
    if (part == "." && !last) continue;
    Entry entry = look(folder, part);
    if (entry.error != 0) {
      if (!last || entry.error != ENOENT) return OutputStatus::kDidNotOpen;
      entry_ = part;  // a file yet to be made
      folder_ = folder.fd.release();
      return OutputStatus::kOpen;
    }
    if (S_ISLNK(entry.info.st_mode)) {
      if (planted_in(folder.info, entry.info.st_uid))
        return OutputStatus::kLinkInSharedFolder;
      const std::optional<std::string> text = link_text(folder, part, entry);
      if (!text || ++links > kMaxLinks) return OutputStatus::kDidNotOpen;
      if (text->front() == '/') {
        std::string whole = *text;
        for (auto it = rest.rbegin(); it != rest.rend(); ++it) whole += "/" + *it;
        if (names_a_descriptor(whole)) return descriptor(std::move(whole));
        if (!open_start(folder, true)) return OutputStatus::kDidNotOpen;
      }
      push_components(rest, *text);
      continue;
    }
    if (!last) {
      if (!S_ISDIR(entry.info.st_mode)) return OutputStatus::kDidNotOpen;
      folder.fd = enter(folder, part, entry);
      folder.info = entry.info;
      folder.root = false;
      if (folder.fd.get() < 0) return OutputStatus::kDidNotOpen;
      continue;
    }
    if (writable_kind(entry.info.st_mode) && planted_in(folder.info, entry.info.st_uid))
      return OutputStatus::kOtherUsersFile;
    entry_ = part;
    exists_ = true;
    existing_ = entry.info;
    folder_ = folder.fd.release();
    return OutputStatus::kOpen;
  }
}

}  // namespace iccdrop::stream
