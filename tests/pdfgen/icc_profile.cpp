#include "pdfgen/icc_profile.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace iccdrop::pdfgen {
namespace {

constexpr double kD50X = 0.9642;  // PCS illuminant, ICC v2
constexpr double kD50Y = 1.0;
constexpr double kD50Z = 0.8249;

void put_u8(std::string& out, unsigned value) { out += static_cast<char>(value & 0xFF); }
void put_u16(std::string& out, unsigned value) {
  put_u8(out, value >> 8);
  put_u8(out, value);
}
void put_u32(std::string& out, std::uint32_t value) {
  put_u16(out, value >> 16);
  put_u16(out, value & 0xFFFF);
}
void put_s15f16(std::string& out, double value) {
  put_u32(out, static_cast<std::uint32_t>(
                   static_cast<std::int32_t>(std::lround(value * 65536.0))));
}
void put_sig(std::string& out, std::string_view sig) {
  assert(sig.size() == 4);
  out += sig;
}
void pad4(std::string& out) {
  while (out.size() % 4 != 0) out += '\0';
}

double srgb_to_linear(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
double lab_f(double t) {
  constexpr double kDelta = 6.0 / 29.0;
  return t > kDelta * kDelta * kDelta ? std::cbrt(t)
                                      : t / (3 * kDelta * kDelta) + 4.0 / 29.0;
}
unsigned to_u16(double v, double scale) {
  return static_cast<unsigned>(std::clamp(std::lround(v * scale), 0L, 65535L));
}

// One CLUT entry: CMYK (0..1) -> RGB = (1-C)(1-K)... as sRGB values -> XYZ
// (the sRGB primaries adapted to D50) -> Lab in the version 2 16-bit
// encoding (L 0..100 -> 0..0xFF00, a and b -128..127.996 -> 0..0xFFFF).
void put_lab_entry(std::string& out, double c, double m, double y, double k) {
  const double r = srgb_to_linear((1 - c) * (1 - k));
  const double g = srgb_to_linear((1 - m) * (1 - k));
  const double b = srgb_to_linear((1 - y) * (1 - k));
  const double x = 0.4360747 * r + 0.3850649 * g + 0.1430804 * b;
  const double yy = 0.2225045 * r + 0.7168786 * g + 0.0606169 * b;
  const double z = 0.0139322 * r + 0.0971045 * g + 0.7141733 * b;
  const double fx = lab_f(x / kD50X);
  const double fy = lab_f(yy / kD50Y);
  const double fz = lab_f(z / kD50Z);
  const double lightness = 116 * fy - 16;
  put_u16(out, to_u16(lightness, 652.8));
  put_u16(out, to_u16(500 * (fx - fy) + 128, 256.0));
  put_u16(out, to_u16(200 * (fy - fz) + 128, 256.0));
}

std::string desc_tag(std::string_view text) {
  std::string tag;
  put_sig(tag, "desc");
  put_u32(tag, 0);
  put_u32(tag, static_cast<std::uint32_t>(text.size() + 1));
  tag += text;
  tag += '\0';
  put_u32(tag, 0);       // Unicode language code
  put_u32(tag, 0);       // Unicode count
  put_u16(tag, 0);       // ScriptCode code
  put_u8(tag, 0);        // ScriptCode count
  tag.append(67, '\0');  // ScriptCode description
  return tag;
}

std::string text_tag(std::string_view text) {
  std::string tag;
  put_sig(tag, "text");
  put_u32(tag, 0);
  tag += text;
  tag += '\0';
  return tag;
}

std::string xyz_tag(double x, double y, double z) {
  std::string tag;
  put_sig(tag, "XYZ ");
  put_u32(tag, 0);
  put_s15f16(tag, x);
  put_s15f16(tag, y);
  put_s15f16(tag, z);
  return tag;
}

std::string lut16_tag(int grid) {
  std::string tag;
  put_sig(tag, "mft2");
  put_u32(tag, 0);
  put_u8(tag, 4);  // input channels
  put_u8(tag, 3);  // output channels
  put_u8(tag, static_cast<unsigned>(grid));
  put_u8(tag, 0);
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) put_s15f16(tag, row == col ? 1.0 : 0.0);
  }
  put_u16(tag, 2);  // input table entries: identity 0 -> 0, 1 -> 65535
  put_u16(tag, 2);  // output table entries
  for (int i = 0; i < 4; ++i) {
    put_u16(tag, 0);
    put_u16(tag, 65535);
  }
  const double step = 1.0 / (grid - 1);
  for (int c = 0; c < grid; ++c) {  // the first channel varies slowest
    for (int m = 0; m < grid; ++m) {
      for (int y = 0; y < grid; ++y) {
        for (int k = 0; k < grid; ++k)
          put_lab_entry(tag, c * step, m * step, y * step, k * step);
      }
    }
  }
  for (int i = 0; i < 3; ++i) {
    put_u16(tag, 0);
    put_u16(tag, 65535);
  }
  return tag;
}

}  // namespace

std::string make_cmyk_profile(int grid_points) {
  assert(grid_points >= 2 && grid_points <= 17);
  const std::pair<std::string_view, std::string> tags[] = {
      {"desc", desc_tag("iccdrop test CMYK (naive)")},
      {"cprt",
       text_tag("No copyright: written by the iccdrop test generator, use freely.")},
      {"wtpt", xyz_tag(kD50X, kD50Y, kD50Z)},
      {"A2B0", lut16_tag(grid_points)},
  };
  constexpr std::size_t kHeaderSize = 128;
  const std::size_t table_size = 4 + 12 * std::size(tags);
  std::string data;  // tag data, each tag starting on a 4-byte boundary
  std::string table;
  put_u32(table, static_cast<std::uint32_t>(std::size(tags)));
  for (const auto& [sig, body] : tags) {
    put_sig(table, sig);
    put_u32(table, static_cast<std::uint32_t>(kHeaderSize + table_size + data.size()));
    put_u32(table, static_cast<std::uint32_t>(body.size()));
    data += body;
    pad4(data);
  }

  std::string header;
  put_u32(header, static_cast<std::uint32_t>(kHeaderSize + table.size() + data.size()));
  put_u32(header, 0);           // preferred CMM
  put_u32(header, 0x02100000);  // version 2.1
  put_sig(header, "scnr");
  put_sig(header, "CMYK");
  put_sig(header, "Lab ");
  for (unsigned field : {2024u, 1u, 1u, 0u, 0u, 0u}) put_u16(header, field);  // date
  put_sig(header, "acsp");
  put_u32(header, 0);  // platform
  put_u32(header, 0);  // flags
  put_u32(header, 0);  // manufacturer
  put_u32(header, 0);  // model
  put_u32(header, 0);  // attributes (two words)
  put_u32(header, 0);
  put_u32(header, 0);  // rendering intent: perceptual
  put_s15f16(header, kD50X);
  put_s15f16(header, kD50Y);
  put_s15f16(header, kD50Z);
  put_u32(header, 0);                                // creator
  header.append(kHeaderSize - header.size(), '\0');  // profile ID and reserved
  assert(header.size() == kHeaderSize);
  return header + table + data;
}

}  // namespace iccdrop::pdfgen
