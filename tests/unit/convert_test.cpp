#include "colorspace/convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "colorspace/registry.h"
#include "stream/window_stream.h"
#include "support/memory_io.h"
#include "support/whole_file.h"

namespace iccdrop::colorspace {
namespace {

using namespace std::string_literals;  // "\0" inside literals
using testing::convert_in_memory;
using testing::ConvertedFile;
using testing::FileChange;

// Compares byte strings by size and first difference. (gtest's line diff of
// two failing 20,000-byte texts full of line feeds takes minutes.)
::testing::AssertionResult same_bytes(std::string_view got, std::string_view want) {
  if (got == want) return ::testing::AssertionSuccess();
  std::size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  auto byte_at = [](std::string_view s, std::size_t at) {
    return at < s.size() ? std::to_string(static_cast<unsigned char>(s[at])) : "end";
  };
  return ::testing::AssertionFailure()
         << "sizes " << got.size() << " and " << want.size() << ", first difference at "
         << i << ": got byte " << byte_at(got, i) << ", want " << byte_at(want, i);
}

// A change as heard, its views copied: the name's bytes live only during the
// call.
struct Heard {
  std::size_t offset, length;
  std::string name, replacement;
  friend bool operator==(const Heard&, const Heard&) = default;
};

std::ostream& operator<<(std::ostream& out, const Heard& h) {
  return out << "{" << h.offset << ", " << h.length << ", " << h.name << ", "
             << h.replacement << "}";
}

struct Converted {
  std::string window;
  std::vector<Heard> changes;
};

Converted convert(std::string window, const Registry& registry) {
  Converted result;
  auto* data = reinterpret_cast<unsigned char*>(window.data());
  convert_window(std::span(data, window.size()), registry, [&](const Change& change) {
    result.changes.push_back({change.offset, change.length, std::string(change.name),
                              std::string(change.replacement)});
  });
  result.window = std::move(window);
  return result;
}

// «/Cs1 7 0 R» and a profile 5 0 with the given component count.
Registry entry_and_profile(std::int32_t components) {
  Registry registry;
  registry_add(registry, kResourceEntry, 7, 0, 0, "Cs1");
  registry_add(registry, kProfileStream, 5, 0, components, "");
  return registry;
}

std::string spaces(std::size_t n) { return std::string(n, ' '); }

constexpr std::string_view kArrayObject = "7 0 obj\n[/ICCBased 5 0 R]\nendobj";

TEST(ConvertWindow, ComponentCountChoosesTheDeviceSpace) {
  struct Row {
    std::int32_t components;
    std::string_view replacement;  // empty: no change
  };
  const Row rows[] = {
      {0, "*0*"},
      {1, "/DeviceGray"},
      {2, "*2*"},
      {3, "/DeviceRGB"},
      {4, "/DeviceCMYK"},
      {5, ""},
      {-1, ""},
      {std::numeric_limits<std::int32_t>::max(), ""},  // «/N 4294967299» saturated
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.components);
    const Converted got =
        convert(std::string(kArrayObject), entry_and_profile(row.components));
    if (row.replacement.empty()) {
      EXPECT_TRUE(same_bytes(got.window, kArrayObject));
      EXPECT_TRUE(got.changes.empty());
      continue;
    }
    // «[/ICCBased 5 0 R]» is 17 bytes: the name, then spaces up to them.
    EXPECT_TRUE(same_bytes(got.window, "7 0 obj\n" + std::string(row.replacement) +
                                           spaces(17 - row.replacement.size()) +
                                           "\nendobj"));
    ASSERT_EQ(got.changes.size(), 1u);
    EXPECT_EQ(got.changes[0], (Heard{8, 17, "Cs1", std::string(row.replacement)}));
  }
}

struct Fact {
  std::int32_t kind, number, generation, value;
  std::string_view name;
};

Registry registry_of(const std::vector<Fact>& facts) {
  Registry registry;
  for (const Fact& f : facts)
    registry_add(registry, f.kind, f.number, f.generation, f.value, f.name);
  return registry;
}

// An array is rewritten only when a /Cs… entry refers to its own object and
// its profile was recorded, each under its exact number and generation.
TEST(ConvertWindow, ArrayNeedsItsEntryAndItsProfile) {
  struct Row {
    std::string_view what;
    std::vector<Fact> facts;
    bool changed;
  };
  const Row rows[] = {
      {"both", {{1, 7, 0, 0, "Cs1"}, {2, 5, 0, 3, ""}}, true},
      {"nothing recorded", {}, false},
      {"no entry: an array nothing refers to", {{2, 5, 0, 3, ""}}, false},
      {"no profile", {{1, 7, 0, 0, "Cs1"}}, false},
      {"entry for another generation", {{1, 7, 1, 0, "Cs1"}, {2, 5, 0, 3, ""}}, false},
      {"profile for another generation", {{1, 7, 0, 0, "Cs1"}, {2, 5, 1, 3, ""}}, false},
      {"entry for the profile's object", {{1, 5, 0, 0, "Cs1"}, {2, 5, 0, 3, ""}}, false},
      {"kinds swapped", {{2, 7, 0, 3, ""}, {1, 5, 0, 0, "Cs1"}}, false},
      {"profile recorded under the array's number",
       {{1, 7, 0, 0, "Cs1"}, {2, 7, 0, 3, ""}},
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const Converted got = convert(std::string(kArrayObject), registry_of(row.facts));
    EXPECT_EQ(got.window != kArrayObject, row.changed);
    EXPECT_EQ(got.changes.size(), row.changed ? 1u : 0u);
  }
}

TEST(ConvertWindow, ReportsTheNewestEntryName) {
  const Converted got = convert(
      std::string(kArrayObject),
      registry_of({{1, 7, 0, 0, "Cs1"}, {2, 5, 0, 3, ""}, {1, 7, 0, 0, "CsLongName"}}));
  ASSERT_EQ(got.changes.size(), 1u);
  EXPECT_EQ(got.changes[0].name, "CsLongN");
}

// How the array is written does not matter, as long as only gap bytes
// separate its tokens; the text from '[' to the match's end is what changes.
TEST(ConvertWindow, RewritesEveryFormOfTheArray) {
  struct Row {
    std::string window;
    std::string expected;  // equal to `window`: no change
  };
  const Row rows[] = {
      {"7 0 obj [/ICCBased 5 0R]", "7 0 obj /DeviceRGB" + spaces(6)},  // shortest, 16
      {"7 0 obj[/ICCBased 5 0 R]", "7 0 obj/DeviceRGB" + spaces(7)},
      {"7 0 obj [ /ICCBased 5 0 R ] endobj",
       "7 0 obj /DeviceRGB" + spaces(9) + " endobj"},
      {"7 0 obj\r\n[\r\n/ICCBased\r\n5\r\n0\r\nR\r\n]\r\nendobj",
       "7 0 obj\r\n/DeviceRGB" + spaces(14) + "\r\nendobj"},
      {"7 0 obj\t[\t/ICCBased\t5\t0\tR\t]", "7 0 obj\t/DeviceRGB" + spaces(9)},
      {"7 0 obj\0[\0/ICCBased\0"
       "5\0"
       "0\0R\0]\0"s,
       "7 0 obj\0/DeviceRGB"s + spaces(9) + "\0"s},
      {"7 0 obj [/ICCBased 005 00 R]", "7 0 obj /DeviceRGB" + spaces(10)},
      {"007 0 obj [/ICCBased 5 0 R]", "007 0 obj /DeviceRGB" + spaces(7)},
      {"endobj 7 0 obj [/ICCBased 5 0 R]/Next",
       "endobj 7 0 obj /DeviceRGB" + spaces(7) + "/Next"},
      {"\xff"
       "7 0 obj [/ICCBased 5 0 R]\xff",
       "\xff"
       "7 0 obj /DeviceRGB" +
           spaces(7) + "\xff"},
      // Not arrays of the pattern: unchanged.
      {"[/ICCBased 5 0 R]", "[/ICCBased 5 0 R]"},                // no object header
      {"7 0 obj [/ICCBased5 0 R]", "7 0 obj [/ICCBased5 0 R]"},  // no gap before 5
      {"7 0 obj [/ICCBasedX 5 0 R]", "7 0 obj [/ICCBasedX 5 0 R]"},
      {"7 0 obj [/ICCBased 5 0 R", "7 0 obj [/ICCBased 5 0 R"},      // no ']'
      {"7 0 obj [/ICCBased 5 0 R]x", "7 0 obj [/ICCBased 5 0 R]x"},  // ']' then regular
      {"7 0 obj [/ICCBased 5 0 R 6 0 R]", "7 0 obj [/ICCBased 5 0 R 6 0 R]"},
      {"7 0 obj [/ICCBased 5 R]", "7 0 obj [/ICCBased 5 R]"},
      {"7 0 obj [/ICCBased\f5 0 R]", "7 0 obj [/ICCBased\f5 0 R]"},  // form feed
      {"7 0 obj\f[/ICCBased 5 0 R]", "7 0 obj\f[/ICCBased 5 0 R]"},
      {"7 0 obj [/ICCbased 5 0 R]", "7 0 obj [/ICCbased 5 0 R]"},  // case
      {"7 0 obj [[/ICCBased 5 0 R]]", "7 0 obj [[/ICCBased 5 0 R]]"},
      {"8 0 obj [/ICCBased 5 0 R]", "8 0 obj [/ICCBased 5 0 R]"},  // unreferenced
      {"7 0 obj [/ICCBased 6 0 R]", "7 0 obj [/ICCBased 6 0 R]"},  // unknown profile
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.window);
    ASSERT_EQ(row.window.size(), row.expected.size());
    const Converted got = convert(row.window, entry_and_profile(3));
    EXPECT_TRUE(same_bytes(got.window, row.expected));
    const bool changed = row.window != row.expected;
    ASSERT_EQ(got.changes.size(), changed ? 1u : 0u);
    if (!changed) continue;
    // The change covers the array text from its '[' to its ']'.
    const std::size_t open = row.window.find('[');
    const std::size_t close = row.window.rfind(']');
    EXPECT_EQ(got.changes[0], (Heard{open, close + 1 - open, "Cs1", "/DeviceRGB"}));
  }
}

TEST(ConvertWindow, RewritesEveryArrayOfTheWindow) {
  Registry registry = registry_of({{1, 7, 0, 0, "Cs1"},
                                   {1, 9, 0, 0, "Cs2"},
                                   {1, 11, 0, 0, "Cs3"},
                                   {2, 5, 0, 3, ""},
                                   {2, 6, 0, 4, ""},
                                   {2, 8, 0, 1, ""}});
  const std::string window =
      "7 0 obj [/ICCBased 5 0 R] endobj 9 0 obj [/ICCBased 6 0 R] endobj "
      "10 0 obj [/ICCBased 5 0 R] endobj 11 0 obj [/ICCBased 8 0 R] endobj";
  const Converted got = convert(window, registry);
  EXPECT_TRUE(same_bytes(
      got.window, "7 0 obj /DeviceRGB" + spaces(7) + " endobj 9 0 obj /DeviceCMYK" +
                      spaces(6) +
                      " endobj 10 0 obj [/ICCBased 5 0 R] endobj 11 0 obj /DeviceGray" +
                      spaces(6) + " endobj"));
  const std::vector<Heard> expected{{8, 17, "Cs1", "/DeviceRGB"},
                                    {41, 17, "Cs2", "/DeviceCMYK"},
                                    {109, 17, "Cs3", "/DeviceGray"}};
  EXPECT_EQ(got.changes, expected);
}

// A match longer than 255 bytes (long gap runs, many leading zeros) is
// rewritten from its '[' to its real end: no tail of the array is left
// behind, and the search goes on to find the arrays after it.
TEST(ConvertWindow, LongMatchIsBlankedToItsEnd) {
  struct Row {
    std::string_view what;
    std::string array_object;
  };
  const Row rows[] = {
      {"gap before ']'", "7 0 obj [/ICCBased 5 0 R" + spaces(300) + "]"},
      {"gap after '['", "7 0 obj [" + std::string(300, '\n') + "/ICCBased 5 0 R]"},
      {"gap before '['", "7 0 obj" + std::string(300, '\r') + "[/ICCBased 5 0 R]"},
      {"leading zeros", "7 0 obj [/ICCBased " + std::string(300, '0') + "5 0 R]"},
      {"gaps everywhere", "7" + spaces(100) + "0" + spaces(100) + "obj" + spaces(100) +
                              "[" + spaces(100) + "/ICCBased" + spaces(100) + "5" +
                              spaces(100) + "0" + spaces(100) + "R" + spaces(100) + "]"},
      {"255 bytes", "7 0 obj [/ICCBased 5 0 R" + spaces(255 - 25) + "]"},
      {"256 bytes", "7 0 obj [/ICCBased 5 0 R" + spaces(256 - 25) + "]"},
      {"4000 bytes", "7 0 obj [/ICCBased 5 0 R" + spaces(4000 - 25) + "]"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string after = "\nendobj\n9 0 obj [/ICCBased 5 0 R]\nendobj\n";
    const std::string window = row.array_object + after;
    const std::size_t open = window.find('[');
    const std::size_t end = row.array_object.size();
    const Converted got = convert(
        window,
        registry_of({{1, 7, 0, 0, "Cs1"}, {1, 9, 0, 0, "Cs2"}, {2, 5, 0, 4, ""}}));

    std::string expected = window;
    expected.replace(open, end - open, "/DeviceCMYK" + spaces(end - open - 11));
    const std::size_t second = window.find('[', end);
    expected.replace(second, 17, "/DeviceCMYK" + spaces(6));
    EXPECT_TRUE(same_bytes(got.window, expected));
    const std::vector<Heard> heard{{open, end - open, "Cs1", "/DeviceCMYK"},
                                   {second, 17, "Cs2", "/DeviceCMYK"}};
    EXPECT_EQ(got.changes, heard);
  }
}

// Arrays are handled where they start at window offsets 0 to 4096; those that
// start later are left to the next window.
TEST(ConvertWindow, RewritesOnlyArraysStartingAtOffsetsUpTo4096) {
  const std::string array = "7 0 obj [/ICCBased 5 0 R]";
  for (const std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{4095},
                               std::size_t{4096}, std::size_t{4097}, std::size_t{6000}}) {
    SCOPED_TRACE(at);
    std::string window(8192, '\n');
    window.replace(at, array.size(), array);
    const Converted got = convert(window, entry_and_profile(3));
    std::string expected = window;
    if (at <= 4096) expected.replace(at + 8, 17, "/DeviceRGB" + spaces(7));
    EXPECT_TRUE(same_bytes(got.window, expected));
    EXPECT_EQ(got.changes.size(), at <= 4096 ? 1u : 0u);
  }
}

// Every byte outside the rewritten range stays as it was, whatever it is.
TEST(ConvertWindow, LeavesEveryOtherByteAlone) {
  std::mt19937 random(42);
  for (int trial = 0; trial < 50; ++trial) {
    std::string window(8192, ' ');
    for (auto& c : window) c = static_cast<char>(random() & 0xFF);
    const std::string array = "\n7 0 obj [/ICCBased 5 0 R]\n";
    const std::size_t at = random() % (4096 - 1);
    window.replace(at, array.size(), array);
    const Converted got = convert(window, entry_and_profile(1));
    ASSERT_EQ(got.changes.size(), 1u);
    const Heard& change = got.changes[0];
    EXPECT_EQ(change.offset, at + 9);
    EXPECT_EQ(got.window.substr(0, change.offset), window.substr(0, change.offset));
    EXPECT_EQ(got.window.substr(change.offset + change.length),
              window.substr(change.offset + change.length));
    EXPECT_EQ(got.window.substr(change.offset, change.length), "/DeviceGray" + spaces(6));
  }
}

// Whole inputs, both passes, through the window stream.

// The input with each array object of `arrays` (input offset of its '[')
// rewritten as the tool must: the name, then spaces to the ']'.
std::string rewritten(std::string input, const std::vector<FileChange>& changes) {
  for (const FileChange& c : changes) {
    input.replace(c.offset, c.length,
                  c.replacement + spaces(c.length - c.replacement.size()));
  }
  return input;
}

constexpr std::string_view kEntry = "/Cs1 7 0 R";
constexpr std::string_view kProfile = "5 0 obj << /N 3 /Length 0 >>";
constexpr std::string_view kArray = "7 0 obj [/ICCBased 5 0 R]";

// An input of `size` bytes of line feeds with the three objects at the given
// offsets.
std::string input_with(std::size_t size, std::size_t entry_at, std::size_t profile_at,
                       std::size_t array_at) {
  std::string input(size, '\n');
  input.replace(entry_at, kEntry.size(), kEntry);
  input.replace(profile_at, kProfile.size(), kProfile);
  input.replace(array_at, kArray.size(), kArray);
  return input;
}

TEST(ConvertPass, RewritesArraysAnywhereInTheInput) {
  struct Row {
    std::string_view what;
    std::size_t size, entry_at, profile_at, array_at;
  };
  const Row rows[] = {
      {"all three objects, nothing else", 65, 0, 11, 40},
      {"a small input", 1000, 100, 200, 500},
      {"an input of 4096 bytes", 4096, 100, 200, 4096 - 25},
      {"array before its entry and profile", 1000, 900, 800, 10},
      {"array before them in another chunk", 30000, 25000, 20000, 10},
      {"array in the last 4095 bytes", 12288, 100, 200, 12288 - 25},
      {"array at 8192 of 12288", 12288, 100, 200, 8192},
      {"array at 8193 of 12288", 12288, 100, 200, 8193},
      {"everything in the last chunk", 12288, 9000, 10000, 11000},
      {"array ending at the end of 12289", 12289, 100, 200, 12289 - 25},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string input =
        input_with(row.size, row.entry_at, row.profile_at, row.array_at);
    const ConvertedFile got = convert_in_memory(input);
    EXPECT_EQ(got.status, stream::PassStatus::kOk);
    const std::vector<FileChange> expected{{row.array_at + 8, 17, "Cs1", "/DeviceRGB"}};
    EXPECT_EQ(got.changes, expected);
    EXPECT_TRUE(same_bytes(got.output, rewritten(input, expected)));
  }
}

// Slides the array over the chunk boundaries at 4096 and 8192: wherever it
// starts it is rewritten exactly once, also when it starts at 4096 and so
// lies in the zones of two windows, and when its '[' or its tail lies in the
// next chunk.
TEST(ConvertPass, ArrayAcrossAChunkBoundaryIsRewrittenOnce) {
  for (std::size_t boundary : {std::size_t{4096}, std::size_t{8192}}) {
    for (std::size_t at = boundary - 30; at <= boundary + 5; ++at) {
      SCOPED_TRACE(::testing::Message() << "array at " << at);
      const std::string input = input_with(20000, 100, 200, at);
      const ConvertedFile got = convert_in_memory(input);
      const std::vector<FileChange> expected{{at + 8, 17, "Cs1", "/DeviceRGB"}};
      EXPECT_EQ(got.changes, expected);
      EXPECT_TRUE(same_bytes(got.output, rewritten(input, expected)));
    }
  }
}

TEST(ConvertPass, LongArrayRewrittenAcrossTheBoundaryReachesTheOutput) {
  // Starts at 4000, and its gap run carries it 2000 bytes into the next chunk.
  std::string input(12000, '\n');
  input.replace(10, kEntry.size(), kEntry);
  input.replace(100, kProfile.size(), kProfile);
  const std::string array = "7 0 obj [/ICCBased 5 0 R" + spaces(2100) + "]";
  input.replace(4000, array.size(), array);
  const ConvertedFile got = convert_in_memory(input);
  const std::vector<FileChange> expected{{4008, array.size() - 8, "Cs1", "/DeviceRGB"}};
  EXPECT_EQ(got.changes, expected);
  EXPECT_TRUE(same_bytes(got.output, rewritten(input, expected)));
}

TEST(ConvertPass, UnknownArrayPassesThroughUnchanged) {
  for (const std::size_t at :
       {std::size_t{10}, std::size_t{4096}, std::size_t{12288 - 25}}) {
    SCOPED_TRACE(at);
    std::string input(12288, ' ');
    input.replace(at, kArray.size(), kArray);
    const ConvertedFile got = convert_in_memory(input);
    EXPECT_TRUE(got.changes.empty());
    EXPECT_TRUE(same_bytes(got.output, input));
  }
}

// Reading in large blocks against reading in 4096-byte chunks: the same
// changes and the same output bytes, for arrays at and around every chunk
// boundary of the input.
TEST(ConvertPass, ReadBlockSizeGivesTheSameOutput) {
  std::string input;
  for (int n = 1; input.size() < 80000; ++n) {
    input += "/Cs" + std::to_string(n) + " " + std::to_string(1000 + n) + " 0 R\n";
    input += std::to_string(n) + " 0 obj << /N " + std::to_string(n % 6) + " >>\n";
    // Pad so that the arrays drift over the chunk boundaries.
    input += std::string(static_cast<std::size_t>(n % 37) * 29, '\n');
    input += std::to_string(1000 + n) + " 0 obj\n[/ICCBased " + std::to_string(n) +
             " 0 R]\nendobj\n";
  }
  const ConvertedFile reference = convert_in_memory(input, stream::kChunkSize);
  EXPECT_EQ(reference.output.size(), input.size());
  EXPECT_GT(reference.changes.size(), 50u);
  EXPECT_TRUE(same_bytes(reference.output, rewritten(input, reference.changes)));
  for (const std::size_t block :
       {2 * stream::kChunkSize, 16 * stream::kChunkSize, stream::kDefaultReadBlock}) {
    SCOPED_TRACE(block);
    const ConvertedFile got = convert_in_memory(input, block);
    EXPECT_EQ(got.changes, reference.changes);
    EXPECT_TRUE(same_bytes(got.output, reference.output));
  }
}

}  // namespace
}  // namespace iccdrop::colorspace
