#include "colorspace/convert.h"

#include <algorithm>
#include <cstring>

#include "colorspace/patterns.h"
#include "colorspace/window_scan_fixed.h"

namespace iccdrop::colorspace {

void convert_window(std::span<unsigned char> window, const Registry& registry,
                    const ChangeVisitor& on_change) {
  for_each_fixed_match<kIccArrayPattern>(window, [&](std::size_t m,
                                                     const match::SequenceMatch& match) {
    const auto entry = registry_find(registry, kResourceEntry, match.values[kArrayObject],
                                     match.values[kArrayGeneration]);
    const auto profile =
        registry_find(registry, kProfileStream, match.values[kArrayProfileObject],
                      match.values[kArrayProfileGeneration]);
    if (!entry || !profile || profile->value < 0 ||
        static_cast<std::size_t>(profile->value) >= kDeviceSpaceByComponents.size()) {
      return;
    }
    const std::string_view replacement =
        kDeviceSpaceByComponents[static_cast<std::size_t>(profile->value)];
    // The first '[' of the match is the "[" token: the numbers, "obj" and the
    // gap bytes before it hold none. NUL gap bytes do not stop this search.
    const std::size_t end = m + match.total_length;
    const auto open = std::find(window.begin() + static_cast<std::ptrdiff_t>(m),
                                window.begin() + static_cast<std::ptrdiff_t>(end), '[');
    const auto offset = static_cast<std::size_t>(open - window.begin());
    // Blank to the match's real end, however long: «[/ICCBased 5 0 R]» is at
    // least 16 bytes and the longest replacement 11, so the name always fits.
    std::fill(open, window.begin() + static_cast<std::ptrdiff_t>(end), ' ');
    std::copy(replacement.begin(), replacement.end(), open);
    on_change(Change{offset, end - offset,
                     std::string_view(entry->name.data(),
                                      ::strnlen(entry->name.data(), entry->name.size())),
                     replacement});
  });
}

}  // namespace iccdrop::colorspace
