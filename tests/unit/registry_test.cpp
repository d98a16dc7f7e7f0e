#include "colorspace/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace iccdrop::colorspace {
namespace {

// The stored name up to its NUL, and whether every byte after it is NUL too.
std::string stored_name(const ColorSpaceRecord& record) {
  return std::string(record.name.data());
}
bool name_is_nul_padded(const ColorSpaceRecord& record) {
  const std::size_t length = stored_name(record).size();
  for (std::size_t i = length; i < record.name.size(); ++i) {
    if (record.name[i] != '\0') return false;
  }
  return true;
}

TEST(Registry, EmptyRegistryFindsNothing) {
  const Registry registry;
  EXPECT_EQ(registry.size(), 0u);
  for (const std::int32_t kind : {kResourceEntry, kProfileStream, 0, 3, -1}) {
    for (const std::int32_t number :
         {0, 1, 7, -1, std::numeric_limits<std::int32_t>::max()}) {
      EXPECT_FALSE(registry_find(registry, kind, number, 0)) << kind << " " << number;
    }
  }
}

TEST(Registry, FoundRecordCarriesItsKey) {
  Registry registry;
  registry_add(registry, kResourceEntry, 7, 0, 0, "Cs1");
  registry_add(registry, kProfileStream, 5, 2, 3, "");
  const auto entry = registry_find(registry, kResourceEntry, 7, 0);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->kind, kResourceEntry);
  EXPECT_EQ(entry->object_number, 7);
  EXPECT_EQ(entry->generation, 0);
  EXPECT_EQ(entry->value, 0);
  EXPECT_EQ(stored_name(*entry), "Cs1");
  const auto profile = registry_find(registry, kProfileStream, 5, 2);
  ASSERT_TRUE(profile);
  EXPECT_EQ(profile->kind, kProfileStream);
  EXPECT_EQ(profile->object_number, 5);
  EXPECT_EQ(profile->generation, 2);
  EXPECT_EQ(profile->value, 3);
  EXPECT_EQ(stored_name(*profile), "");
}

TEST(Registry, NewestRecordWins) {
  Registry registry;
  registry_add(registry, kResourceEntry, 7, 0, 0, "Cs1");
  registry_add(registry, kResourceEntry, 7, 0, 0, "Cs9");
  registry_add(registry, kProfileStream, 5, 0, 3, "");
  registry_add(registry, kProfileStream, 5, 0, 1, "");
  const auto entry = registry_find(registry, kResourceEntry, 7, 0);
  ASSERT_TRUE(entry);
  EXPECT_EQ(stored_name(*entry), "Cs9");
  const auto profile = registry_find(registry, kProfileStream, 5, 0);
  ASSERT_TRUE(profile);
  EXPECT_EQ(profile->value, 1);
  EXPECT_EQ(registry.size(), 2u);  // a newer record replaces, it does not add

  // A shorter name after a longer one leaves nothing of the longer behind.
  registry_add(registry, kResourceEntry, 7, 0, 0, "CsLongName");
  registry_add(registry, kResourceEntry, 7, 0, 0, "A");
  const auto shorter = registry_find(registry, kResourceEntry, 7, 0);
  ASSERT_TRUE(shorter);
  EXPECT_EQ(stored_name(*shorter), "A");
  EXPECT_TRUE(name_is_nul_padded(*shorter));
}

TEST(Registry, NamesKeepTheirFirstSevenBytes) {
  struct Row {
    std::string_view given;
    std::string_view stored;
  };
  const Row rows[] = {
      {"", ""},
      {"C", "C"},
      {"Cs1", "Cs1"},
      {"Cs12345", "Cs12345"},   // exactly 7
      {"Cs123456", "Cs12345"},  // 8
      {"CsLongName", "CsLongN"},
      {std::string_view("Cs\x80\xff", 4), std::string_view("Cs\x80\xff", 4)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.given);
    Registry registry;
    registry_add(registry, kResourceEntry, 1, 0, 0, row.given);
    const auto found = registry_find(registry, kResourceEntry, 1, 0);
    ASSERT_TRUE(found);
    EXPECT_EQ(stored_name(*found), row.stored);
    EXPECT_TRUE(name_is_nul_padded(*found));
  }
}

