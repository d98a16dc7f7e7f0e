// What an ICC profile's own header says about the colour spaces that use
// it: its class (bytes 12-15) and data colour space (bytes 16-19), read
// where the signature «acsp» stands at bytes 36-39. Where the profile
// stream lies and how its data is inflated is the caller's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace iccdrop::colorspace {

inline constexpr std::size_t kIccHeaderSize = 128;

enum class ProfileHeader : std::uint8_t {
  kUnread,       // no header to read: the colour space follows /N
  kDeviceSpace,  // 'GRAY', 'RGB ' or 'CMYK': follows /N
  kLab,          // data colour space 'Lab '
  kXyz,          // 'XYZ '
  kOtherSpace,   // any other data colour space (two or more colours, HSV, …)
  kLink,         // class 'link'
  kAbstract,     // class 'abst'
  kNamedColour,  // class 'nmcl'
};

// Reads the first 128 bytes of a profile (fewer: kUnread).
[[nodiscard]] ProfileHeader read_icc_header(std::span<const unsigned char> header);

// Whether a colour space on a profile with this header may become a device
// space.
[[nodiscard]] constexpr bool header_allows_device(ProfileHeader header) {
  return header == ProfileHeader::kUnread || header == ProfileHeader::kDeviceSpace;
}

// Why a colour space stays ICC-based, for a header that does not allow it:
// "the profile's data colour space is Lab".
[[nodiscard]] std::string_view header_reason(ProfileHeader header);

}  // namespace iccdrop::colorspace
