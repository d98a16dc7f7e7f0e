// The conversion of one file, the tool's engine: opens the input, opens the
// output so that no failure leaves its name changed, runs both passes, puts
// out a line for each change, and puts the output in place or gives it up.
// It words no message: it says what happened, and the caller says it.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "stream/output_file.h"

namespace iccdrop::engine {

enum class FileStatus {
  kConverted,         // the output holds the result (a dry run: would hold)
  kUnchanged,         // in place, nothing changed: the file was not touched
  kInputDidNotOpen,   // the input's name
  kInputNotRegular,   // the input's name
  kOutputDidNotOpen,  // the output's name, from here on
  kOutputIsInput,
  kLinkInSharedFolder,
  kOtherUsersFile,
  kInputNotRead,  // the input's name
  kOutputNotWritten,
  kInputChanged,  // the input's name
  kOutOfMemory,
};

struct FileJob {
  std::string input;          // the input's name
  int input_fd = -1;          // where not -1, the input open already (standard
                              // input's copy): read from it, never by name
  std::string output;         // the output's name, unless output_fd is given
  int output_fd = -1;         // where not -1, written to a copy of it (standard output)
  bool all = false;           // --all's recognition
  bool dry_run = false;       // read and report, write nothing
  bool in_place = false;      // the output is the input, replaced; left
                              // untouched where nothing changes
  std::FILE* lines = stdout;  // where the change lines go
  // Called once the input is open and regular, before the output is.
  std::function<void()> on_input_open;
};

struct FileResult {
  FileStatus status = FileStatus::kConverted;
  // What became of an output written in place after a failure.
  stream::OutputFile::Abandoned abandoned = stream::OutputFile::Abandoned::kNothing;
};

// Converts one file as `job` says. The input is never written; on any
// failure the output's name keeps what it held (an output written in place
// is removed or emptied, as `abandoned` says).
[[nodiscard]] FileResult convert_file(const FileJob& job);

}  // namespace iccdrop::engine
