#include "engine/held_changes.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <string_view>

#include "colorspace/patterns.h"

namespace iccdrop::engine {
namespace {

using colorspace::kDeviceSpaceByComponents;

// A change is held as its replacement's index in kDeviceSpaceByComponents
// (with this bit where it lies in an object stream), its place in 8 bytes
// (the file offset or the object stream's number), its name's length in 2
// bytes and the name: «Cs1» to /DeviceRGB at offset 9000 is 14 bytes.
constexpr unsigned char kInObjectStream = 0x80;
static_assert(kDeviceSpaceByComponents.size() < kInObjectStream);

void put_number(std::string& bytes, std::uint64_t value, int count) {
  for (int i = 0; i < count; ++i, value >>= 8)
    bytes.push_back(static_cast<char>(value & 0xff));
}

std::uint64_t take_number(std::string_view bytes, std::size_t& at, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i)
    value |= std::uint64_t{static_cast<unsigned char>(bytes[at++])} << (8 * i);
  return value;
}

}  // namespace

void HeldChanges::hold(const ChangeEvent& change) {
  const auto* const found = std::find(kDeviceSpaceByComponents.begin(),
                                      kDeviceSpaceByComponents.end(), change.replacement);
  assert(found != kDeviceSpaceByComponents.end());
  auto code = static_cast<unsigned char>(found - kDeviceSpaceByComponents.begin());
  std::uint64_t place = change.place.offset;
  if (change.place.object_stream) {
    code |= kInObjectStream;
    place = static_cast<std::uint32_t>(*change.place.object_stream);
  }
  const std::string_view name = change.name.substr(0, 0xffff);
  bytes_.push_back(static_cast<char>(code));
  put_number(bytes_, place, 8);
  put_number(bytes_, name.size(), 2);
  bytes_.append(name);
}

void HeldChanges::tell(Report& report) {
  const std::string_view bytes = bytes_;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto code = static_cast<unsigned char>(bytes[at++]);
    const std::uint64_t place = take_number(bytes, at, 8);
    const auto length = static_cast<std::size_t>(take_number(bytes, at, 2));
    ChangeEvent change{bytes.substr(at, length),
                       kDeviceSpaceByComponents[static_cast<std::size_t>(
                           code & ~kInObjectStream & 0xff)],
                       {}};
    at += length;
    if ((code & kInObjectStream) != 0) {
      change.place.object_stream = static_cast<std::int32_t>(place);
    } else {
      change.place.offset = place;
    }
    report.changed(change);
  }
  bytes_.clear();
}

}  // namespace iccdrop::engine
