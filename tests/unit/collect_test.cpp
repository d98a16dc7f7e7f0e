#include "colorspace/collect.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "colorspace/registry.h"
#include "support/memory_io.h"
#include "support/whole_file.h"

namespace iccdrop::colorspace {
namespace {

using testing::as_bytes;
using namespace std::string_literals;  // "\0" inside literals

struct Entry {
  std::int32_t object, generation;
  std::string_view name;
};
struct Profile {
  std::int32_t object, generation, components;
};

Registry collect(std::string_view window) {
  Registry registry;
  collect_window(as_bytes(window), registry);
  return registry;
}

// The registry holds exactly these facts, no more.
void expect_records(const Registry& registry, const std::vector<Entry>& entries,
                    const std::vector<Profile>& profiles) {
  EXPECT_EQ(registry.size(), entries.size() + profiles.size());
  for (const Entry& e : entries) {
    const auto found = registry_find(registry, kResourceEntry, e.object, e.generation);
    if (!found) {
      ADD_FAILURE() << "no resource entry " << e.object << " " << e.generation;
      continue;
    }
    EXPECT_EQ(std::string(found->name.data()), e.name);
  }
  for (const Profile& p : profiles) {
    const auto found = registry_find(registry, kProfileStream, p.object, p.generation);
    if (!found) {
      ADD_FAILURE() << "no profile " << p.object << " " << p.generation;
      continue;
    }
    EXPECT_EQ(found->value, p.components);
  }
}

std::string printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      out +=
          "\\x" + std::string(1, "0123456789abcdef"[b >> 4]) + "0123456789abcdef"[b & 15];
    }
  }
  return out;
}

struct EntryRow {
  std::string text;
  std::vector<Entry> entries;
};

TEST(CollectWindow, RecordsResourceEntries) {
  const EntryRow rows[] = {
      {"/Cs1 7 0 R", {{7, 0, "Cs1"}}},
      {"/ColorSpace << /Cs1 7 0 R /Cs2 9 0 R >>", {{7, 0, "Cs1"}, {9, 0, "Cs2"}}},
      {"/CsLongName 12 0 R", {{12, 0, "CsLongN"}}},
      {"/Cs1234567 3 0 R", {{3, 0, "Cs12345"}}},
      {"/Cs 7 0 R", {{7, 0, "Cs"}}},       // the prefix alone is a name
      {"/Cs1 12 3 R", {{12, 3, "Cs1"}}},   // generation other than 0
      {"/Cs1 007 00 R", {{7, 0, "Cs1"}}},  // leading zeros
      {"/Cs1 7 0 R/Cs2 8 0 R", {{7, 0, "Cs1"}, {8, 0, "Cs2"}}},  // '/' ends "R"
      {"<</Cs1 7 0 R>>", {{7, 0, "Cs1"}}},
      {"/Cs1\r\n7\r\n0\r\nR", {{7, 0, "Cs1"}}},  // line ends between tokens
      {"/Cs1\t7\n\n0  R", {{7, 0, "Cs1"}}},
      {"/Cs1\0"
       "7\0"
       "0\0R"s,
       {{7, 0, "Cs1"}}},                           // NUL is a gap byte
      {"/Cs1/Cs2 7 0 R", {{7, 0, "Cs2"}}},         // the first try fails at '/'
      {"/Cs1 7 0 R /Cs9 7 0 R", {{7, 0, "Cs9"}}},  // the later entry wins
      // Not resource entries.
      {"", {}},
      {"/CS1 7 0 R", {}},  // case matters
      {"/cs1 7 0 R", {}},
      {"/Cs1 [/ICCBased 5 0 R]", {}},  // a colour space written in place
      {"/Cs1 7 0 Rx", {}},             // "R" followed by a regular character
      {"/Cs1 7 R", {}},                // one number
      {"/Cs1 7 0 obj", {}},
      {"/Cs1\f7 0 R", {}},  // form feed is not a gap byte
      {"/Cs1 7\f0 R", {}},
      {"/Cs\xe9 7 0 R", {}},  // a byte >= 0x80 ends the name, is no gap
      {"/Cs1 -7 0 R", {}},    // '-' is not a gap byte
      {"/Cs1 7 0", {}},       // the region ends before "R"
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(printable(row.text));
    expect_records(collect(row.text), row.entries, {});
  }
}

