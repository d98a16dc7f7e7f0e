// The output's name resolved once: walked a component at a time, each step
// relative to the folder held from the step before, so that the link or
// file the shared-folder rules judged is the one the walk then follows. The
// walk ends holding the output's folder and the entry's name in it; what is
// made, linked, renamed or removed there is OutputFile's business.
#pragma once

#include <sys/stat.h>

#include <string>

namespace iccdrop::stream {

enum class OutputStatus {
  kOpen,
  kIsInput,
  kDidNotOpen,
  kLinkInSharedFolder,  // a link another user may have planted (see below)
  kOtherUsersFile,      // an existing output another user may have planted
};

// Whether two stat results are one file: the same device and inode.
[[nodiscard]] bool same_file(const struct stat& a, const struct stat& b);

class OutputPath {
 public:
  OutputPath() = default;
  OutputPath(const OutputPath&) = delete;
  OutputPath& operator=(const OutputPath&) = delete;
  ~OutputPath() { close(); }

  // Walks `name` from the working folder, or from / where it starts with
  // one, opening each folder relative to the one before with O_NOFOLLOW. A
  // symbolic link met on the way, at the last component too, is followed
  // from its own folder (from / for a text that starts with one), so that
  // with «out.pdf» a link to «../keep/a.pdf» the folder held is keep/ and
  // the entry «a.pdf». What another user may have planted in a shared
  // folder (sticky and world-writable, as /tmp) is judged from the look the
  // walk takes: a link whose owner is neither the folder's owner nor this
  // process's user is not followed (kLinkInSharedFolder), and an existing
  // regular file, FIFO or device at the end, owned by neither, is not to be
  // written (kOtherUsersFile). The kernel's fs.protected_* settings guard
  // its own opens, not the links read and the files renamed here, so the
  // same rules apply whatever they are. kDidNotOpen where a folder on the
  // way is missing or not a folder, a link cannot be read or links loop;
  // kOpen where the walk ends, with or without an entry there.
  [[nodiscard]] OutputStatus walk(const std::string& name);

  // Gives up the folder held.
  void close();

  // After kOpen: the output's folder, and the entry's name in it (none
  // where the walk met one of the system's names for a descriptor: then
  // descriptor_name() is set and no folder is held).
  int folder() const { return folder_; }
  const std::string& entry() const { return entry_; }
  // Names of the system's own, /dev/stdout or /proc/self/fd/3, stand for an
  // open descriptor, not a place in a folder: written directly, whatever is
  // behind them. The name, or a link's target, where the walk met one.
  const std::string& descriptor_name() const { return descriptor_name_; }
  // Whether the entry exists, and what it is, from the walk's own look.
  bool exists() const { return exists_; }
  const struct stat& existing() const { return existing_; }

 private:
  int folder_ = -1;
  std::string entry_;
  std::string descriptor_name_;
  bool exists_ = false;
  struct stat existing_ {};
};

}  // namespace iccdrop::stream
