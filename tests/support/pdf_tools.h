// The PDF software the tests check iccdrop's output with, found on PATH:
// qpdf (structure, JSON dump, page count) and pdftoppm (rendering). A test
// that needs a missing tool reports itself skipped, never passed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/run_binary.h"

namespace iccdrop::testing {

// The full path of an executable `name` on PATH, or none.
[[nodiscard]] std::optional<std::string> find_program(std::string_view name);

// `qpdf ARGS... FILE`, with --password when `password` is not empty.
[[nodiscard]] RunResult run_qpdf(const std::string& qpdf, std::vector<std::string> args,
                                 const std::string& file,
                                 const std::string& password = "");

// `qpdf --check`: 0 clean, 3 warnings, 2 errors.
[[nodiscard]] RunResult qpdf_check(const std::string& qpdf, const std::string& file,
                                   const std::string& password = "");

// `qpdf --show-npages`, or none when qpdf fails.
[[nodiscard]] std::optional<int> qpdf_page_count(const std::string& qpdf,
                                                 const std::string& file,
                                                 const std::string& password = "");

}  // namespace iccdrop::testing