TEST(Registry, KeyIsKindNumberAndGenerationExactly) {
  Registry registry;
  registry_add(registry, kResourceEntry, 7, 0, 0, "Cs1");
  registry_add(registry, kProfileStream, 5, 0, 3, "");
  struct Row {
    std::int32_t kind, number, generation;
    bool found;
  };
  const Row rows[] = {
      {kResourceEntry, 7, 0, true},
      {kProfileStream, 5, 0, true},
      {kProfileStream, 7, 0, false},  // kinds never match each other
      {kResourceEntry, 5, 0, false},
      {kResourceEntry, 7, 1, false},
      {kResourceEntry, 0, 7, false},  // number and generation swapped
      {kProfileStream, 0, 5, false},
      {kResourceEntry, -7, 0, false},
      {kProfileStream, 5, -1, false},
      {0, 7, 0, false},
      {3, 5, 0, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(registry_find(registry, row.kind, row.number, row.generation).has_value(),
              row.found)
        << "kind " << row.kind << ", " << row.number << " " << row.generation;
  }
}

TEST(Registry, EqualNumbersOfBothKindsAreKeptApart) {
  Registry registry;
  registry_add(registry, kResourceEntry, 9, 0, 0, "Cs9");
  registry_add(registry, kProfileStream, 9, 0, 4, "");
  const auto entry = registry_find(registry, kResourceEntry, 9, 0);
  const auto profile = registry_find(registry, kProfileStream, 9, 0);
  ASSERT_TRUE(entry);
  ASSERT_TRUE(profile);
  EXPECT_EQ(stored_name(*entry), "Cs9");
  EXPECT_EQ(profile->value, 4);
}

TEST(Registry, UnknownKindsAreNotKept) {
  Registry registry;
  for (const std::int32_t kind : {0, 3, -1, std::numeric_limits<std::int32_t>::max()}) {
    registry_add(registry, kind, 7, 0, 3, "Cs1");
    EXPECT_FALSE(registry_find(registry, kind, 7, 0)) << kind;
  }
  EXPECT_EQ(registry.size(), 0u);
  EXPECT_FALSE(registry_find(registry, kResourceEntry, 7, 0));
  EXPECT_FALSE(registry_find(registry, kProfileStream, 7, 0));
}

struct Key {
  std::int32_t number, generation;
};

// Enough records to make the tables grow many times, with keys that differ
// only in their sign, their high bits or by swapping number and generation.
TEST(Registry, ManyRecordsAreAllFoundAfterGrowth) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  std::vector<Key> keys;
  // Generation 0 in a scattered order: numbers past the ones found by
  // number come first and are hashed, until the records reach them.
  for (std::int32_t i = 0; i < 100000; ++i) keys.push_back({i * 7919 % 100000, 0});
  for (std::int32_t i = 1; i <= 50000; ++i) keys.push_back({-i, 0});
  for (std::int32_t i = 0; i < 50000; ++i) keys.push_back({kMax - i, i});
  for (std::int32_t i = 1; i <= 50000; ++i) keys.push_back({i, 1});
  for (std::int32_t i = 0; i < 25000; ++i) keys.push_back({i << 16, 65535});
  for (std::int32_t i = 0; i < 25000; ++i) keys.push_back({kMin + i, kMax});
  ASSERT_EQ(keys.size(), 300000u);

  auto name_of = [](std::size_t i) {
    std::string name = "N";
    name += std::to_string(i % 1000000);
    return name;
  };
  auto value_of = [](std::size_t i) { return static_cast<std::int32_t>(i * 7 + 1); };

  Registry registry;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    registry_add(registry, kResourceEntry, keys[i].number, keys[i].generation, 0,
                 name_of(i));
    registry_add(registry, kProfileStream, keys[i].number, keys[i].generation,
                 value_of(i), "");
  }
  // Every tenth key again, with new facts: the newer ones must win.
  for (std::size_t i = 0; i < keys.size(); i += 10) {
    registry_add(registry, kResourceEntry, keys[i].number, keys[i].generation, 0,
                 "Again");
    registry_add(registry, kProfileStream, keys[i].number, keys[i].generation, -5, "");
  }
  EXPECT_EQ(registry.size(), 2 * keys.size());

  std::size_t wrong = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const bool again = i % 10 == 0;
    const auto entry =
        registry_find(registry, kResourceEntry, keys[i].number, keys[i].generation);
    const auto profile =
        registry_find(registry, kProfileStream, keys[i].number, keys[i].generation);
    const bool right =
        entry && profile &&
        stored_name(*entry) == (again ? "Again" : name_of(i).substr(0, 7)) &&
        profile->value == (again ? -5 : value_of(i));
    if (!right && ++wrong <= 5) {
      ADD_FAILURE() << "key " << keys[i].number << " " << keys[i].generation;
    }
  }
  EXPECT_EQ(wrong, 0u);
  // Keys never added are still not found.
  EXPECT_FALSE(registry_find(registry, kResourceEntry, 100000, 0));
  EXPECT_FALSE(registry_find(registry, kProfileStream, -50001, 0));
  EXPECT_FALSE(registry_find(registry, kProfileStream, 0, 1));
  EXPECT_FALSE(registry_find(registry, kResourceEntry, kMax, 50000));
}

// Former bugs.

// Seconds to add and then find every key once.
// Object numbers 1, 2, 3... all of one generation, as PDF writers number
// their objects, once hashed to a few start slots 4096 apart: each lookup
// probed through a cluster of about 2,000 records. Counted in slots, not
// timed: with 200,000 such keys of each kind no lookup may probe far.
// (Generation 1: those of generation 0 are found by number.)
TEST(RegistryFormerBugs, ConsecutiveObjectNumbersDoNotCluster) {
  Registry registry;
  for (std::int32_t number = 1; number <= 200000; ++number) {
    registry_add(registry, kResourceEntry, number, 1, 0, "Cs1");
    registry_add(registry, kProfileStream, number, 1, 3, "");
  }
  EXPECT_EQ(registry.size(), 400000u);
  EXPECT_LT(registry.longest_probe(), 512u);  // 88 here; the old hash gave 1,562
}

}  // namespace
}  // namespace iccdrop::colorspace
