#include "integration/rendering.h"

#include <algorithm>
#include <cstdlib>

namespace iccdrop::integration {

std::optional<Image> parse_ppm(const std::string& bytes) {
  // «P6» width height maxval, separated by whitespace, one more whitespace
  // byte, then the samples. pdftoppm writes no comments.
  std::size_t pos = 0;
  const auto next_number = [&]() -> std::optional<int> {
    while (pos < bytes.size() && (bytes[pos] == ' ' || bytes[pos] == '\n' ||
                                  bytes[pos] == '\r' || bytes[pos] == '\t')) {
      ++pos;
    }
    int value = 0;
    const std::size_t start = pos;
    while (pos < bytes.size() && bytes[pos] >= '0' && bytes[pos] <= '9' &&
           value < 1000000) {
      value = value * 10 + (bytes[pos++] - '0');
    }
    if (pos == start) return std::nullopt;
    return value;
  };
  if (!bytes.starts_with("P6")) return std::nullopt;
  pos = 2;
  const std::optional<int> width = next_number();
  const std::optional<int> height = next_number();
  const std::optional<int> maxval = next_number();
  if (!width || !height || maxval != 255) return std::nullopt;
  ++pos;
  const std::size_t size =
      static_cast<std::size_t>(*width) * static_cast<std::size_t>(*height) * 3;
  if (bytes.size() - std::min(pos, bytes.size()) != size) return std::nullopt;
  Image image{
      *width, *height,
      std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(pos), bytes.end())};
  return image;
}

Rendering render_pages(const std::string& pdftoppm, const std::string& file,
                       const std::string& dir, int dpi, const std::string& password) {
  Rendering rendering;
  std::vector<std::string> args = {"-r", std::to_string(dpi)};
  if (!password.empty()) {
    args.push_back("-upw");
    args.push_back(password);
  }
  args.push_back(file);
  args.push_back(dir + "/page");
  rendering.run = testing::run_program(pdftoppm, args);
  // pdftoppm numbers the files page-1.ppm or page-01.ppm ... with as many
  // digits as the last page number needs, so the sorted names are in order.
  for (const std::string& name : testing::list_dir(dir)) {
    if (!name.starts_with("page-") || !name.ends_with(".ppm")) continue;
    std::optional<std::string> bytes = testing::read_file(dir + "/" + name);
    std::optional<Image> image = bytes ? parse_ppm(*bytes) : std::nullopt;
    if (!image) {
      rendering.pages.clear();
      return rendering;
    }
    rendering.pages.push_back(std::move(*image));
  }
  return rendering;
}

PixelDifference compare_images(const Image& a, const Image& b) {
  PixelDifference difference;
  if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size()) {
    difference.same_size = false;
    return difference;
  }
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) {
    const int d = std::abs(int{a.rgb[i]} - int{b.rgb[i]});
    total += static_cast<std::uint64_t>(d);
    difference.max = std::max(difference.max, d);
  }
  difference.mean =
      a.rgb.empty() ? 0 : static_cast<double>(total) / static_cast<double>(a.rgb.size());
  return difference;
}

}  // namespace iccdrop::integration
