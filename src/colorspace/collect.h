// The window step of pass 1: records /Cs… resource entries and the component
// counts of profile streams in the registry. Never changes the window.
#pragma once

#include <span>

#include "colorspace/registry.h"

namespace iccdrop::colorspace {

// Resource entries first, then profile streams, each over the whole window;
// only matches that start at window offsets 0..4096 are recorded.
// «/Cs1 7 0 R» records (1, 7, 0, name "Cs1"); «5 0 obj << /N 3» records
// (2, 5, 0, value 3).
// Returns whether an «/ICCBased» starts in the window's first 4096 bytes:
// then this window and the one before it are the ones pass 2 must see.
bool collect_window(std::span<const unsigned char> window, Registry& registry);

}  // namespace iccdrop::colorspace
