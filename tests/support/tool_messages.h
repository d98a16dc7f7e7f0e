// The messages iccdrop prints on a successful run, built from a list of
// expected colour-space changes, and the «name:replacement;...» notation in
// which the corpus manifest and the .expected files list those changes; the
// lines of --json read back, held to the text and to the schema.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iccdrop::testing {

// One «Changing ColorSpace 'name' from /ICCBased to replacement» line.
struct ColorSpaceChange {
  std::string name;         // as printed: at most 7 bytes, no slash
  std::string replacement;  // "/DeviceGray", "/DeviceRGB", "/DeviceCMYK", "*0*", "*2*"
  friend bool operator==(const ColorSpaceChange&, const ColorSpaceChange&) = default;
};

// «Cs1:/DeviceRGB;Cs2:/DeviceGray», or «-» for none; none when malformed.
[[nodiscard]] std::optional<std::vector<ColorSpaceChange>> parse_changes(
    std::string_view text);
[[nodiscard]] std::string format_changes(const std::vector<ColorSpaceChange>& changes);

// «Output file is NAME» and one line per change, each ended by '\n'.
[[nodiscard]] std::string expected_stdout(std::string_view output_name,
                                          const std::vector<ColorSpaceChange>& changes);

// The device name that stands in for a profile of `components` (0 to 4).
[[nodiscard]] std::string_view replacement_for_components(int components);

// ---- iccdrop --json: one object a file, on a line of its own -------------

// The objects of `lines`, one a line, each ended by '\n'; none where one
// does not parse or is no object.
[[nodiscard]] std::optional<std::vector<nlohmann::json>> parse_reports(
    std::string_view lines);

// The bytes of a file name of `report` ("input", "output"): its `_hex`
// field's where it has one.
[[nodiscard]] std::string file_name_in(const nlohmann::json& report,
                                       const std::string& key);

// The text report's lines for what `report` says: «Output file is NAME»
// where it has an output, a line per change, per colour space left, then per
// object stream unread, and the failure's and note's lines. Names as the
// object gives them.
[[nodiscard]] std::string report_lines(const nlohmann::json& report);

// A PDF name as --json gives it: each byte outside printable ASCII
// (0x20-0x7E) written #XX.
[[nodiscard]] std::string json_name_of(std::string_view name);

// The text report's lines, with each colour space's name as json_name_of
// gives it and the lines for object streams unread after those for colour
// spaces left, as report_lines puts them.
[[nodiscard]] std::string comparable_lines(std::string_view text);

// The lines of `lines` that docs/report.schema.json (at `schema`) rejects,
// with the validator's words; "" where all pass. `skipped` says why they
// could not be checked: no python3 with the jsonschema module (Debian's
// python3-jsonschema).
struct SchemaCheck {
  std::optional<std::string> skipped;
  std::string problems;
};
[[nodiscard]] SchemaCheck check_reports(const std::string& schema,
                                        std::string_view lines);

}  // namespace iccdrop::testing
