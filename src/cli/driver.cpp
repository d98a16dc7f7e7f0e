#include "cli/driver.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "cli/options.h"
#include "cli/output_name.h"
#include "engine/convert_file.h"
#include "stream/output_file.h"
#include "stream/spooled_input.h"

#ifndef ICCDROP_VERSION
#define ICCDROP_VERSION "1.0.0"
#endif

namespace iccdrop::cli {
namespace {

using engine::FileStatus;
using Abandoned = stream::OutputFile::Abandoned;

constexpr const char* kUsage =
    "Usage: iccdrop <input PDF file name> [<output PDF file name>]\n"
    "\tDefault output for foo.pdf is foo3.pdf\n"
    "Options, before the file names:\n"
    "\t-n, --dry-run  print the changes, write no file\n"
    "\t--all          convert every ICC-based colour space that can be rewritten\n"
    "\t-i, --in-place convert every file named, each replaced by its conversion\n"
    "\t-h, --help     print this text\n"
    "\t--version      print the version\n"
    "\t--             end the options: a later '-' begins a file name\n"
    "The file name - is standard input, or as the output standard output.\n";

// The name that stands for standard input or output.
constexpr std::string_view kStandard = "-";

// The report of a run is a report: a closed pipe or a full device there
// does not change the run's outcome, so its errors are not checked.
void print(std::FILE* report, const char* format, const char* name) {
  std::fprintf(report, format, name);
  std::fflush(report);
}

// The message of each failure, and the name it is about.
struct Failure {
  const char* format;
  bool about_input;
};
Failure failure_of(FileStatus status) {
  switch (status) {
    case FileStatus::kConverted:
    case FileStatus::kUnchanged:
      break;
    case FileStatus::kInputDidNotOpen:
      return {"%s did not open\n", true};
    case FileStatus::kInputNotRegular:
      return {"%s is not a regular file\n", true};
    case FileStatus::kOutputDidNotOpen:
      return {"%s did not open\n", false};
    case FileStatus::kOutputIsInput:
      return {"%s is the input file\n", false};
    case FileStatus::kLinkInSharedFolder:
      return {"%s is a link in a shared folder\n", false};
    case FileStatus::kOtherUsersFile:
      return {"%s belongs to another user in a shared folder\n", false};
    case FileStatus::kInputNotRead:
      return {"%s could not be read\n", true};
    case FileStatus::kOutputNotWritten:
      return {"%s could not be written\n", false};
    case FileStatus::kInputChanged:
      return {"%s changed while it was read\n", true};
    case FileStatus::kOutOfMemory:
      return {"Out of memory\n", false};
  }
  return {nullptr, false};
}

const char* note_of(Abandoned abandoned) {
  switch (abandoned) {
    case Abandoned::kNothing:
      break;
    case Abandoned::kRemoved:
      return "%s was removed\n";
    case Abandoned::kEmptied:
      return "%s could not be removed and was emptied\n";
    case Abandoned::kNotRemoved:
      return "%s could not be removed\n";
  }
  return nullptr;
}

// Converts one file and says how it went; true on success. `input` and
// `output` may be "-": standard input is copied to a temporary file first,
// and with standard output as the output every line goes to standard error.
bool convert_one(const Options& options, const stream::ClosedStandard& closed,
                 const std::string& input, const std::string& output, bool in_place) {
  engine::FileJob job;
  job.input = input;
  job.output = output;
  job.all = options.all;
  job.dry_run = options.dry_run;
  job.in_place = in_place;
  const bool to_standard_output = output == kStandard;
  std::FILE* report = to_standard_output ? stderr : stdout;
  job.lines = report;
  if (to_standard_output) {
    if (closed.output) {
      print(report, "%s did not open\n", output.c_str());
      return false;
    }
    job.output_fd = STDOUT_FILENO;
  }
  stream::Spooled spooled;
  if (input == kStandard) {
    if (!closed.input) spooled = stream::spool_input(STDIN_FILENO);
    if (spooled.status != stream::SpoolStatus::kOk) {
      print(report,
            spooled.status == stream::SpoolStatus::kReadError ? "%s could not be read\n"
                                                              : "%s did not open\n",
            input.c_str());
      return false;
    }
    job.input_fd = spooled.fd;
  }
  job.on_input_open = [&] { print(report, "Output file is %s\n", output.c_str()); };
  const engine::FileResult result = engine::convert_file(job);
  if (spooled.fd >= 0) ::close(spooled.fd);
  const Failure failure = failure_of(result.status);
  if (failure.format == nullptr) return true;
  print(report, failure.format, (failure.about_input ? input : output).c_str());
  if (const char* note = note_of(result.abandoned)) print(report, note, output.c_str());
  return false;
}

}  // namespace

int run_iccdrop(std::span<const char* const> args, const stream::ClosedStandard& closed) {
  const Options options = parse_options(args);
  if (options.help) {
    std::fputs(kUsage, stdout);
    std::fflush(stdout);
    return kExitSuccess;
  }
  if (options.version) {
    std::fputs("iccdrop " ICCDROP_VERSION "\n", stdout);
    std::fflush(stdout);
    return kExitSuccess;
  }
  if (options.files.empty()) {
    std::fputs(kUsage, stdout);
    std::fflush(stdout);
    return kExitFailure;
  }
  if (options.in_place) {
    // Every name is an input, replaced by its conversion; a failure is
    // reported and the run goes on with the next.
    bool failed = false;
    for (const char* name : options.files) {
      const bool standard = name == kStandard;
      if (!convert_one(options, closed, name, name, !standard)) failed = true;
    }
    return failed ? kExitFailure : kExitSuccess;
  }
  const std::string input = options.files[0];
  const std::string output = options.files.size() >= 2 ? std::string(options.files[1])
                             : input == kStandard      ? std::string(kStandard)
                                                       : derive_output_name(input);
  return convert_one(options, closed, input, output, false) ? kExitSuccess : kExitFailure;
}

}  // namespace iccdrop::cli
