// A small CMYK ICC profile of our own, so that generated files and the
// bundled sample need no third-party CMYK profile: a version 2 input-class
// ('scnr') profile, CMYK data, Lab PCS, an A2B0 lut16Type tag over a CLUT
// filled from the naive CMYK -> RGB formula through sRGB to Lab (D50).
#pragma once

#include <string>

namespace iccdrop::pdfgen {

// `grid_points` per input channel (2 to 17); the CLUT holds grid_points^4
// entries of three 16-bit values: 3 points give a 0.6 KB profile, 5 a 4 KB.
[[nodiscard]] std::string make_cmyk_profile(int grid_points);

}  // namespace iccdrop::pdfgen
