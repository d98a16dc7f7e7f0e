#include "cli/output_name.h"

namespace iccdrop::cli {

std::string derive_output_name(std::string_view input_name) {
  std::string name(input_name);
  const std::size_t slash = name.rfind('/');
  const std::size_t file_start = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot < file_start) return name + "3.pdf";
  name.insert(dot, 1, '3');
  return name;
}

}  // namespace iccdrop::cli
