#include "colorspace/registry.h"

#include <algorithm>

namespace iccdrop::colorspace {
namespace {

constexpr std::size_t kInitialSlots = 1024;  // a power of two

std::size_t hash_key(std::int32_t object_number, std::int32_t generation) {
  const std::uint64_t key = (std::uint64_t{static_cast<std::uint32_t>(object_number)} << 32) |
                            static_cast<std::uint32_t>(generation);
  // Fibonacci hashing of the whole key; the high bits are the best mixed.
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 20);
}

}  // namespace

template <typename Payload>
Registry::Table<Payload>::Table() : used(kInitialSlots), slots(kInitialSlots) {}

template <typename Payload>
std::size_t Registry::Table<Payload>::probe(std::int32_t object_number,
                                            std::int32_t generation) const {
  const std::size_t mask = slots.size() - 1;
  std::size_t i = hash_key(object_number, generation) & mask;
  while (used[i] != 0 &&
         (slots[i].object_number != object_number || slots[i].generation != generation)) {
    i = (i + 1) & mask;
  }
  return i;
}

template <typename Payload>
void Registry::Table<Payload>::put(std::int32_t object_number, std::int32_t generation,
                                   const Payload& payload) {
  // Grow at 3/4 full: linear probing stays short and the table stays small.
  if ((size + 1) * 4 > slots.size() * 3) {
    std::vector<std::uint8_t> old_used(slots.size() * 2);
    std::vector<Slot> old_slots(slots.size() * 2);
    old_used.swap(used);
    old_slots.swap(slots);
    for (std::size_t i = 0; i < old_slots.size(); ++i) {
      if (old_used[i] == 0) continue;
      const std::size_t j = probe(old_slots[i].object_number, old_slots[i].generation);
      used[j] = 1;
      slots[j] = old_slots[i];
    }
  }
  const std::size_t i = probe(object_number, generation);
  if (used[i] == 0) ++size;
  used[i] = 1;
  slots[i] = Slot{object_number, generation, payload};
}

template <typename Payload>
const Payload* Registry::Table<Payload>::get(std::int32_t object_number,
                                             std::int32_t generation) const {
  const std::size_t i = probe(object_number, generation);
  return used[i] != 0 ? &slots[i].payload : nullptr;
}

Registry::Registry() = default;

void registry_add(Registry& registry, std::int32_t kind, std::int32_t object_number,
                  std::int32_t generation, std::int32_t value, std::string_view name) {
  if (kind == kResourceEntry) {
    std::array<char, kMaxNameLength + 1> stored{};
    std::copy_n(name.begin(), std::min(name.size(), kMaxNameLength), stored.begin());
    registry.names_.put(object_number, generation, stored);
  } else if (kind == kProfileStream) {
    registry.values_.put(object_number, generation, value);
  }
}

std::optional<ColorSpaceRecord> registry_find(const Registry& registry, std::int32_t kind,
                                              std::int32_t object_number,
                                              std::int32_t generation) {
  ColorSpaceRecord record{kind, object_number, generation, 0, {}};
  if (kind == kResourceEntry) {
    const auto* name = registry.names_.get(object_number, generation);
    if (name == nullptr) return std::nullopt;
    record.name = *name;
    return record;
  }
  if (kind == kProfileStream) {
    const auto* value = registry.values_.get(object_number, generation);
    if (value == nullptr) return std::nullopt;
    record.value = *value;
    return record;
  }
  return std::nullopt;
}

}  // namespace iccdrop::colorspace
