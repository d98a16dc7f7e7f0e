// Running the built binary in a test's temporary directory, and the checks
// every run shares.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

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

// A copy of the built binary at `path`, which another user can run wherever
// the build lies (where the folders on the way let them); false where it
// could not be made.
[[nodiscard]] inline bool copy_binary(const std::string& path) {
  const auto binary = testing::read_file(ICCDROP_BINARY);
  return binary && testing::write_file(path, *binary) && ::chmod(path.c_str(), 0755) == 0;
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
