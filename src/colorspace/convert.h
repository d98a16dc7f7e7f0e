// The window step of pass 2: rewrites each ICC-based colour-space array whose
// resource entry and profile were recorded into the device colour space for
// the profile's component count, in place. The window's length never changes.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

#include "colorspace/registry.h"

namespace iccdrop::colorspace {

struct Change {
  std::size_t offset = 0;        // window offset of the array's '['
  std::size_t length = 0;        // bytes rewritten: from '[' to the match's end
  std::string_view name;         // resource name, without '/', at most 7 bytes
  std::string_view replacement;  // e.g. "/DeviceRGB"
};

using ChangeVisitor = std::function<void(const Change& change)>;

// «7 0 obj\n[/ICCBased 5 0 R]\nendobj» with «/Cs1 7 0 R» and a 3-component
// profile 5 0 becomes «7 0 obj\n/DeviceRGB       \nendobj»: the array from
// '[' to its last token is blanked with spaces and the device name written
// over its front. `on_change` hears of each rewrite, after it is made.
void convert_window(std::span<unsigned char> window, const Registry& registry,
                    const ChangeVisitor& on_change);

}  // namespace iccdrop::colorspace
