// The messages iccdrop prints on a successful run, built from a list of
// expected colour-space changes, and the «name:replacement;...» notation in
// which the corpus manifest and the .expected files list those changes.
#pragma once

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

}  // namespace iccdrop::testing
