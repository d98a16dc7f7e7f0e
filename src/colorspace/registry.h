// The facts pass 1 collects for pass 2: which /Cs… resource name refers to an
// object (kind 1), and how many components a profile stream declares (kind 2),
// keyed by object number and generation. A newer fact replaces an older one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace iccdrop::colorspace {

inline constexpr std::int32_t kResourceEntry = 1;
inline constexpr std::int32_t kProfileStream = 2;
inline constexpr std::size_t kMaxNameLength = 7;

struct ColorSpaceRecord {
  std::int32_t kind = 0;           // kResourceEntry or kProfileStream
  std::int32_t object_number = 0;  // kind 1: object referred to; kind 2: the stream's own
  std::int32_t generation = 0;
  std::int32_t value = 0;                       // kind 2: the profile's /N; kind 1: 0
  std::array<char, kMaxNameLength + 1> name{};  // kind 1: name without '/', NUL-padded
};

// Two tables: the objects that /Cs… names refer to (kind 1), and the
// profile streams (kind 2). Each record also holds what --all learns of the
// same object (all_spaces.h), so that both modes keep one record per object.
// Records lie in insertion order in chunks that are never moved, so a
// growing table holds no second copy of itself; 4-byte record numbers by
// object number, or else in an open-addressing hash index, find them in
// expected constant time. A record costs 20 or 16 bytes and 4 to 16 of
// index: 200,000 of each kind take about 9 MiB.
class Registry {
 public:
  Registry();
  // The facts of kinds 1 and 2 kept.
  std::size_t size() const { return names_count_ + values_count_; }
  // The farthest any record lies from its home slot, in slots: what the
  // slowest lookup probes. Tells a hash that piles keys together.
  std::size_t longest_probe() const;

 private:
  friend void registry_add(Registry&, std::int32_t, std::int32_t, std::int32_t,
                           std::int32_t, std::string_view);
  friend std::optional<ColorSpaceRecord> registry_find(const Registry&, std::int32_t,
                                                       std::int32_t, std::int32_t);
  friend void registry_merge(Registry&, const Registry&);
  friend class AllSpaces;

  // NameEntry::flags: a kind-1 fact; the key --all names the object by,
  // whether that name is weak, and whether its bytes are those of `name`
  // (most are a /Cs… name that both modes read: keeping it twice would cost
  // a tenth of --all's memory).
  static constexpr std::uint8_t kHasName = 1, kHasWideName = 2, kWideNameWeak = 4,
                                kWideNameIsName = 8;
  // ValueEntry::flags: a kind-2 fact; the /N --all read in the stream's
  // dictionary.
  static constexpr std::uint8_t kHasValue = 1, kHasComponents = 2;
  struct NameEntry {
    static constexpr std::uint32_t kTag = 0;  // in by_number_
    std::int32_t object_number;
    std::int32_t generation;
    std::array<char, kMaxNameLength> name;  // NUL-padded; see kWideNameIsName
    std::uint8_t flags;
    std::uint32_t wide_name;  // where name_chunks_ keep the key's bytes
  };
  struct ValueEntry {
    static constexpr std::uint32_t kTag = std::uint32_t{1} << 31;
    std::int32_t object_number;
    std::int32_t generation;
    std::int32_t value;
    std::int16_t components;  // saturated: only 1, 3 and 4 convert
    std::uint8_t flags;
  };

  template <typename Entry>
  class Table {
   public:
    Table();
    std::size_t size() const { return size_; }
    const Entry& operator[](std::size_t i) const {
      return chunks_[i / kChunk][i % kChunk];
    }
    Entry& operator[](std::size_t i) { return chunks_[i / kChunk][i % kChunk]; }
    // The object's record, or none. `by_number` is the registry's by_number_.
    const Entry* find(const std::vector<std::uint32_t>& by_number,
                      std::int32_t object_number, std::int32_t generation) const;
    // The object's record; a new one, with no flags, if it has none.
    Entry& find_or_add(std::vector<std::uint32_t>& by_number, std::int32_t object_number,
                       std::int32_t generation);
    std::size_t longest_probe() const;

