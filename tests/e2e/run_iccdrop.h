// Running the built binary in a test's temporary directory, and the checks
// every run shares.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_binary.h"

namespace iccdrop::e2e {

inline testing::RunResult run_iccdrop(const testing::TempDir& dir,
                                      const std::vector<std::string>& args,
                                      testing::RunOptions options = {}) {
  options.cwd = dir.path();
  return testing::run_program(ICCDROP_BINARY, args, options);
}

// Exited by itself with `status`, said nothing on standard error (where a
// sanitizer would report).
inline void expect_exit(const testing::RunResult& result, int status) {
  EXPECT_FALSE(result.timed_out);
  EXPECT_TRUE(result.exited) << "killed by signal " << result.signal;
  EXPECT_EQ(result.exit_status, status);
  EXPECT_EQ(result.err, "");
}

}  // namespace iccdrop::e2e
