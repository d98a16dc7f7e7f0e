#include "cli/watch_command.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/driver.h"
#include "cli/json_report.h"
#include "cli/report_out.h"
#include "cli/text_report.h"
#include "engine/convert_file.h"
#include "watch/hot_folder.h"

namespace iccdrop::cli {
namespace {

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

// Tells each event to two reports: the lines a job prints and its report
// file.
class BothReports final : public engine::Report {
 public:
  BothReports(engine::Report& first, engine::Report& second)
      : first_(first), second_(second) {}
  void output_chosen() override {
    first_.output_chosen();
    second_.output_chosen();
  }
  void changed(const engine::ChangeEvent& change) override {
    first_.changed(change);
    second_.changed(change);
  }
  void left(const engine::LeftEvent& left) override {
    first_.left(left);
    second_.left(left);
  }
  void unread(const engine::UnreadEvent& stream) override {
    first_.unread(stream);
    second_.unread(stream);
  }
  void ended(const engine::FileResult& result) override {
    first_.ended(result);
    second_.ended(result);
  }

 private:
  engine::Report& first_;
  engine::Report& second_;
};

}  // namespace

int run_watch_command(const Options& options) {
  watch::Settings settings;
  settings.in = options.files[0];
  settings.out = options.files[1];
  if (options.done != nullptr) settings.done = options.done;
  if (options.failed != nullptr) settings.failed = options.failed;
  const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  settings.workers =
      options.jobs > 0 ? options.jobs : static_cast<unsigned>(std::max(1L, cores));
  settings.settle = milliseconds_of(options.settle);
  settings.poll = milliseconds_of(std::max(options.poll, 0.05));
  settings.events = !options.scan_only;
  std::string culprit;
  if (const char* failure = start_failure(watch::prepare(settings, culprit))) {
    std::fprintf(stdout, failure, culprit.c_str());
    std::fflush(stdout);
    return kExitFailure;
  }
  // Each job as a two-name run of a file that must be a PDF, its output
  // flushed by the watch before its original moves.
  const auto convert = [&options](int input, const std::string& input_name,
                                  const std::string& output_name) {
    watch::JobResult job_result;
    ReportOut lines(job_result.lines), file(job_result.report);
    std::optional<TextReport> text;
    std::optional<JsonReport> json_line;
    engine::Report& shown = options.json
                                ? static_cast<engine::Report&>(json_line.emplace(
                                      lines, input_name, output_name, options.all))
                                : text.emplace(lines, input_name, output_name);
    JsonReport kept(file, input_name, output_name, options.all);
    BothReports both(shown, kept);
    engine::FileResult result{engine::FileStatus::kInputDidNotOpen};
    if (input < 0) {
      both.ended(result);
    } else {
      engine::FileJob job;
      job.input = input_name;
      job.input_fd = input;
      job.output = output_name;
      job.all = options.all;
      job.pdf_only = true;
      job.report = &both;
      result = engine::convert_file(job);
    }
    lines.flush();
    file.flush();
    job_result.succeeded = result.status == engine::FileStatus::kConverted;
    return job_result;
  };
  const bool watched = watch::run(settings, convert, [](const std::string& lines) {
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
  });
  if (!watched) {
    // The folders checked a moment ago no longer open.
    std::fprintf(stdout, "%s did not open\n", settings.in.c_str());
    std::fflush(stdout);
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace iccdrop::cli
