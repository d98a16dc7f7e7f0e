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

// qpdf's dumps of every object of two files, object streams' objects
// included, compared: the same objects, alike but where the first holds an
// ICC-based array «[/ICCBased 5 0 R]» and the second a device colour-space
// name (counted in `rewritten`). `error` says the first other difference.
struct ObjectsDiff {
  int rewritten = 0;
  std::string error;
};
[[nodiscard]] ObjectsDiff compare_objects(const std::string& qpdf,
                                          const std::string& input,
                                          const std::string& output,
                                          const std::string& password = "");

}  // namespace iccdrop::testing
