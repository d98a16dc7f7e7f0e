// The command line: the options and file names, the wording of every
// message and the exit status. Each file is converted by one call of
// convert_file (engine/convert_file.h).
#pragma once

#include <span>

#include "stream/output_file.h"

namespace iccdrop::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;

// `args` are the arguments after the program name; `closed`, the standard
// descriptors that were closed at the start. Messages go to standard
// output, or to standard error where standard output is the output.
// Returns the exit status.
[[nodiscard]] int run_iccdrop(std::span<const char* const> args,
                              const stream::ClosedStandard& closed);

}  // namespace iccdrop::cli