   private:
    static constexpr std::size_t kChunk = 4096;
    // The slot of the hash index that holds the object's record, or the
    // empty slot where it would go.
    std::size_t probe(std::int32_t object_number, std::int32_t generation) const;
    std::vector<std::unique_ptr<Entry[]>> chunks_;
    std::size_t size_ = 0;
    std::vector<std::uint32_t> index_;  // 1 + a record number; 0 for an empty slot
    std::size_t hashed_ = 0;            // records in index_
    // The least number of generation 0 hashed because by_number did not
    // reach it: below it, a free slot means the object has no record.
    std::size_t hashed_from_ = SIZE_MAX;
  };

  // The slot of (object_number, generation) in by_number, or none: another
  // generation than 0, or a number past the slots.
  template <typename Slots>  // const or not
  static auto* number_slot(Slots& by_number, std::int32_t object_number,
                           std::int32_t generation) {
    return generation != 0 || object_number < 0 ||
                   static_cast<std::size_t>(object_number) >= by_number.size()
               ? nullptr
               : &by_number[static_cast<std::size_t>(object_number)];
  }

  // The object's record in each table, or none.
  const NameEntry* find_name(std::int32_t object_number, std::int32_t generation) const {
    return names_.find(by_number_, object_number, generation);
  }
  const ValueEntry* find_value(std::int32_t object_number,
                               std::int32_t generation) const {
    return values_.find(by_number_, object_number, generation);
  }
  // The object's record in each table, a new one if it has none; by_number_
  // first reaches its number where it may.
  NameEntry& name_record(std::int32_t object_number, std::int32_t generation) {
    reach(object_number, generation);
    return names_.find_or_add(by_number_, object_number, generation);
  }
  ValueEntry& value_record(std::int32_t object_number, std::int32_t generation) {
    reach(object_number, generation);
    return values_.find_or_add(by_number_, object_number, generation);
  }
  void reach(std::int32_t object_number, std::int32_t generation);

  // Record a fact in the object's record, counting the facts of each kind.
  void put_name(NameEntry& record, const std::array<char, kMaxNameLength>& name);
  void put_value(ValueEntry& record, std::int32_t value);
  void put_components(ValueEntry& record, std::int32_t components);  // --all's /N

  // --all's key for the object: its bytes are kept after two bytes of
  // length, in chunks of kNameChunk that are never moved; `at` counts from
  // the first chunk's start.
  std::string_view wide_name(const NameEntry& record) const;
  void put_wide_name(NameEntry& record, std::string_view name, bool weak);
  static constexpr std::size_t kNameChunk = 65536;
  std::uint32_t store_name(std::string_view name);
  std::string_view name_at(std::uint32_t at) const;
  void overwrite_name(std::uint32_t at, std::string_view name);

  Table<NameEntry> names_;
  Table<ValueEntry> values_;
  // Slot n: 1 + the record of object (n, 0), with the kTag of its table.
  // Objects of generation 0 whose numbers the slots reach when they are
  // recorded are found by number, the others by hash: a lookup by number
  // reads the slots in the order the file gives the objects, where a hashed
  // one cost a cache miss once the tables outgrew the caches (a fifth of the
  // time with 200,000 colour spaces). One vector for both tables: an object
  // is a profile or a colour space, and each half of the slots of two would
  // stay empty.
  std::vector<std::uint32_t> by_number_;
  std::size_t names_count_ = 0, values_count_ = 0;
  std::size_t components_count_ = 0, wide_names_count_ = 0;
  std::vector<std::unique_ptr<char[]>> name_chunks_;
  std::size_t name_chunk_used_ = 0;
};

// Records the facts of `later`, as if each had been recorded after those of
// `registry` in the order `later` got them: the newer replaces the older.
void registry_merge(Registry& registry, const Registry& later);

// Records a fact. `name` may be any length; its first 7 bytes are kept.
// Kinds other than 1 and 2 are not kept.
void registry_add(Registry& registry, std::int32_t kind, std::int32_t object_number,
                  std::int32_t generation, std::int32_t value, std::string_view name);

// The newest record of this kind, object number and generation, or none.
[[nodiscard]] std::optional<ColorSpaceRecord> registry_find(const Registry& registry,
                                                            std::int32_t kind,
                                                            std::int32_t object_number,
                                                            std::int32_t generation);

}  // namespace iccdrop::colorspace
