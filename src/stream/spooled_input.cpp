#include "stream/spooled_input.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace iccdrop::stream {
namespace {

int make_temporary(const std::string& folder) {
#if defined(O_TMPFILE)
  const int unnamed =
      ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (unnamed >= 0) return unnamed;
#endif
  std::string name = folder + "/iccdrop-input-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return -1;
  ::unlink(name.c_str());
  (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

bool write_all(int fd, const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, bytes, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

}  // namespace

Spooled spool_input(int from) {
  const char* folder = std::getenv("TMPDIR");
  const int fd = make_temporary(folder != nullptr && *folder != '\0' ? folder : "/tmp");
  if (fd < 0) return {};
  std::vector<unsigned char> block(std::size_t{256} << 10);
  SpoolStatus status = SpoolStatus::kOk;
  while (true) {
    const ssize_t got = ::read(from, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor someone made non-blocking: wait for its bytes.
      pollfd ready{from, POLLIN, 0};
      (void)::poll(&ready, 1, -1);
      continue;
    }
    if (got < 0) status = SpoolStatus::kReadError;
    if (got <= 0) break;
    if (!write_all(fd, block.data(), static_cast<std::size_t>(got))) {
      status = SpoolStatus::kDidNotOpen;
      break;
    }
  }
  if (status != SpoolStatus::kOk || ::lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    return {status == SpoolStatus::kOk ? SpoolStatus::kDidNotOpen : status, -1};
  }
  return {SpoolStatus::kOk, fd};
}

}  // namespace iccdrop::stream
