#include "colorspace/registry.h"

#include <algorithm>

namespace iccdrop::colorspace {
namespace {

constexpr std::size_t kInitialSlots = 1024;  // a power of two

std::size_t hash_key(std::int32_t object_number, std::int32_t generation) {
  // Objects are numbered in order through a file, and pass 1 meets them,
  // and pass 2 looks them up, mostly in that order. So eight neighbouring
  // numbers keep neighbouring slots (one 32-byte piece of the index, and
  // records stored next to each other), and only the groups of eight are
  // scattered: with 200,000 colour spaces the tables outgrow the caches, and
  // scattering every key cost a cache miss per lookup.
  const auto number = static_cast<std::uint32_t>(object_number);
  std::uint64_t h =
      (std::uint64_t{number >> 3} << 32) | static_cast<std::uint32_t>(generation);
  // The 64-bit finaliser of MurmurHash3: every key bit reaches the low bits,
  // which index the table. (A plain multiply left them to the generation
  // alone, and with generation 0 everywhere lookups turned quadratic.)
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return static_cast<std::size_t>((h << 3) | (number & 7));
}

}  // namespace

template <typename Payload>
Registry::Table<Payload>::Table() : index(kInitialSlots) {}

template <typename Payload>
std::size_t Registry::Table<Payload>::probe(std::int32_t object_number,
                                            std::int32_t generation) const {
  const std::size_t mask = index.size() - 1;
  std::size_t i = hash_key(object_number, generation) & mask;
  while (index[i] != 0) {
    const Record& record = records[index[i] - 1];
    if (record.object_number == object_number && record.generation == generation) break;
    i = (i + 1) & mask;
  }
  return i;
}

template <typename Payload>
void Registry::Table<Payload>::put(std::int32_t object_number, std::int32_t generation,
                                   const Payload& payload) {
  const std::size_t i = probe(object_number, generation);
  if (index[i] != 0) {
    records[index[i] - 1].payload = payload;  // the newer fact replaces the older
    return;
  }
  records.push_back(Record{object_number, generation, payload});
  index[i] = static_cast<std::uint32_t>(records.size());
  // Grow at half full, so that linear probes stay short: at 3/4 the groups
  // of eight neighbouring slots ran into each other, and an insert probed
  // some 10 slots (a quarter of the registry's work with 50,000 colour
  // spaces). The records stay where they are and only the index is rebuilt.
  if (records.size() * 2 > index.size()) {
    index.assign(index.size() * 2, 0);
    for (std::size_t r = 0; r < records.size(); ++r) {
      const std::size_t mask = index.size() - 1;
      std::size_t j = hash_key(records[r].object_number, records[r].generation) & mask;
      while (index[j] != 0) j = (j + 1) & mask;
      index[j] = static_cast<std::uint32_t>(r + 1);
    }
  }
}

template <typename Payload>
const Payload* Registry::Table<Payload>::get(std::int32_t object_number,
                                             std::int32_t generation) const {
  const std::size_t i = probe(object_number, generation);
  return index[i] != 0 ? &records[index[i] - 1].payload : nullptr;
}

template <typename Payload>
std::size_t Registry::Table<Payload>::longest_probe() const {
  const std::size_t mask = index.size() - 1;
  std::size_t longest = 0;
  for (std::size_t i = 0; i < index.size(); ++i) {
    if (index[i] == 0) continue;
    const Record& record = records[index[i] - 1];
    const std::size_t home = hash_key(record.object_number, record.generation) & mask;
    longest = std::max(longest, (i - home) & mask);
  }
  return longest;
}

Registry::Registry() = default;

std::size_t Registry::longest_probe() const {
  return std::max(names_.longest_probe(), values_.longest_probe());
}

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

void registry_merge(Registry& registry, const Registry& later) {
  // Each table keeps the newest fact of each object: the facts of the later
  // part replace those of the earlier, object by object.
  for (const auto& record : later.names_.records)
    registry.names_.put(record.object_number, record.generation, record.payload);
  for (const auto& record : later.values_.records)
    registry.values_.put(record.object_number, record.generation, record.payload);
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
