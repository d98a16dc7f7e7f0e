#include "cli/driver.h"

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "cli/json_report.h"
#include "cli/options.h"
#include "cli/output_name.h"
#include "cli/report_out.h"
#include "cli/text_report.h"
#include "cli/watch_command.h"
#include "engine/convert_file.h"
#include "stream/output_file.h"
#include "stream/spooled_input.h"

#ifndef ICCDROP_VERSION
#define ICCDROP_VERSION "1.0.0"
#endif

namespace iccdrop::cli {
namespace {

using engine::FileResult;
using engine::FileStatus;

constexpr const char* kUsage =
    "Usage: iccdrop <input PDF file name> [<output PDF file name>]\n"
    "\tDefault output for foo.pdf is foo3.pdf\n"
    "Options, before the file names:\n"
    "\t-n, --dry-run  print the changes, write no file\n"
    "\t--all          convert every ICC-based colour space that can be rewritten\n"
    "\t-i, --in-place convert every file named, each replaced by its conversion\n"
    "\t--json         report each file as one line of JSON instead\n"
    "\t--watch IN OUT convert each file dropped into folder IN into folder OUT\n"
    "\t               (after it: -j N, --settle S, --poll S, --done DIR,\n"
    "\t               --failed DIR, --scan-only; see the manual)\n"
    "\t-h, --help     print this text\n"
    "\t--version      print the version\n"
    "\t--             end the options: a later '-' begins a file name\n"
    "The file name - is standard input, or as the output standard output.\n";

// The name that stands for standard input or output.
constexpr std::string_view kStandard = "-";

// Converts one file and reports how it went, as text or as JSON; true on
// success. `input` and `output` may be "-": standard input is copied to a
// temporary file first, and with standard output as the output the report
// goes to standard error.
bool convert_one(const Options& options, const stream::ClosedStandard& closed,
                 const std::string& input, const std::string& output, bool in_place) {
  engine::FileJob job;
  job.input = input;
  job.output = output;
  job.all = options.all;
  job.dry_run = options.dry_run;
  job.in_place = in_place;
  const bool to_standard_output = output == kStandard;
  ReportOut out(to_standard_output ? stderr : stdout);
  std::optional<TextReport> text;
  std::optional<JsonReport> json;
  engine::Report& report =
      options.json
          ? static_cast<engine::Report&>(json.emplace(out, input, output, options.all))
          : text.emplace(out, input, output);
  job.report = &report;
  // What fails before the run is reported as the run's own failures are.
  const auto fail = [&report](FileStatus status) {
    report.ended(FileResult{status});
    return false;
  };
  if (to_standard_output) {
    if (closed.output) return fail(FileStatus::kOutputDidNotOpen);
    job.output_fd = STDOUT_FILENO;
  }
  stream::Spooled spooled;
  if (input == kStandard) {
    if (!closed.input) spooled = stream::spool_input(STDIN_FILENO);
    if (spooled.status != stream::SpoolStatus::kOk) {
      return fail(spooled.status == stream::SpoolStatus::kReadError
                      ? FileStatus::kInputNotRead
                      : FileStatus::kInputDidNotOpen);
    }
    job.input_fd = spooled.fd;
  }
  const FileResult result = engine::convert_file(job);
  if (spooled.fd >= 0) ::close(spooled.fd);
  return result.status == FileStatus::kConverted ||
         result.status == FileStatus::kUnchanged;
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
  if (options.files.empty() || options.bad ||
      (options.watch && options.files.size() != 2)) {
    std::fputs(kUsage, stdout);
    std::fflush(stdout);
    return kExitFailure;
  }
  if (options.watch) return run_watch_command(options);
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
