// The words of the failures and of the notes that follow them: the text
// message and, for --json, a stable word for each (error_kind, note_kind).
// Both report writers take them from here.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>

#include "engine/report.h"

namespace iccdrop::cli {

// Whose name a message begins with.
enum class About { kInput, kOutput, kNothing };

struct FailureWording {
  engine::FileStatus status;
  About about;
  std::string_view text;  // after the name, or the whole message (kNothing)
  std::string_view kind;  // --json's error_kind
};

inline constexpr FailureWording kFailureWordings[] = {
    {engine::FileStatus::kInputDidNotOpen, About::kInput, " did not open",
     "input-did-not-open"},
    {engine::FileStatus::kInputNotRegular, About::kInput, " is not a regular file",
     "input-not-regular"},
    {engine::FileStatus::kInputNotPdf, About::kInput, " is not a PDF file",
     "input-not-pdf"},
    {engine::FileStatus::kOutputDidNotOpen, About::kOutput, " did not open",
     "output-did-not-open"},
    {engine::FileStatus::kOutputIsInput, About::kOutput, " is the input file",
     "output-is-input"},
    {engine::FileStatus::kLinkInSharedFolder, About::kOutput,
     " is a link in a shared folder", "link-in-shared-folder"},
    {engine::FileStatus::kOtherUsersFile, About::kOutput,
     " belongs to another user in a shared folder", "other-users-file-in-shared-folder"},
    {engine::FileStatus::kInputNotRead, About::kInput, " could not be read",
     "input-not-read"},
    {engine::FileStatus::kOutputNotWritten, About::kOutput, " could not be written",
     "output-not-written"},
    {engine::FileStatus::kInputChanged, About::kInput, " changed while it was read",
     "input-changed"},
    {engine::FileStatus::kOutOfMemory, About::kNothing, "Out of memory", "out-of-memory"},
};

// What became of an output written in place after a failure; always about
// the output.
struct NoteWording {
  stream::OutputFile::Abandoned abandoned;
  std::string_view text;  // after the output's name
  std::string_view kind;  // --json's note_kind
};

inline constexpr NoteWording kNoteWordings[] = {
    {stream::OutputFile::Abandoned::kRemoved, " was removed", "output-removed"},
    {stream::OutputFile::Abandoned::kEmptied, " could not be removed and was emptied",
     "output-emptied"},
    {stream::OutputFile::Abandoned::kNotRemoved, " could not be removed",
     "output-not-removed"},
};

// The row of a failure; none for kConverted and kUnchanged.
constexpr const FailureWording* failure_wording(engine::FileStatus status) {
  for (const FailureWording& row : kFailureWordings)
    if (row.status == status) return &row;
  return nullptr;
}
constexpr const NoteWording* note_wording(stream::OutputFile::Abandoned abandoned) {
  for (const NoteWording& row : kNoteWordings)
    if (row.abandoned == abandoned) return &row;
  return nullptr;
}
// One row for each failure, and none for success (counted, not looked up:
// a pointer compared in a constant expression is not one under UBSan).
constexpr bool failures_worded_once() {
  using engine::FileStatus;
  for (auto s = static_cast<int>(FileStatus::kConverted);
       s <= static_cast<int>(FileStatus::kOutOfMemory); ++s) {
    int rows = 0;
    for (const FailureWording& row : kFailureWordings)
      if (row.status == static_cast<FileStatus>(s)) ++rows;
    if (rows != (s >= static_cast<int>(FileStatus::kInputDidNotOpen) ? 1 : 0))
      return false;
  }
  return std::size(kFailureWordings) ==
         static_cast<std::size_t>(FileStatus::kOutOfMemory) - 1;
}
static_assert(failures_worded_once());
static_assert(std::size(kNoteWordings) == 3);

// «in.pdf did not open», without a line end.
[[nodiscard]] std::string failure_message(const FailureWording& wording,
                                          std::string_view input,
                                          std::string_view output);
[[nodiscard]] std::string note_message(const NoteWording& wording,
                                       std::string_view output);

}  // namespace iccdrop::cli
