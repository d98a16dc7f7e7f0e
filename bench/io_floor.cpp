// What one read of the input and a copy into the output cost with no scan:
// the input/output floor under iccdrop's runs on a regular output, which
// bench/run.sh times beside them. A thread has the kernel copy IN to OUT
// (copy_file_range, 4 MiB a call) while this one reads IN with pread, 256
// KiB at a time into a page-aligned buffer, and counts its '/' bytes with
// memchr: the same system calls as iccdrop's pass 1, and the least work a
// scan can do on the bytes. Prints the count.
//
//   iccdrop_bench_io_floor IN OUT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr std::size_t kBlock = std::size_t{256} << 10;
constexpr std::size_t kStep = std::size_t{4} << 20;

bool copy_all(int in, int out, off_t size) {
  off_t from = 0;
  off_t to = 0;
  while (from < size) {
    const ssize_t put = ::copy_file_range(in, &from, out, &to, kStep, 0);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
    return 2;
  }
  const int in = ::open(argv[1], O_RDONLY);
  const int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  struct stat info {};
  if (in < 0 || out < 0 || ::fstat(in, &info) != 0) {
    std::perror("iccdrop_bench_io_floor");
    return 1;
  }
  bool copied = false;
  std::thread copier([&] { copied = copy_all(in, out, info.st_size); });
  auto* buffer = static_cast<char*>(std::aligned_alloc(4096, kBlock));
  std::size_t slashes = 0;
  bool read_all = buffer != nullptr;
  for (off_t at = 0; read_all && at < info.st_size;) {
    const ssize_t got = ::pread(in, buffer, kBlock, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      read_all = false;
      break;
    }
    const char* end = buffer + got;
    for (const char* p = buffer;
         (p = static_cast<const char*>(std::memchr(p, '/', end - p))); ++p) {
      ++slashes;
    }
    at += got;
  }
  copier.join();
  std::free(buffer);
  if (!read_all || !copied) {
    std::fprintf(stderr, "iccdrop_bench_io_floor: the read or the copy failed\n");
    return 1;
  }
  std::printf("%zu\n", slashes);
  return ::close(out) == 0 ? 0 : 1;
}