struct ProfileRow {
  std::string text;
  std::vector<Profile> profiles;
};

TEST(CollectWindow, RecordsProfileStreamsWhoseFirstKeyIsN) {
  const ProfileRow rows[] = {
      {"5 0 obj << /N 3 /Length 900 >>", {{5, 0, 3}}},
      {"5 0 obj << /N 4 /Length 2 >>", {{5, 0, 4}}},
      {"5 0 obj <</N 1/Length 20>>", {{5, 0, 1}}},
      {"5 0 obj\r\n<<\r\n/N 3", {{5, 0, 3}}},
      {"5 0 obj\n<<\n/N 3\n/Alternate /DeviceRGB", {{5, 0, 3}}},
      {"5\t0\tobj\t<<\t/N\t3", {{5, 0, 3}}},
      {"5 0 obj<</N 3", {{5, 0, 3}}},
      {"5 0 obj <<\0/N\0"
       "3"s,
       {{5, 0, 3}}},
      {"123 7 obj << /N 0", {{123, 7, 0}}},
      {"5 0 obj << /N 3 >>\nendobj\n6 0 obj << /N 1 >>", {{5, 0, 3}, {6, 0, 1}}},
      {"1 2 3 obj << /N 3", {{2, 3, 3}}},  // retried one digit on
      {"endobj 5 0 obj << /N 3", {{5, 0, 3}}},
      {"5 0 obj << /N 3 >> 5 0 obj << /N 1 >>", {{5, 0, 1}}},  // the later one wins
      {"5 0 obj << /N 4294967299", {{5, 0, 2147483647}}},      // saturates, not 3
      // Not profile streams.
      {"5 0 obj << /Length 900 /N 3 >>", {}},  // /N is not the first key
      {"5 0 obj << /Alternate /DeviceRGB /N 3", {}},
      {"5 0 obj << /n 3", {}},  // case matters
      {"5 0 OBJ << /N 3", {}},
      {"5 0 obj << /Name 3", {}},
      {"5 0 obj << /N /3", {}},
      {"5 0 obj < < /N 3", {}},
      {"5 0 obj\f<< /N 3", {}},  // form feed is not a gap byte
      {"5 obj << /N 3", {}},
      {"5 0 obj << /N", {}},  // the region ends before the count
      {"<< /N 3 >>", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(printable(row.text));
    expect_records(collect(row.text), {}, row.profiles);
  }
}

TEST(CollectWindow, RecordsBothKindsFromOneWindow) {
  const std::string window =
      "1 0 obj << /Type /Page /Resources << /ColorSpace << /Cs1 7 0 R >> >> >>\n"
      "endobj\n5 0 obj << /N 3 /Alternate /DeviceRGB /Length 3 >>\nstream\nabc\n"
      "endstream\nendobj\n7 0 obj [/ICCBased 5 0 R]\nendobj\n";
  expect_records(collect(window), {{7, 0, "Cs1"}}, {{5, 0, 3}});
}

// A window step records matches that start at offsets 0 to 4096 inclusive;
// later text is only look-ahead for them. The text after offset 4096 is left
// to the next window, whose offset 0 is this window's 4096.
TEST(CollectWindow, RecordsOnlyMatchesStartingAtOffsetsUpTo4096) {
  struct Row {
    std::size_t offset;  // where the match's first byte goes
    bool recorded;
  };
  const Row rows[] = {{0, true},    {1, true},     {4000, true},  {4095, true},
                      {4096, true}, {4097, false}, {4200, false}, {8000, false}};
  const std::string entry = "/Cs1 7 0 R";
  const std::string profile = "5 0 obj << /N 3";
  for (const auto& row : rows) {
    for (const char filler : {' ', '%', ']', '/', '\0', '\xff'}) {
      for (const std::size_t size : {std::size_t{8192}, row.offset + 20}) {
        SCOPED_TRACE(::testing::Message() << "offset " << row.offset << ", filler "
                                          << int{filler} << ", window " << size);
        std::string window(size, filler);
        window.replace(row.offset, entry.size(), entry);
        expect_records(
            collect(window),
            row.recorded ? std::vector<Entry>{{7, 0, "Cs1"}} : std::vector<Entry>{}, {});
        window.assign(size, filler);
        window.replace(row.offset, profile.size(), profile);
        expect_records(
            collect(window), {},
            row.recorded ? std::vector<Profile>{{5, 0, 3}} : std::vector<Profile>{});
      }
    }
  }
}

TEST(CollectWindow, MatchesInsideTheZoneAreRecordedAndLaterOnesAreNot) {
  std::string window(8192, '\n');
  const auto put = [&](std::size_t at, std::string_view text) {
    window.replace(at, text.size(), text);
  };
  put(10, "/Cs1 1 0 R");
  put(2000, "11 0 obj << /N 1");
  put(4070, "/Cs2 2 0 R");
  put(4096, "12 0 obj << /N 4");  // the zone's last offset
  put(4113, "/Cs3 3 0 R");        // the first entry after the zone
  put(6000, "13 0 obj << /N 3");
  put(8182, "/Cs4 4 0 R");  // ends at the window's last byte
  expect_records(collect(window), {{1, 0, "Cs1"}, {2, 0, "Cs2"}},
                 {{11, 0, 1}, {12, 0, 4}});
}

// A match that ends at offset 4096 leaves the search there, and the match
// that starts right at 4096 is still in the zone.
TEST(CollectWindow, MatchRightAfterOneEndingAt4096IsRecorded) {
  std::string window(8192, ' ');
  window.replace(4086, 20, "/Cs1 1 0 R/Cs2 2 0 R");
  window.replace(4106, 10, "/Cs3 3 0 R");
  expect_records(collect(window), {{1, 0, "Cs1"}, {2, 0, "Cs2"}}, {});
}

// Pass 1 over whole inputs, through the window stream: the zones of all
// windows together cover every offset, the last 4096 bytes and inputs of
// 4096 bytes or less included.
TEST(CollectPass, RecordsFactsAnywhereInTheInput) {
  const std::string entry = "/Cs1 7 0 R";
  const std::string profile = "5 0 obj << /N 4";
  struct Row {
    std::size_t size;
    std::size_t at;
  };
  const Row rows[] = {
      {entry.size(), 0},  // the input is the entry alone
      {100, 50},           {4096, 0},           {4096, 4096 - 15}, {4097, 4086},
      {8192, 4090},        {8192, 8192 - 15},   {12288, 4096},     {12288, 8191},
      {12288, 12288 - 15}, {12289, 12288 - 14}, {20000, 16380},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "size " << row.size << ", at " << row.at);
    std::string input(row.size, ' ');
    input.replace(row.at, entry.size(), entry);
    const Registry entries = testing::collect_in_memory(input);
    expect_records(entries, {{7, 0, "Cs1"}}, {});

    if (row.size < profile.size()) continue;
    input.assign(row.size, ' ');
    input.replace(row.at, profile.size(), profile);
    expect_records(testing::collect_in_memory(input), {}, {{5, 0, 4}});
  }
}

TEST(CollectPass, ReadBlockSizeGivesTheSameFacts) {
  // Entries every 997 bytes, across every chunk boundary of the input.
  std::string input;
  std::vector<Entry> expected_entries;
  std::vector<std::string> names;
  for (std::int32_t n = 1; input.size() < 70000; ++n) {
    input += "/Cs" + std::to_string(n) + " " + std::to_string(n) + " 0 R";
    input.resize(static_cast<std::size_t>(n) * 997, '\n');
    names.push_back("Cs" + std::to_string(n));
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    expected_entries.push_back({static_cast<std::int32_t>(i + 1), 0, names[i]});
  }
  for (const std::size_t block : {stream::kChunkSize, 2 * stream::kChunkSize,
                                  16 * stream::kChunkSize, stream::kDefaultReadBlock}) {
    SCOPED_TRACE(block);
    expect_records(testing::collect_in_memory(input, block), expected_entries, {});
  }
}

}  // namespace
}  // namespace iccdrop::colorspace
