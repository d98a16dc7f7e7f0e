// Pages rendered by pdftoppm and compared pixel by pixel: the PPM (P6) files
// it writes are read back and the channel differences between two renderings
// of the same page are measured.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/run_binary.h"

namespace iccdrop::integration {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // width * height * 3 samples, rows top to bottom
};

// A P6 image with maxval 255, or none.
[[nodiscard]] std::optional<Image> parse_ppm(const std::string& bytes);

struct Rendering {
  testing::RunResult run;    // pdftoppm's exit status and messages
  std::vector<Image> pages;  // in page order; empty when any page failed to read
};

// `pdftoppm -r DPI [-upw PASSWORD] FILE DIR/page`, then the PPM files read
// back in page order.
[[nodiscard]] Rendering render_pages(const std::string& pdftoppm, const std::string& file,
                                     const std::string& dir, int dpi,
                                     const std::string& password = "");

struct PixelDifference {
  double mean = 0;  // mean absolute difference over every channel sample, 0..255
  int max = 0;      // largest absolute difference of one sample, 0..255
  bool same_size = true;
};

[[nodiscard]] PixelDifference compare_images(const Image& a, const Image& b);

}  // namespace iccdrop::integration
