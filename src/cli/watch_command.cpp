#include "cli/watch_command.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "cli/driver.h"
#include "colorspace/convert_file.h"
#include "watch/hot_folder.h"

namespace iccdrop::cli {
namespace {

// What a PDF begins with, within its first 1,024 bytes (PDF readers allow
// bytes before it).
bool looks_like_pdf(int fd) {
  char head[1024];
  const ssize_t got = ::pread(fd, head, sizeof head, 0);
  return got > 0 && std::string_view(head, static_cast<std::size_t>(got)).find("%PDF-") !=
                        std::string_view::npos;
}

std::chrono::milliseconds milliseconds_of(double seconds) {
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

const char* start_failure(watch::StartStatus status) {
  switch (status) {
    case watch::StartStatus::kStarted:
      break;
    case watch::StartStatus::kMissing:
      return "%s did not open\n";
    case watch::StartStatus::kNotFolder:
      return "%s is not a folder\n";
    case watch::StartStatus::kNotWritable:
      return "%s is not writable\n";
    case watch::StartStatus::kOutputInsideInput:
      return "%s is inside the watched folder\n";
    case watch::StartStatus::kOtherFileSystem:
      return "%s is not on the watched folder's file system\n";
    case watch::StartStatus::kNotCreated:
      return "%s could not be made\n";
  }
  return nullptr;
}

}  // namespace

int run_watch_command(const Options& options) {
  watch::Settings settings;
  settings.in = options.files[0];
  settings.out = options.files[1];
  if (options.done != nullptr) settings.done = options.done;
  if (options.failed != nullptr) settings.failed = options.failed;
  settings.workers =
      options.jobs > 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  settings.settle = milliseconds_of(options.settle);
  settings.poll = milliseconds_of(std::max(options.poll, 0.05));
  settings.events = !options.scan_only;
  std::string culprit;
  if (const char* failure = start_failure(watch::prepare(settings, culprit))) {
    std::fprintf(stdout, failure, culprit.c_str());
    std::fflush(stdout);
    return kExitFailure;
  }
  const bool all = options.all;
  const auto convert = [all](int input, const std::string& input_name,
                             const std::string& output_name) {
    watch::JobResult result;
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* lines = ::open_memstream(&buffer, &size);
    if (lines == nullptr) return result;
    std::fprintf(lines, "Output file is %s\n", output_name.c_str());
    if (input < 0) {
      std::fprintf(lines, "%s did not open\n", input_name.c_str());
    } else if (!looks_like_pdf(input)) {
      std::fprintf(lines, "%s is not a PDF file\n", input_name.c_str());
    } else {
      colorspace::FileJob job;
      job.input = input_name;
      job.input_fd = input;
      job.output = output_name;
      job.all = all;
      job.lines = lines;
      const colorspace::FileResult file = colorspace::convert_file(job);
      result.succeeded = file.status == colorspace::FileStatus::kConverted;
      if (!result.succeeded) std::fprintf(lines, "%s failed\n", input_name.c_str());
    }
    std::fclose(lines);
    result.lines.assign(buffer, size);
    std::free(buffer);
    return result;
  };
  watch::run(settings, convert, [](const std::string& lines) {
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
  });
  return kExitSuccess;
}

}  // namespace iccdrop::cli
