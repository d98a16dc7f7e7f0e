#include "support/tool_messages.h"

#include <algorithm>
#include <array>
#include <cassert>

#include "support/pdf_tools.h"
#include "support/run_binary.h"

namespace iccdrop::testing {

std::optional<std::vector<ColorSpaceChange>> parse_changes(std::string_view text) {
  std::vector<ColorSpaceChange> changes;
  if (text == "-") return changes;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(';'), text.size());
    const std::string_view item = text.substr(0, end);
    const std::size_t colon = item.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == item.size()) {
      return std::nullopt;
    }
    changes.push_back(
        {std::string(item.substr(0, colon)), std::string(item.substr(colon + 1))});
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  if (changes.empty()) return std::nullopt;
  return changes;
}

std::string format_changes(const std::vector<ColorSpaceChange>& changes) {
  if (changes.empty()) return "-";
  std::string out;
  for (const ColorSpaceChange& change : changes) {
    if (!out.empty()) out += ';';
    out += change.name + ':' + change.replacement;
  }
  return out;
}

std::string expected_stdout(std::string_view output_name,
                            const std::vector<ColorSpaceChange>& changes) {
  std::string out = "Output file is " + std::string(output_name) + "\n";
  for (const ColorSpaceChange& change : changes) {
    out += "Changing ColorSpace '" + change.name + "' from /ICCBased to " +
           change.replacement + "\n";
  }
  return out;
}

std::string_view replacement_for_components(int components) {
  static constexpr std::array<std::string_view, 5> kNames = {"*0*", "/DeviceGray", "*2*",
                                                             "/DeviceRGB", "/DeviceCMYK"};
  assert(components >= 0 && components < 5);
  return kNames[static_cast<std::size_t>(components)];
}

std::optional<std::vector<nlohmann::json>> parse_reports(std::string_view lines) {
  std::vector<nlohmann::json> reports;
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    nlohmann::json report = nlohmann::json::parse(lines.substr(0, end), nullptr, false);
    if (!report.is_object()) return std::nullopt;
    reports.push_back(std::move(report));
    lines.remove_prefix(end + 1);
  }
  return reports;
}

std::string file_name_in(const nlohmann::json& report, const std::string& key) {
  if (!report.contains(key + "_hex")) return report.value(key, "");
  const std::string hex = report[key + "_hex"];
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string report_lines(const nlohmann::json& report) {
  std::string out;
  if (report["output"].is_string())
    out += "Output file is " + file_name_in(report, "output") + "\n";
  for (const auto& change : report["changes"]) {
    const std::string to = change["to"];
    out += "Changing ColorSpace '" + change["name"].get<std::string>() +
           "' from /ICCBased to " + (to.starts_with('*') ? "" : "/") + to + "\n";
  }
  for (const auto& left : report.value("left", nlohmann::json::array())) {
    out += "Leaving ColorSpace '" + left["name"].get<std::string>() +
           "' as /ICCBased: " + left["reason"].get<std::string>() + "\n";
  }
  for (const auto& stream :
       report.value("unread_object_streams", nlohmann::json::array())) {
    out += "Leaving the objects of object stream '" + stream["object"].dump() + " " +
           stream["generation"].dump() +
           " obj' unread: " + stream["reason"].get<std::string>() + "\n";
  }
  if (report.contains("error")) out += report["error"].get<std::string>() + "\n";
  if (report.contains("note")) out += report["note"].get<std::string>() + "\n";
  return out;
}

std::string json_name_of(std::string_view name) {
  std::string text;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      text += c;
    } else {
      constexpr std::string_view kHex = "0123456789ABCDEF";
      text += '#';
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
  }
  return text;
}

std::string comparable_lines(std::string_view text) {
  // «HEAD'NAME' TAIL»: the name lies between the head and the last «' TAIL».
  constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kNamed = {{
      {"Changing ColorSpace '", "' from /ICCBased to "},
      {"Leaving ColorSpace '", "' as /ICCBased: "},
  }};
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
    std::string line(text.substr(0, end));
    text.remove_prefix(end);
    for (const auto& [head, tail] : kNamed) {
      const std::size_t at = line.rfind(tail);
      if (!line.starts_with(head) || at == std::string::npos) continue;
      line = std::string(head) +
             json_name_of(line.substr(head.size(), at - head.size())) + line.substr(at);
    }
    lines.push_back(std::move(line));
  }
  // --all's «Leaving …» lines come together, in file order.
  const auto leaving = [](const std::string& line) {
    return line.starts_with("Leaving ");
  };
  const auto first = std::find_if(lines.begin(), lines.end(), leaving);
  const auto last = std::find_if_not(first, lines.end(), leaving);
  std::stable_partition(first, last, [](const std::string& line) {
    return line.starts_with("Leaving ColorSpace '");
  });
  std::string out;
  for (const std::string& line : lines) out += line;
  return out;
}

SchemaCheck check_reports(const std::string& schema, std::string_view lines) {
  const std::optional<std::string> python = find_program("python3");
  if (!python) return {"python3 is not installed", ""};
  TempDir dir;
  if (!write_file(dir.file("reports.jsonl"), lines)) return {std::nullopt, "not written"};
  // Status 2: no jsonschema module.
  constexpr const char* kCheck = R"(import json, sys
try:
    import jsonschema
except ImportError:
    sys.exit(2)
schema = json.load(open(sys.argv[1]))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
for number, line in enumerate(open(sys.argv[2], encoding="utf-8"), 1):
    for error in validator.iter_errors(json.loads(line)):
        print("line", number, "at", list(error.absolute_path), ":", error.message)
)";
  const RunResult result =
      run_program(*python, {"-c", kCheck, schema, dir.file("reports.jsonl")});
  if (result.exit_status == 2) return {"python3 has no jsonschema module", ""};
  if (result.exit_status != 0) return {std::nullopt, result.out + result.err};
  return {std::nullopt, result.out};
}

}  // namespace iccdrop::testing
