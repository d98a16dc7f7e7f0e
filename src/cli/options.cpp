#include "cli/options.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace iccdrop::cli {
namespace {

// A number of seconds: «2», «0.5»; none for anything else.
// (strtod: the process keeps the "C" locale, so the point is «.».)
bool seconds_of(const char* text, double& seconds) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0) || value > 86400) return false;
  seconds = value;
  return true;
}

}  // namespace

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
    } else if (arg == "--watch") {
      options.watch = true;
    } else if (options.watch && arg == "--scan-only") {
      // A watch's options are options only after --watch: elsewhere «-j»
      // names a file, as it always has.
      options.scan_only = true;
    } else if (options.watch && (arg == "-j" || arg == "--settle" || arg == "--poll" ||
                                 arg == "--done" || arg == "--failed")) {
      // These take the next argument, whatever it is.
      if (++i == args.size()) {
        options.bad = true;
        break;
      }
      const std::string_view value = args[i];
      if (arg == "-j") {
        unsigned jobs = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), jobs);
        options.bad = options.bad || error != std::errc{} ||
                      end != value.data() + value.size() || jobs < 1 || jobs > 1024;
        options.jobs = jobs;
      } else if (arg == "--settle" || arg == "--poll") {
        if (!seconds_of(args[i], arg == "--settle" ? options.settle : options.poll))
          options.bad = true;
      } else {
        (arg == "--done" ? options.done : options.failed) = args[i];
      }
    } else {
      break;  // the first file name
    }
  }
  options.files = args.subspan(i);
  if (options.watch && (options.in_place || options.dry_run)) options.bad = true;
  return options;
}

}  // namespace iccdrop::cli
