#include "support/pdf_tools.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

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

namespace {

// qpdf --json=2 gives {"qpdf": [header, {"obj:7 0 R": {"value": ...}, ...}]}.
nlohmann::json objects_of(const std::string& qpdf, const std::string& file,
                          const std::string& password) {
  const RunResult dump = run_qpdf(
      qpdf, {"--json=2", "--json-key=qpdf", "--json-stream-data=none"}, file, password);
  const nlohmann::json json = nlohmann::json::parse(dump.out, nullptr, false);
  if (json.is_discarded() || !json.contains("qpdf") || json["qpdf"].size() != 2 ||
      !json["qpdf"][1].is_object()) {
    return nullptr;
  }
  return json["qpdf"][1];
}

void compare_values(const nlohmann::json& before, const nlohmann::json& after,
                    const std::string& where, ObjectsDiff& diff) {
  if (!diff.error.empty() || before == after) return;
  if (before.is_array() && before.size() == 2 && before[0] == "/ICCBased" &&
      after.is_string()) {
    const std::string name = after.get<std::string>();
    if (name == "/DeviceGray" || name == "/DeviceRGB" || name == "/DeviceCMYK") {
      ++diff.rewritten;
      return;
    }
  }
  if (before.type() != after.type() || before.size() != after.size() ||
      !(before.is_object() || before.is_array())) {
    diff.error = where + ": " + before.dump() + " became " + after.dump();
    return;
  }
  if (before.is_array()) {
    for (std::size_t i = 0; i < before.size(); ++i) {
      compare_values(before[i], after[i], where + "[" + std::to_string(i) + "]", diff);
    }
    return;
  }
  for (const auto& [key, value] : before.items()) {
    if (!after.contains(key)) {
      diff.error = where + ": " + key + " is gone";
      return;
    }
    compare_values(value, after[key], where + " " + key, diff);
  }
}

}  // namespace

ObjectsDiff compare_objects(const std::string& qpdf, const std::string& input,
                            const std::string& output, const std::string& password) {
  ObjectsDiff diff;
  const nlohmann::json before = objects_of(qpdf, input, password);
  const nlohmann::json after = objects_of(qpdf, output, password);
  if (!before.is_object() || !after.is_object()) {
    diff.error = "qpdf --json gave no object map";
    return diff;
  }
  compare_values(before, after, "", diff);
  return diff;
}

}  // namespace iccdrop::testing
