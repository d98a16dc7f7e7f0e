#include "cli/options.h"

#include <string_view>

namespace iccdrop::cli {

Options parse_options(std::span<const char* const> args) {
  Options options;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "-n" || arg == "--dry-run") {
      options.dry_run = true;
    } else if (arg == "--all") {
      options.all = true;
    } else if (arg == "-i" || arg == "--in-place") {
      options.in_place = true;
    } else if (arg == "--json") {
      options.json = true;
    } else {
      break;  // the first file name
    }
  }
  options.files = args.subspan(i);
  return options;
}

}  // namespace iccdrop::cli
