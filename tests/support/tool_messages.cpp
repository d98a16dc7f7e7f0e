#include "support/tool_messages.h"

#include <array>
#include <cassert>

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

}  // namespace iccdrop::testing
