// Standard input (a pipe, a socket, a terminal) made a file that the passes
// can read twice: its bytes copied into an unnamed temporary file, which
// vanishes with its descriptor however the process ends.
#pragma once

namespace iccdrop::stream {

enum class SpoolStatus {
  kOk,
  kDidNotOpen,  // no temporary file could be made, or written to its end
  kReadError,   // the input gave an error before its end
};

struct Spooled {
  SpoolStatus status = SpoolStatus::kDidNotOpen;
  int fd = -1;  // kOk: the copy, read from its start; the caller closes it
};

// Copies what `from` gives, to its end, into a new file in $TMPDIR, or /tmp
// where that is not set: unnamed (O_TMPFILE) where the system can, else
// named and removed at once.
[[nodiscard]] Spooled spool_input(int from);

}  // namespace iccdrop::stream
