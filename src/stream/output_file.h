// The output file of a run, written so that no failure or kill leaves a
// partial file under the output's name: a regular output is written as a
// new file in its folder and renamed onto the name only when complete; until
// then the name keeps what it held. Also the process-wide setup that this
// needs: open standard descriptors and signals that clean up.
#pragma once

#include <sys/stat.h>

#include <string>

#include "stream/output_path.h"

namespace iccdrop::stream {

// Which of descriptors 0, 1 and 2 were closed when the process started.
struct ClosedStandard {
  bool input = false, output = false, error = false;
};

// Once, before any file is opened. Descriptors 0, 1 and 2 that are closed
// are opened on /dev/null, so that neither file of the run can become one of
// them; which ones were is returned. SIGPIPE and SIGXFSZ are ignored, so that
// a write into a closed pipe or past the file-size limit fails and is
// reported. SIGINT, SIGTERM and SIGHUP remove the unfinished file, then end
// the process by the same signal.
ClosedStandard prepare_process();

// What open() refuses before it opens or makes anything, for a run that
// writes nothing: the same walk of `name` and its refusals, and kIsInput
// where the output is `input` itself but is not meant to be
// (`replaces_input`, a conversion in place). kOpen otherwise, an output that
// would not open included.
[[nodiscard]] OutputStatus check_output(const std::string& name, const struct stat& input,
                                        bool replaces_input);

class OutputFile {
 public:
  // Without unnamed files, the new file is a hidden named one: what systems
  // without O_TMPFILE get, and what tests choose to reach that path.
  explicit OutputFile(bool unnamed_files = true) : unnamed_files_(unnamed_files) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { abandon(); }

  // Prepares `name` for writing. The name is walked once (OutputPath, whose
  // refusals come first of all), and every later step works from the folder
  // the walk holds, never from the name again: a link planted at the name
  // after the walk is replaced by the rename, not followed. A regular file,
  // or a name that does not exist yet, gets a new unnamed file (or, where
  // the system has none, a hidden uniquely named one) in that folder, the
  // folder of the file the name leads to through symbolic links. Where no
  // file can be created there but an existing output is writable, that file
  // is emptied and written in place. Anything else (a FIFO, a device) is
  // opened and written directly. kIsInput when the output would be `input`
  // itself. With `replaces_input`, the output is meant to be `input` (a
  // conversion in place): kDidNotOpen where it is not, or where no new file
  // can be made beside it, since writing over the input while it is read
  // would lose it.
  OutputStatus open(const std::string& name, const struct stat& input,
                    bool replaces_input = false);

  // Writes to a copy of descriptor `fd` (standard output), directly, as to a
  // FIFO; kIsInput where it is `input`.
  OutputStatus open_descriptor(int fd, const struct stat& input);

  int fd() const { return fd_; }
  bool is_regular() const { return mode_ != Mode::kDirect && mode_ != Mode::kNone; }

  // Makes the new file a clone of `input`, sharing its blocks, where the
  // file system can (XFS, btrfs: FICLONE); false where it cannot, and the
  // file is then still empty.
  [[nodiscard]] bool clone_from(int input);

  // Puts the finished output under its name: closes the file and renames it
  // into place. False when any step fails; abandon() then removes the file
  // (the destructor does too) and says what became of an output written in
  // place.
  [[nodiscard]] bool commit();

  // What abandon() did to an output written in place.
  enum class Abandoned { kNothing, kRemoved, kEmptied, kNotRemoved };

  // Gives up an unfinished output: a new file is removed and the name keeps
  // what it held. Written in place, the output is removed, or emptied where
  // it cannot be removed, and the result says which; otherwise kNothing.
  Abandoned abandon();

 private:
  enum class Mode { kNone, kUnnamed, kHidden, kInPlace, kDirect };

  OutputStatus open_directly(int folder, const std::string& name, int flags);
  bool create_unnamed();
  bool create_hidden();
  bool link_unnamed(std::string& linked);

  bool unnamed_files_ = true;
  Mode mode_ = Mode::kNone;
  int fd_ = -1;
  OutputPath place_;    // the folder held and the entry that gets replaced
  std::string hidden_;  // kHidden: the new file's name in that folder
};

}  // namespace iccdrop::stream
