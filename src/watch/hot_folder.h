// A hot folder: each complete file dropped into a watched folder is
// converted into an output folder, then its original moves to a folder of
// done or of failed originals, its report beside it. This unit finds the
// files (events and scans, the settle rule), takes each once, runs the
// workers and moves the originals only after their outputs are on disk; the
// conversion and the wording of reports are the caller's.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace iccdrop::watch {

struct Settings {
  std::string in;      // the watched folder
  std::string out;     // where outputs go, under the original's name
  std::string done;    // originals converted; empty: IN/done
  std::string failed;  // originals that failed; empty: IN/failed
  unsigned workers = 1;
  std::chrono::milliseconds settle{2000};  // size and time unchanged this long
  std::chrono::milliseconds poll{10000};   // between full scans of IN
  bool events = true;                      // inotify, where the system has it
};

// Why a watch did not start; `name` in Folders says which folder.
enum class StartStatus {
  kStarted,
  kMissing,  // does not exist or cannot be looked at
  kNotFolder,
  kNotWritable,
  kOutputInsideInput,  // OUT is IN or lies inside it
  kOtherFileSystem,    // done or failed is on another file system than IN
  kNotCreated,         // done or failed could not be made
};

// The result of one job, from the caller's conversion.
struct JobResult {
  bool succeeded = false;
  std::string lines;   // for standard output, as a run of the command line prints them
  std::string report;  // the report file's contents (NAME.json)
};

// Converts the original open as `input` (a regular file, read from the
// descriptor only; `input_name` names it in messages) into `output_name`,
// written durably (flushed, with its folder, before it returns). Called
// from several threads at once.
using ConvertJob = std::function<JobResult(int input, const std::string& input_name,
                                           const std::string& output_name)>;

// Checks and prepares the folders (done and failed made where missing).
// On failure `culprit` is the folder at fault. From here on the stop
// signals wait for run(), so call it first, before any thread starts.
[[nodiscard]] StartStatus prepare(Settings& settings, std::string& culprit);

// Watches until SIGINT, SIGTERM or SIGHUP, then lets the running jobs
// finish and returns true; false where the folders could not be opened.
// `print` takes each job's lines, one job at a time.
[[nodiscard]] bool run(const Settings& settings, const ConvertJob& convert,
                       const std::function<void(const std::string&)>& print);

}  // namespace iccdrop::watch
