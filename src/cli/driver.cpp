#include "cli/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/output_name.h"
#include "colorspace/collect.h"
#include "colorspace/convert.h"
#include "colorspace/registry.h"
#include "stream/window_stream.h"

namespace iccdrop::cli {
namespace {

constexpr const char* kUsage =
    "Usage: iccdrop <input PDF file name> [<output PDF file name>]\n"
    "\tDefault output for foo.pdf is foo3.pdf\n";

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the input without blocking, so that a FIFO without a writer cannot
// hang the open; it is refused right after as not a regular file.
int open_input(const char* name, struct stat& info) {
  const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &info) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Ends a run: prints the message, if any, and returns the status.
int fail(const char* format, const char* name) {
  std::printf(format, name);
  std::fflush(stdout);
  return kExitFailure;
}

// Appends "Changing ColorSpace '%s' from /ICCBased to %s\n" for a change to
// `lines`. The line is put together here: printf took some 800 instructions a
// line, a tenth of all the work on a file that converts 200,000 colour
// spaces.
void append_change_line(std::string& lines, const colorspace::Change& change) {
  constexpr std::string_view kHead = "Changing ColorSpace '";
  constexpr std::string_view kMiddle = "' from /ICCBased to ";
  std::array<char, 64> line{};
  std::size_t n = 0;
  for (std::string_view part : {kHead, change.name, kMiddle, change.replacement}) {
    part = part.substr(0, line.size() - 1 - n);
    std::copy(part.begin(), part.end(), line.begin() + static_cast<std::ptrdiff_t>(n));
    n += part.size();
  }
  line[n++] = '\n';
  lines.append(line.data(), n);
}

class Run {
 public:
  Run(const char* input_name, std::string output_name)
      : input_name_(input_name), output_name_(std::move(output_name)) {}

  ~Run() {
    if (input_ >= 0) ::close(input_);
    if (output_ >= 0) ::close(output_);
  }

  int execute() {
    input_ = open_input(input_name_, input_info_);
    if (input_ < 0) return fail("%s did not open\n", input_name_);
    if (!S_ISREG(input_info_.st_mode))
      return fail("%s is not a regular file\n", input_name_);

    std::printf("Output file is %s\n", output_name_.c_str());
    std::fflush(stdout);
    // The same file under another name, a hard link or a symlink would be
    // emptied before it is read: refuse it before touching anything.
    struct stat output_info {};
    if (::stat(output_name_.c_str(), &output_info) == 0 &&
        same_file(output_info, input_info_)) {
      return fail("%s is the input file\n", output_name_.c_str());
    }
    // Without blocking, so that a FIFO with no reader fails to open instead of
    // waiting for ever; writes block again once it is open.
    output_ =
        ::open(output_name_.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (output_ < 0) return fail("%s did not open\n", output_name_.c_str());
    const int flags = ::fcntl(output_, F_GETFL);
    if (flags < 0 || ::fcntl(output_, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        ::fstat(output_, &output_info) != 0) {
      return fail_writing();
    }
    if (same_file(output_info, input_info_)) {
      return fail("%s is the input file\n", output_name_.c_str());
    }
    output_is_regular_ = S_ISREG(output_info.st_mode);
    if (output_is_regular_ && ::ftruncate(output_, 0) != 0) return fail_writing();

    colorspace::Registry registry;
    stream::FdSource pass1_input(input_);
    const auto pass1 =
        stream::run_pass(pass1_input, nullptr, [&](std::span<unsigned char> window) {
          colorspace::collect_window(window, registry);
        });
    if (pass1.status != stream::PassStatus::kOk) return fail_reading();

    ::close(input_);
    struct stat reopened {};
    input_ = open_input(input_name_, reopened);
    if (input_ < 0) return remove_output("%s did not open\n", input_name_);
    // Pass 2 must read the bytes pass 1 read: the same file, size and time
    // of last change.
    if (!same_file(reopened, input_info_) || reopened.st_size != input_info_.st_size ||
        reopened.st_mtim.tv_sec != input_info_.st_mtim.tv_sec ||
        reopened.st_mtim.tv_nsec != input_info_.st_mtim.tv_nsec ||
        static_cast<std::uint64_t>(reopened.st_size) != pass1.bytes) {
      return remove_output("%s changed while it was read\n", input_name_);
    }

    stream::FdSource pass2_input(input_);
    stream::FdSink sink(output_);
    // A window's lines go out in one fwrite, before the next window's: a
    // call a line cost 130 instructions, 3% of the work with 50,000 colour
    // spaces.
    std::string lines;
    const colorspace::ChangeVisitor add_line = [&](const colorspace::Change& change) {
      append_change_line(lines, change);
    };
    const auto pass2 =
        stream::run_pass(pass2_input, &sink, [&](std::span<unsigned char> window) {
          colorspace::convert_window(window, registry, add_line);
          if (!lines.empty()) {
            std::fwrite(lines.data(), 1, lines.size(), stdout);
            lines.clear();
          }
        });
    if (pass2.status == stream::PassStatus::kReadError) return fail_reading();
    if (pass2.status == stream::PassStatus::kWriteError) return fail_writing();
    if (pass2.bytes != pass1.bytes) {
      return remove_output("%s changed while it was read\n", input_name_);
    }
    const int output = output_;
    output_ = -1;
    if (::close(output) != 0)
      return remove_output("%s could not be written\n", output_name_.c_str());
    std::fflush(stdout);
    return kExitSuccess;
  }

 private:
  int fail_reading() { return remove_output("%s could not be read\n", input_name_); }
  int fail_writing() {
    return remove_output("%s could not be written\n", output_name_.c_str());
  }

  // A failed run leaves no output that could pass for a complete one. Only a
  // regular file is removed: never a device such as /dev/full.
  int remove_output(const char* format, const char* name) {
    if (output_ >= 0) {
      ::close(output_);
      output_ = -1;
    }
    if (output_is_regular_) ::unlink(output_name_.c_str());
    return fail(format, name);
  }

  const char* input_name_;
  std::string output_name_;
  int input_ = -1;
  int output_ = -1;
  bool output_is_regular_ = false;
  struct stat input_info_ {};
};

}  // namespace

int run_iccdrop(std::span<const char* const> args) {
  if (args.empty()) {
    std::fputs(kUsage, stdout);
    std::fflush(stdout);
    return kExitFailure;
  }
  const char* input_name = args[0];
  std::string output_name =
      args.size() >= 2 ? std::string(args[1]) : derive_output_name(input_name);
  return Run(input_name, std::move(output_name)).execute();
}

}  // namespace iccdrop::cli
