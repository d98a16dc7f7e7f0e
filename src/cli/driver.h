// The whole run of the tool: the command line, opening and checking the
// files, pass 1 and pass 2, and every message and exit status. main() only
// calls run_iccdrop().
#pragma once

#include <span>

namespace iccdrop::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;

// `args` are the arguments after the program name. Messages go to standard
// output. Returns the exit status.
[[nodiscard]] int run_iccdrop(std::span<const char* const> args);

}  // namespace iccdrop::cli
