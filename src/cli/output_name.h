// The output file name derived from the input's when none is given.
#pragma once

#include <string>
#include <string_view>

namespace iccdrop::cli {

// Inserts '3' before the last '.' of the file name itself, or appends "3.pdf"
// when the file name has no '.': «foo.pdf» → «foo3.pdf», «foo» → «foo3.pdf»,
// «a.b.pdf» → «a.b3.pdf», «foo.» → «foo3.», «.pdf» → «3.pdf». A '.' in a
// directory never counts: «dir.old/foo» → «dir.old/foo3.pdf».
[[nodiscard]] std::string derive_output_name(std::string_view input_name);

}  // namespace iccdrop::cli
