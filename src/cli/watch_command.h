// The command line's hot folder: `iccdrop --watch IN OUT` checks its folders
// and words their faults, then converts each job with the engine, as a
// two-name run would, and words each job's lines and report.
#pragma once

#include "cli/options.h"

namespace iccdrop::cli {

// Runs until stopped; the exit status.
[[nodiscard]] int run_watch_command(const Options& options);

}  // namespace iccdrop::cli
