#include "colorspace/registry.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <new>

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

template <typename Entry>
Registry::Table<Entry>::Table() : index_(kInitialSlots) {}

template <typename Entry>
std::size_t Registry::Table<Entry>::probe(std::int32_t object_number,
                                          std::int32_t generation) const {
  const std::size_t mask = index_.size() - 1;
  std::size_t i = hash_key(object_number, generation) & mask;
  while (index_[i] != 0) {
    const Entry& record = (*this)[index_[i] - 1];
    if (record.object_number == object_number && record.generation == generation) break;
    i = (i + 1) & mask;
  }
  return i;
}

namespace {

constexpr std::uint32_t kTagBit = std::uint32_t{1} << 31;

}  // namespace

template <typename Entry>
const Entry* Registry::Table<Entry>::find(const std::vector<std::uint32_t>& by_number,
                                          std::int32_t object_number,
                                          std::int32_t generation) const {
  if (const std::uint32_t* slot = number_slot(by_number, object_number, generation)) {
    if (*slot != 0 && (*slot & kTagBit) == Entry::kTag)
      return &(*this)[(*slot & ~kTagBit) - 1];
    if (*slot == 0 && static_cast<std::size_t>(object_number) < hashed_from_)
      return nullptr;
  }
  if (hashed_ == 0) return nullptr;
  const std::size_t i = probe(object_number, generation);
  return index_[i] != 0 ? &(*this)[index_[i] - 1] : nullptr;
}

template <typename Entry>
Entry& Registry::Table<Entry>::find_or_add(std::vector<std::uint32_t>& by_number,
                                           std::int32_t object_number,
                                           std::int32_t generation) {
  std::uint32_t* slot = number_slot(by_number, object_number, generation);
  if (slot != nullptr && *slot != 0 && (*slot & kTagBit) == Entry::kTag)
    return (*this)[(*slot & ~kTagBit) - 1];
  // The slot is free for this record unless the other table holds it.
  if (slot != nullptr && *slot != 0) slot = nullptr;
  std::size_t i = 0;
  if (slot == nullptr || static_cast<std::size_t>(object_number) >= hashed_from_) {
    // Hashed, or it may have been before the slots reached its number.
    i = probe(object_number, generation);
    if (index_[i] != 0) return (*this)[index_[i] - 1];
  }
  if (size_ + 1 >= kTagBit) throw std::bad_alloc();
  // A chunk is left uninitialised: its pages are touched only as it fills.
  if (size_ % kChunk == 0) chunks_.emplace_back(new Entry[kChunk]);
  Entry& added = (*this)[size_];
  added = Entry{};
  added.object_number = object_number;
  added.generation = generation;
  ++size_;
  if (slot != nullptr) {
    *slot = static_cast<std::uint32_t>(size_) | Entry::kTag;
    return added;
  }
  index_[i] = static_cast<std::uint32_t>(size_);
  ++hashed_;
  if (generation == 0 && object_number >= 0 &&
      static_cast<std::size_t>(object_number) >= by_number.size()) {
    hashed_from_ = std::min(hashed_from_, static_cast<std::size_t>(object_number));
  }
  // Grow at half full, so that linear probes stay short: at 3/4 the groups
  // of eight neighbouring slots ran into each other, and an insert probed
  // some 10 slots (a quarter of the registry's work with 50,000 colour
  // spaces). The records stay where they are and only the index is rebuilt.
  if (hashed_ * 2 > index_.size()) {
    const std::size_t slots = index_.size() * 2;
    index_.clear();
    index_.shrink_to_fit();
    index_.resize(slots);
    const std::size_t mask = slots - 1;
    for (std::size_t r = 0; r < size_; ++r) {
      const Entry& record = (*this)[r];
      const std::uint32_t* numbered =
          number_slot(by_number, record.object_number, record.generation);
      if (numbered != nullptr &&
          *numbered == (static_cast<std::uint32_t>(r + 1) | Entry::kTag))
        continue;
      std::size_t j = hash_key(record.object_number, record.generation) & mask;
      while (index_[j] != 0) j = (j + 1) & mask;
      index_[j] = static_cast<std::uint32_t>(r + 1);
    }
  }
  return added;
}

