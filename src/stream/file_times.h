// A file's times as stat gives them, in the spelling of each system
// (POSIX's st_mtim on Linux and the BSDs, st_mtimespec on macOS), and
// whether two are the same to the nanosecond.
#pragma once

#include <sys/stat.h>
#include <time.h>

namespace iccdrop::stream {

// When the file's contents last changed.
inline struct timespec modified_time(const struct stat& info) {
#if defined(__APPLE__)
  return info.st_mtimespec;
#else
  return info.st_mtim;
#endif
}

// When the file's status (its contents, links, owner or mode) last changed.
inline struct timespec status_time(const struct stat& info) {
#if defined(__APPLE__)
  return info.st_ctimespec;
#else
  return info.st_ctim;
#endif
}

inline bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace iccdrop::stream
