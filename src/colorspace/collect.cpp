#include "colorspace/collect.h"

#include "colorspace/patterns.h"
#include "colorspace/window_scan_fixed.h"

namespace iccdrop::colorspace {

bool collect_window(std::span<const unsigned char> window, Registry& registry) {
  // The registry keeps each kind apart, so only the order within a kind
  // matters: the newer record of an object replaces the older.
  return for_each_entry_and_profile_fixed(
      window,
      [&](std::size_t m, const match::SequenceMatch& match) {
        // The name is token 0 without its slash.
        const std::string_view name(reinterpret_cast<const char*>(window.data() + m + 1),
                                    match.lengths[kEntryName] - 1);
        registry_add(registry, kResourceEntry, match.values[kEntryObject],
                     match.values[kEntryGeneration], 0, name);
      },
      [&](std::size_t, const match::SequenceMatch& match) {
        registry_add(registry, kProfileStream, match.values[kProfileObject],
                     match.values[kProfileGeneration], match.values[kProfileComponents],
                     {});
      });
}

}  // namespace iccdrop::colorspace