template <typename Entry>
std::size_t Registry::Table<Entry>::longest_probe() const {
  const std::size_t mask = index_.size() - 1;
  std::size_t longest = 0;
  for (std::size_t i = 0; i < index_.size(); ++i) {
    if (index_[i] == 0) continue;
    const Entry& record = (*this)[index_[i] - 1];
    const std::size_t home = hash_key(record.object_number, record.generation) & mask;
    longest = std::max(longest, (i - home) & mask);
  }
  return longest;
}

template class Registry::Table<Registry::NameEntry>;
template class Registry::Table<Registry::ValueEntry>;

Registry::Registry() = default;

void Registry::reach(std::int32_t object_number, std::int32_t generation) {
  if (generation != 0 || object_number < 0) return;
  // Numbered objects come mostly in order from 1: the slots reach the
  // numbers while these stay within four times the records.
  const auto number = static_cast<std::size_t>(object_number);
  if (number < by_number_.size()) return;
  const std::size_t slots = std::bit_ceil(number + 1);
  if (slots <= 4 * (names_.size() + values_.size() + kInitialSlots))
    by_number_.resize(slots);
}

std::size_t Registry::longest_probe() const {
  return std::max(names_.longest_probe(), values_.longest_probe());
}

void Registry::put_name(NameEntry& record, const std::array<char, kMaxNameLength>& name) {
  if ((record.flags & kWideNameIsName) != 0 && record.name != name) {
    // --all's key was these bytes: it keeps them.
    record.wide_name = store_name(wide_name(record));
    record.flags &= static_cast<std::uint8_t>(~kWideNameIsName);
  }
  names_count_ += (record.flags & kHasName) == 0;
  record.flags |= kHasName;
  record.name = name;
}

void Registry::put_value(ValueEntry& record, std::int32_t value) {
  values_count_ += (record.flags & kHasValue) == 0;
  record.flags |= kHasValue;
  record.value = value;
}

void Registry::put_components(ValueEntry& record, std::int32_t components) {
  components_count_ += (record.flags & kHasComponents) == 0;
  record.flags |= kHasComponents;
  record.components = static_cast<std::int16_t>(
      std::clamp<std::int32_t>(components, INT16_MIN, INT16_MAX));
}

std::string_view Registry::wide_name(const NameEntry& record) const {
  if ((record.flags & kWideNameIsName) != 0)
    return {record.name.data(), ::strnlen(record.name.data(), record.name.size())};
  return name_at(record.wide_name);
}

void Registry::put_wide_name(NameEntry& record, std::string_view name, bool weak) {
  const bool had = (record.flags & kHasWideName) != 0;
  const bool in_chunks = had && (record.flags & kWideNameIsName) == 0;
  wide_names_count_ += !had;
  record.flags = static_cast<std::uint8_t>((record.flags & ~kWideNameWeak) |
                                           kHasWideName | (weak ? kWideNameWeak : 0));
  // A short name goes into the kind-1 name's bytes while they hold no
  // kind-1 fact, or when they are these bytes already.
  if (name.size() <= kMaxNameLength && name.find('\0') == std::string_view::npos) {
    if ((record.flags & kHasName) == 0) {
      record.name = {};
      std::copy(name.begin(), name.end(), record.name.begin());
    }
    if (name == std::string_view(record.name.data(),
                                 ::strnlen(record.name.data(), record.name.size()))) {
      record.flags |= kWideNameIsName;
      return;
    }
  }
  record.flags &= static_cast<std::uint8_t>(~kWideNameIsName);
  if (in_chunks && name_at(record.wide_name).size() >= name.size()) {
    overwrite_name(record.wide_name, name);
  } else {
    // Bytes replaced by a longer name stay behind: they cost their length
    // once more, and replacements are as rare as the names.
    record.wide_name = store_name(name);
  }
}

