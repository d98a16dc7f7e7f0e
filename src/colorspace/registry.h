// The facts pass 1 collects for pass 2: which /Cs… resource name refers to an
// object (kind 1), and how many components a profile stream declares (kind 2),
// keyed by object number and generation. A newer fact replaces an older one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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

// A hash table per kind: records lie densely in insertion order, and an
// open-addressing index of 4-byte record numbers finds them in expected
// constant time. A resource entry costs 16 bytes and a profile 12, plus 8 to
// 16 bytes of index each: 200,000 of both take under 10 MiB.
class Registry {
 public:
  Registry();
  std::size_t size() const { return names_.records.size() + values_.records.size(); }
  // The farthest any record lies from its home slot, in slots: what the
  // slowest lookup probes. Tells a hash that piles keys together.
  std::size_t longest_probe() const;

 private:
  friend void registry_add(Registry&, std::int32_t, std::int32_t, std::int32_t,
                           std::int32_t, std::string_view);
  friend std::optional<ColorSpaceRecord> registry_find(const Registry&, std::int32_t,
                                                       std::int32_t, std::int32_t);
  friend void registry_merge(Registry&, const Registry&);
  template <typename Visit>
  friend void registry_for_each_value(const Registry&, Visit&&);

  template <typename Payload>
  struct Table {
    struct Record {
      std::int32_t object_number;
      std::int32_t generation;
      Payload payload;
    };
    std::vector<Record> records;
    std::vector<std::uint32_t> index;  // 1 + a record number; 0 for an empty slot

    Table();
    std::size_t probe(std::int32_t object_number, std::int32_t generation) const;
    void put(std::int32_t object_number, std::int32_t generation, const Payload& payload);
    const Payload* get(std::int32_t object_number, std::int32_t generation) const;
    std::size_t longest_probe() const;
  };

  Table<std::array<char, kMaxNameLength + 1>> names_;  // kind 1
  Table<std::int32_t> values_;                         // kind 2
};

// Records the facts of `later`, as if each had been recorded after those of
// `registry` in the order `later` got them: the newer replaces the older.
void registry_merge(Registry& registry, const Registry& later);

// Records a fact. `name` may be any length; its first 7 bytes are kept.
// Kinds other than 1 and 2 are not kept.
void registry_add(Registry& registry, std::int32_t kind, std::int32_t object_number,
                  std::int32_t generation, std::int32_t value, std::string_view name);

// Calls visit(object_number, generation, value) for each profile-stream
// fact (kind 2), the newest value of each object, in the order the objects
// were first recorded.
template <typename Visit>
void registry_for_each_value(const Registry& registry, Visit&& visit) {
  for (const auto& record : registry.values_.records)
    visit(record.object_number, record.generation, record.payload);
}

// The newest record of this kind, object number and generation, or none.
[[nodiscard]] std::optional<ColorSpaceRecord> registry_find(const Registry& registry,
                                                            std::int32_t kind,
                                                            std::int32_t object_number,
                                                            std::int32_t generation);

}  // namespace iccdrop::colorspace
