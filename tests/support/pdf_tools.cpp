#include "support/pdf_tools.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>

namespace iccdrop::testing {

std::optional<std::string> find_program(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    const std::size_t end = std::min(dirs.find(':'), dirs.size());
    const std::string dir(dirs.substr(0, end));
    dirs.remove_prefix(std::min(end + 1, dirs.size()));
    if (dir.empty()) continue;
    const std::string candidate =
        (std::filesystem::path(dir) / std::string(name)).string();
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

RunResult run_qpdf(const std::string& qpdf, std::vector<std::string> args,
                   const std::string& file, const std::string& password) {
  if (!password.empty()) args.push_back("--password=" + password);
  args.push_back(file);
  return run_program(qpdf, args);
}

RunResult qpdf_check(const std::string& qpdf, const std::string& file,
                     const std::string& password) {
  return run_qpdf(qpdf, {"--check"}, file, password);
}

std::optional<int> qpdf_page_count(const std::string& qpdf, const std::string& file,
                                   const std::string& password) {
  const RunResult result = run_qpdf(qpdf, {"--show-npages"}, file, password);
  if (!result.exited || (result.exit_status != 0 && result.exit_status != 3)) {
    return std::nullopt;
  }
  int pages = 0;
  const char* end = result.out.data() + result.out.size();
  if (std::from_chars(result.out.data(), end, pages).ec != std::errc{})
    return std::nullopt;
  return pages;
}

}  // namespace iccdrop::testing