std::uint32_t Registry::store_name(std::string_view name) {
  // A name lies in a window, far shorter than a chunk.
  name = name.substr(0, kNameChunk - 2);
  if (name_chunks_.empty() || kNameChunk - name_chunk_used_ < name.size() + 2) {
    // `at` must fit 32 bits: 4 GiB of names is more than any run may hold.
    if (name_chunks_.size() == (std::size_t{1} << 32) / kNameChunk)
      throw std::bad_alloc();
    name_chunks_.emplace_back(new char[kNameChunk]);
    name_chunk_used_ = 0;
  }
  const auto at = static_cast<std::uint32_t>((name_chunks_.size() - 1) * kNameChunk +
                                             name_chunk_used_);
  name_chunk_used_ += name.size() + 2;
  overwrite_name(at, name);
  return at;
}

void Registry::overwrite_name(std::uint32_t at, std::string_view name) {
  char* bytes = name_chunks_[at / kNameChunk].get() + at % kNameChunk;
  bytes[0] = static_cast<char>(name.size() & 0xFF);
  bytes[1] = static_cast<char>(name.size() >> 8);
  std::copy(name.begin(), name.end(), bytes + 2);
}

std::string_view Registry::name_at(std::uint32_t at) const {
  const char* bytes = name_chunks_[at / kNameChunk].get() + at % kNameChunk;
  const std::size_t length = static_cast<unsigned char>(bytes[0]) |
                             std::size_t{static_cast<unsigned char>(bytes[1])} << 8;
  return {bytes + 2, length};
}

void registry_add(Registry& registry, std::int32_t kind, std::int32_t object_number,
                  std::int32_t generation, std::int32_t value, std::string_view name) {
  if (kind == kResourceEntry) {
    std::array<char, kMaxNameLength> stored{};
    std::copy_n(name.begin(), std::min(name.size(), kMaxNameLength), stored.begin());
    registry.put_name(registry.name_record(object_number, generation), stored);
  } else if (kind == kProfileStream) {
    registry.put_value(registry.value_record(object_number, generation), value);
  }
}

void registry_merge(Registry& registry, const Registry& later) {
  // Each table keeps the newest fact of each object: the facts of the later
  // part replace those of the earlier, object by object.
  for (std::size_t r = 0; r < later.names_.size(); ++r) {
    const auto& fact = later.names_[r];
    if ((fact.flags & Registry::kHasName) == 0) continue;
    registry.put_name(registry.name_record(fact.object_number, fact.generation),
                      fact.name);
  }
  for (std::size_t r = 0; r < later.values_.size(); ++r) {
    const auto& fact = later.values_[r];
    if ((fact.flags & Registry::kHasValue) == 0) continue;
    registry.put_value(registry.value_record(fact.object_number, fact.generation),
                       fact.value);
  }
}

std::optional<ColorSpaceRecord> registry_find(const Registry& registry, std::int32_t kind,
                                              std::int32_t object_number,
                                              std::int32_t generation) {
  ColorSpaceRecord record{kind, object_number, generation, 0, {}};
  if (kind == kResourceEntry) {
    const auto* found = registry.find_name(object_number, generation);
    if (found == nullptr || (found->flags & Registry::kHasName) == 0) return std::nullopt;
    std::copy(found->name.begin(), found->name.end(), record.name.begin());
    return record;
  }
  if (kind == kProfileStream) {
    const auto* found = registry.find_value(object_number, generation);
    if (found == nullptr || (found->flags & Registry::kHasValue) == 0)
      return std::nullopt;
    record.value = found->value;
    return record;
  }
  return std::nullopt;
}

}  // namespace iccdrop::colorspace
