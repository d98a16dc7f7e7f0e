// The conversion of one file, the tool's engine: opens the input, opens the
// output so that no failure leaves its name changed, runs both passes, tells
// its report of each change, and puts the output in place or gives it up.
// It words no message and prints nothing: it says what happened
// (report.h), and the caller says it.
#pragma once

#include <string>

#include "engine/report.h"

namespace iccdrop::engine {

struct FileJob {
  std::string input;         // the input's name
  int input_fd = -1;         // where not -1, the input open already (standard
                             // input's copy): read from it, never by name
  std::string output;        // the output's name, unless output_fd is given
  int output_fd = -1;        // where not -1, written to a copy of it (standard output)
  bool all = false;          // --all's recognition
  bool dry_run = false;      // read and report, write nothing
  bool in_place = false;     // the output is the input, replaced; left
                             // untouched where nothing changes
  bool pdf_only = false;     // an input without «%PDF-» in its first 1,024 bytes
                             // fails (kInputNotPdf); otherwise any file is read
  Report* report = nullptr;  // where not null, told each event of the run
};

// Converts one file as `job` says. The input is never written; on any
// failure the output's name keeps what it held (an output written in place
// is removed or emptied, as `abandoned` says). The result is the one the
// report's ended() is given. Each job's events go to its own report only.
[[nodiscard]] FileResult convert_file(const FileJob& job);

}  // namespace iccdrop::engine
