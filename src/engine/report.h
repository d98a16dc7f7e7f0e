// What a run of convert_file tells as it goes: the events of one file's
// conversion, in the order they happen, and how it ended. The engine words
// none of it; a front end renders the events (the command line's text
// lines or its JSON object, a hot folder's report file).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "stream/output_file.h"

namespace iccdrop::engine {

enum class FileStatus {
  kConverted,         // the output holds the result (a dry run: would hold)
  kUnchanged,         // in place, nothing changed: the file was not touched
  kInputDidNotOpen,   // the input's name
  kInputNotRegular,   // the input's name
  kInputNotPdf,       // the input's name: no «%PDF-» where a job asked for one
  kOutputDidNotOpen,  // the output's name, from here on
  kOutputIsInput,
  kLinkInSharedFolder,
  kOtherUsersFile,
  kInputNotRead,  // the input's name
  kOutputNotWritten,
  kInputChanged,  // the input's name
  kOutOfMemory,
};

struct FileResult {
  FileStatus status = FileStatus::kConverted;
  // What became of an output written in place after a failure.
  stream::OutputFile::Abandoned abandoned = stream::OutputFile::Abandoned::kNothing;
  std::uint64_t bytes = 0;  // of the input, read by the first pass
  double seconds = 0;       // from the start of the run to its end
};

// Where an array lies: at a byte offset of the file, or in the data of a
// compressed object stream, whose inflated bytes have no offset in the file.
struct Place {
  std::uint64_t offset = 0;  // the file offset of the array's '[', outside object streams
  std::optional<std::int32_t>
      object_stream;  // the number of the object stream holding it
};

// An ICC-based colour space rewritten: «7 0 obj [/ICCBased 5 0 R]» named by
// «/Cs1 7 0 R» gives name "Cs1", replacement "/DeviceRGB". The views live
// until the call returns.
struct ChangeEvent {
  std::string_view name;  // the bytes the file has, without '/'
  std::string_view
      replacement;  // "/DeviceGray", "/DeviceRGB", "/DeviceCMYK", "*0*", "*2*"
  Place place;
};

// --all: an ICC-based colour space left as it is, and why: "the profile
// declares /N 2".
struct LeftEvent {
  std::string_view name;
  std::string_view reason;
  Place place;
};

// --all: an object stream whose objects were not read, and why: "the file is
// encrypted".
struct UnreadEvent {
  std::int32_t object = 0, generation = 0;
  std::string_view reason;
};

// The events of one run. Calls come one at a time: output_chosen at most
// once, first; then the changes, in the order the rewrites are made; then
// (--all) the colour spaces left and the object streams unread, in file
// order; ended exactly once, last. A large file's later changes may come
// from a second thread, never while another call runs. Every failure comes
// through ended; the changes told before it were made in the unfinished
// output, which the run gave up.
class Report {
 public:
  virtual ~Report() = default;
  // The input is open and is a regular file; the output is opened next.
  virtual void output_chosen() = 0;
  virtual void changed(const ChangeEvent& change) = 0;
  virtual void left(const LeftEvent& left) = 0;
  virtual void unread(const UnreadEvent& stream) = 0;
  virtual void ended(const FileResult& result) = 0;
};

}  // namespace iccdrop::engine
