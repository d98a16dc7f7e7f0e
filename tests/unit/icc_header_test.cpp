#include "colorspace/icc_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string_view>

namespace iccdrop::colorspace {
namespace {

std::array<unsigned char, kIccHeaderSize> header(std::string_view profile_class,
                                                 std::string_view space,
                                                 std::string_view signature = "acsp") {
  std::array<unsigned char, kIccHeaderSize> bytes{};
  std::memcpy(bytes.data() + 12, profile_class.data(), 4);
  std::memcpy(bytes.data() + 16, space.data(), 4);
  std::memcpy(bytes.data() + 36, signature.data(), 4);
  return bytes;
}

TEST(IccHeader, ClassAndDataColourSpaceDecide) {
  using enum ProfileHeader;
  struct Row {
    std::string_view profile_class, space, signature;
    ProfileHeader expected;
  };
  constexpr Row kRows[] = {
      {"mntr", "RGB ", "acsp", kDeviceSpace},
      {"prtr", "CMYK", "acsp", kDeviceSpace},
      {"mntr", "GRAY", "acsp", kDeviceSpace},
      {"spac", "Lab ", "acsp", kLab},
      {"spac", "XYZ ", "acsp", kXyz},
      {"prtr", "2CLR", "acsp", kOtherSpace},
      {"mntr", "rgb ", "acsp", kOtherSpace},  // signatures are case-sensitive
      {"link", "RGB ", "acsp", kLink},
      {"abst", "Lab ", "acsp", kAbstract},
      {"nmcl", "RGB ", "acsp", kNamedColour},
      {"mntr", "Lab ", "ascp", kUnread},  // no signature: no header
      {"mntr", "Lab ", "\0\0\0\0", kUnread},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(std::string(row.profile_class) + "/" + std::string(row.space));
    EXPECT_EQ(read_icc_header(header(row.profile_class, row.space, row.signature)),
              row.expected);
    EXPECT_EQ(header_allows_device(row.expected), header_reason(row.expected).empty());
  }
  const auto rgb = header("mntr", "RGB ");
  EXPECT_EQ(read_icc_header(std::span(rgb).first(127)), kUnread);
  EXPECT_EQ(header_reason(kLab), "the profile's data colour space is Lab");
}

}  // namespace
}  // namespace iccdrop::colorspace
