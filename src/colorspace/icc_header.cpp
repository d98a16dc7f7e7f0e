#include "colorspace/icc_header.h"

#include <array>
#include <cstring>

namespace iccdrop::colorspace {
namespace {

struct Signature {
  std::string_view text;  // four bytes, as the header holds them
  ProfileHeader header;
};

constexpr std::array<Signature, 3> kClasses = {{
    {"link", ProfileHeader::kLink},
    {"abst", ProfileHeader::kAbstract},
    {"nmcl", ProfileHeader::kNamedColour},
}};

constexpr std::array<Signature, 5> kSpaces = {{
    {"GRAY", ProfileHeader::kDeviceSpace},
    {"RGB ", ProfileHeader::kDeviceSpace},
    {"CMYK", ProfileHeader::kDeviceSpace},
    {"Lab ", ProfileHeader::kLab},
    {"XYZ ", ProfileHeader::kXyz},
}};

bool signature_at(std::span<const unsigned char> header, std::size_t at,
                  std::string_view text) {
  return std::memcmp(header.data() + at, text.data(), text.size()) == 0;
}

}  // namespace

ProfileHeader read_icc_header(std::span<const unsigned char> header) {
  if (header.size() < kIccHeaderSize || !signature_at(header, 36, "acsp")) {
    return ProfileHeader::kUnread;
  }
  for (const auto& row : kClasses) {
    if (signature_at(header, 12, row.text)) return row.header;
  }
  for (const auto& row : kSpaces) {
    if (signature_at(header, 16, row.text)) return row.header;
  }
  return ProfileHeader::kOtherSpace;
}

std::string_view header_reason(ProfileHeader header) {
  switch (header) {
    case ProfileHeader::kLab:
      return "the profile's data colour space is Lab";
    case ProfileHeader::kXyz:
      return "the profile's data colour space is XYZ";
    case ProfileHeader::kOtherSpace:
      return "the profile's data colour space is not Gray, RGB or CMYK";
    case ProfileHeader::kLink:
      return "the profile is a device link profile";
    case ProfileHeader::kAbstract:
      return "the profile is an abstract profile";
    case ProfileHeader::kNamedColour:
      return "the profile is a named colour profile";
    case ProfileHeader::kUnread:
    case ProfileHeader::kDeviceSpace:
      break;
  }
  return {};
}

}  // namespace iccdrop::colorspace
