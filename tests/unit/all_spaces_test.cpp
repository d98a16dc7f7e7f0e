#include "colorspace/all_spaces.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
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
using testing::as_bytes;
using testing::FileChange;

AllSpaces collect(std::string_view window,
                  std::optional<unsigned char> before = std::nullopt) {
  AllSpaces facts;
  collect_window_all(as_bytes(window), before, facts);
  return facts;
}

struct Heard {
  std::size_t offset, length;
  std::string name, replacement;
  friend bool operator==(const Heard&, const Heard&) = default;
};

std::ostream& operator<<(std::ostream& out, const Heard& h) {
  return out << "{" << h.offset << ", " << h.length << ", '" << h.name << "', "
             << h.replacement << "}";
}

struct Converted {
  std::string window;
  std::vector<Heard> changes;
};

Converted convert(std::string window, const AllSpaces& facts,
                  std::optional<unsigned char> before = std::nullopt) {
  Converted result;
  auto* data = reinterpret_cast<unsigned char*>(window.data());
  convert_window_all(
      std::span(data, window.size()), before, facts, [&](const Change& change) {
        result.changes.push_back({change.offset, change.length, std::string(change.name),
                                  std::string(change.replacement)});
      });
  result.window = std::move(window);
  return result;
}

// A profile is a stream whose dictionary holds /N among its own keys, with a
// direct integer value, read by PDF's token rules.
TEST(CollectWindowAll, RecordsTheNOfEveryProfileStream) {
  struct Row {
    std::string_view what;
    std::string window;
    std::optional<std::int32_t> components;  // of object 5 0; none: not recorded
  };
  const Row rows[] = {
      {"/N first", "5 0 obj\n<< /N 3 /Length 10 >>\nstream\n", 3},
      {"/Length first", "5 0 obj << /Length 2612 /N 3 /Alternate /DeviceRGB >> stream",
       3},
      {"/Alternate first", "5 0 obj<</Alternate/DeviceGray/N 1/Length 3385>>stream", 1},
      {"/Filter first", "5 0 obj << /Filter /FlateDecode /Length 9 /N 4 >>\nstream", 4},
      {"indirect /Length", "5 0 obj << /Length 12 0 R /N 3 >> stream", 3},
      {"arrays and strings before",
       "5 0 obj << /Range [0 1 0 1] /T (a >> b) /N 3 >> stream", 3},
      {"strings with escapes before",
       R"(5 0 obj << /T (left \) only) /U (a \\) /V (\\\)) /N 3 >> stream)", 3},
      {"a hex string before", "5 0 obj << /ID <3E3E> /N 3 >> stream", 3},
      {"comments between tokens",
       "5 0 obj % a >> b\n<< /Length 9 %/N 4\n/N % x\n3 >>\nstream", 3},
      {"form feed and NUL as white space", "5\f0\fobj\f<<\f/N\f3\f>>\fstream"s, 3},
      {"NUL as white space",
       "5\0"
       "0\0obj\0<<\0/N\0"
       "3\0>>\0stream"s,
       3},
      {"any count is recorded", "5 0 obj << /N 2 >> stream", 2},
      {"a count past 16 bits saturates, never wraps to 3",
       "5 0 obj << /N 65539 >> stream", 32767},
      {"the last /N of the dictionary", "5 0 obj << /N 1 /N 3 >> stream", 3},
      // Not profiles of 5 0.
      {"/N in a nested dictionary",
       "5 0 obj << /DecodeParms << /N 3 >> /L 1 >> stream",
       {}},
      {"/N in a string", "5 0 obj << /T (/N 3) >> stream", {}},
      {"/N a reference", "5 0 obj << /N 3 0 R >> stream", {}},
      {"/N a real", "5 0 obj << /N 3.0 >> stream", {}},
      {"/N a name", "5 0 obj << /N /Three >> stream", {}},
      {"no stream", "5 0 obj << /N 3 >> endobj", {}},
      {"a longer name", "5 0 obj << /NN 3 >> stream", {}},
      {"a word run into the number", "x5 0 obj << /N 3 >> stream", {}},
      {"no dictionary", "5 0 obj [/N 3] stream", {}},
      {"a dictionary cut by the window's end", "5 0 obj << /N 3 /Length 9", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const AllSpaces facts = collect(row.window);
    EXPECT_EQ(facts.profile_components(5, 0), row.components);
    EXPECT_EQ(facts.profile_count(), row.components ? 1u : 0u);
  }
}

TEST(CollectWindowAll, EachProfileOfAWindowUnderItsOwnHeader) {
  const AllSpaces facts = collect(
      "5 0 obj << /N 3 >> stream\nxyz /N 4 junk\nendstream endobj\n"
      "6 1 obj << /Length 7 0 R /Metadata 9 0 R /N 1 >> stream\n/N 3\nendstream\n"
      "7 0 obj 12 endobj 8 0 obj << /Type /ObjStm /N 4 /First 9 >> stream\r\nxy");
  EXPECT_EQ(facts.profile_components(5, 0), 3);
  EXPECT_EQ(facts.profile_components(6, 1), 1);
  EXPECT_EQ(facts.profile_components(7, 0), std::nullopt);
  EXPECT_EQ(facts.profile_components(8, 0), std::nullopt);  // an object stream
  EXPECT_EQ(facts.profile_count(), 2u);
  // Each stream with where its data begins, after the keyword's line end.
  const auto streams = facts.streams();
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0].kind, StreamRecord::Kind::kProfile);
  EXPECT_EQ(streams[0].data, 26u);
  EXPECT_EQ(streams[1].object, 6);
  EXPECT_EQ(streams[1].length, std::nullopt);  // «7 0 R»
  EXPECT_EQ(streams[2].kind, StreamRecord::Kind::kObjectStream);
  EXPECT_EQ(streams[2].count, 4);
  EXPECT_EQ(streams[2].first, 9);
  EXPECT_EQ(streams[2].filter, StreamRecord::Filter::kNone);
}

// An object stream's dictionary, keys in any order: the filter as the
// rewrite must take it, and the /Length.
TEST(CollectWindowAll, ObjectStreamFilterAndLength) {
  using enum StreamRecord::Filter;
  struct Row {
    const char* dictionary;
    StreamRecord::Filter filter;
    std::optional<std::uint64_t> length;
  };
  const Row rows[] = {
      {"/Filter /FlateDecode /Length 120 /N 2 /First 9 /Type /ObjStm", kFlate, 120},
      {"/Type/ObjStm/N 2/First 9/Length 120/Filter[ /FlateDecode ]", kFlate, 120},
      {"/Type/ObjStm/N 2/First 9/Length 12 0 R/Filter/FlateDecode", kFlate, {}},
      {"/Type/ObjStm/N 2/First 9/Filter[/FlateDecode/ASCIIHexDecode]", kOther, {}},
      {"/Type/ObjStm/N 2/First 9/Filter/LZWDecode", kOther, {}},
      {"/Type/ObjStm/N 2/First 9/Filter/FlateDecode/DecodeParms<</Predictor 12/Columns "
       "4>>",
       kOther,
       {}},
      {"/Type/ObjStm/N 2/First 9/Filter/FlateDecode/DecodeParms<</Predictor 1>>",
       kFlate,
       {}},
      {"/Type/ObjStm/N 2/First 9/Filter/FlateDecode/DecodeParms null", kFlate, {}},
      {"/Type/ObjStm/N 2/First 9/Filter/FlateDecode/DecodeParms 5 0 R", kOther, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.dictionary);
    const AllSpaces facts =
        collect(std::string("12 0 obj\n<<") + row.dictionary + ">>\nstream\nxyz");
    ASSERT_EQ(facts.streams().size(), 1u);
    const StreamRecord& stream = facts.streams()[0];
    EXPECT_EQ(stream.kind, StreamRecord::Kind::kObjectStream);
    EXPECT_EQ(stream.object, 12);
    EXPECT_EQ(stream.filter, row.filter);
    EXPECT_EQ(stream.length, row.length);
    EXPECT_EQ(stream.count, 2);
    EXPECT_EQ(facts.profile_count(), 0u);
  }
}

// The keys that name colour spaces: resource names of the issue's shapes
// anywhere, every key of a /ColorSpace dictionary, and an image's
// /ColorSpace (weak: never over a resource name).
TEST(CollectWindowAll, RecordsTheKeysThatNameColourSpaces) {
  struct Row {
    std::string_view what;
    std::string window;
    std::vector<std::pair<std::int32_t, std::string_view>> names;  // generation 0
    std::vector<std::pair<std::int32_t, std::string_view>> default_names = {};
  };
  const Row rows[] = {
      {"a /ColorSpace dictionary",
       "/ColorSpace << /CS0 12 0 R /Foo 13 0 R /Direct [/ICCBased 5 0 R] /DefaultRGB 14 "
       "0 R >>",
       {{12, "CS0"}, {13, "Foo"}, {14, "DefaultRGB"}}},
      {"/CS… and long /Cs… names anywhere",
       "<< /CsLongName 7 0 R /CS0 8 0 R /Cs1 9 0 R /R12 10 0 R /DefaultGray 11 0 R >>",
       {{7, "CsLongName"}, {8, "CS0"}}},  // Cs1: the default step's
      {"an image's /ColorSpace",
       "<< /Subtype /Image /ColorSpace 7 0 R >>",
       {{7, "ColorSpace"}}},
      {"a group's /CS", "/Group << /S /Transparency /CS 7 0 R >>", {{7, "CS"}}},
      {"delimiters end tokens",
       "/ColorSpace<</R7\n7 0 R/R9 9 0 R>>",
       {{7, "R7"}, {9, "R9"}}},
      {"a comment inside the entry", "/CsLongName % x\n7 % y\n0 R", {{7, "CsLongName"}}},
      {"strings with escapes before the key",
       R"(/ColorSpace << /T (a \) b) /U (c \\) /R7 7 0 R >>)",
       {{7, "R7"}}},
      {"a resource name wins over an image's key",
       "/ColorSpace 7 0 R /CS1 7 0 R /ColorSpace 7 0 R",
       {{7, "CS1"}}},
      {"the newer resource name wins", "/CS1 7 0 R /CS2 7 0 R", {{7, "CS2"}}},
      {"a shorter name replaces a longer one",
       "/CSLongName 7 0 R /CSLonger 7 0 R",
       {{7, "CSLonger"}}},
      // A short key shares the bytes of the default step's name of the
      // object, and keeps its own when that name changes.
      {"a key, then another default name",
       "/ColorSpace << /CS0 7 0 R >> /Cs1 7 0 R",
       {{7, "CS0"}},
       {{7, "Cs1"}}},
      {"the default name as a key, then another default name",
       "/Cs1 7 0 R /ColorSpace << /Cs1 7 0 R >> /Cs2 7 0 R",
       {{7, "Cs1"}},
       {{7, "Cs2"}}},
      {"a short key replaced by a long one",
       "/ColorSpace << /Cs1 7 0 R >> /ColorSpace << /CsLongName 7 0 R >>",
       {{7, "CsLongName"}},
       {{7, "CsLongN"}}},
      // Not names of colour spaces.
      {"other keys", "<< /Font 7 0 R /Resources 8 0 R /Root 9 0 R /D 1 0 R >>", {}},
      {"no reference", "/Cs1 7 0 obj /CS0 /DeviceRGB /R1 7 0 Rx", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const AllSpaces facts = collect(row.window);
    EXPECT_EQ(facts.name_count(), row.names.size());
    for (const auto& [object, name] : row.names) {
      EXPECT_EQ(facts.name_of(object, 0), std::optional<std::string_view>(name))
          << object;
    }
    for (const auto& [object, name] : row.default_names) {
      const auto entry = registry_find(facts.defaults(), kResourceEntry, object, 0);
      EXPECT_EQ(entry ? std::string_view(entry->name.data()) : "-", name) << object;
    }
  }
}

// Facts for the conversion tests: profiles 5 (RGB), 6 (gray), 8 (CMYK), 2 and
// 0 (no device space), 9 (/N 5); names of objects 7 and 10.
AllSpaces some_facts() {
  return collect(
      "5 0 obj << /Length 1 /N 3 >> stream\n6 0 obj << /N 1 >> stream\n"
      "8 0 obj << /Filter /F /N 4 >> stream\n2 0 obj << /Length 1 /N 2 >> stream\n"
      "3 0 obj << /Length 1 /N 0 >> stream\n9 0 obj << /Length 1 /N 5 >> stream\n"
      "/ColorSpace << /CS0 7 0 R >> /Cs10LongName 10 0 R\n"
      "/Cs14 14 0 R /Group << /S /Transparency /CS 14 0 R >>");
}

std::string spaces(std::size_t n) { return std::string(n, ' '); }

TEST(ConvertWindowAll, RewritesEveryArrayWithADeviceProfile) {
  struct Row {
    std::string_view what;
    std::string window;
    std::string expected;   // equal to window: no change
    std::string_view name;  // reported
  };
  const AllSpaces facts = some_facts();
  const Row rows[] = {
      {"an array object named by a resource dictionary",
       "7 0 obj [/ICCBased 5 0 R] endobj", "7 0 obj /DeviceRGB" + spaces(7) + " endobj",
       "CS0"},
      {"a long resource name whole", "10 0 obj\n[ /ICCBased 8 0 R ]\nendobj",
       "10 0 obj\n/DeviceCMYK" + spaces(8) + "\nendobj", "Cs10LongName"},
      {"an array object nothing names", "11 0 obj [/ICCBased 6 0 R]endobj",
       "11 0 obj /DeviceGray" + spaces(6) + "endobj", "11 0 obj"},
      {"a direct array in a resource dictionary", "<< /CS0 [/ICCBased 5 0 R] >>",
       "<< /CS0 /DeviceRGB" + spaces(7) + " >>", "CS0"},
      {"a direct array in an image", "/Height 9 /ColorSpace [/ICCBased 6 0 R]/BPC 8",
       "/Height 9 /ColorSpace /DeviceGray" + spaces(6) + "/BPC 8", "ColorSpace"},
      {"an Indexed base", "12 0 obj [/Indexed [/ICCBased 5 0 R] 255 <00>]",
       "12 0 obj [/Indexed /DeviceRGB" + spaces(7) + " 255 <00>]", "5 0 obj"},
      {"a Separation alternate", "[/Separation /Black [/ICCBased 6 0 R] 9 0 R]",
       "[/Separation /Black /DeviceGray" + spaces(6) + " 9 0 R]", "6 0 obj"},
      {"a DeviceN alternate", "[/DeviceN [/C /M] [/ICCBased 8 0 R] 9 0 R]",
       "[/DeviceN [/C /M] /DeviceCMYK" + spaces(6) + " 9 0 R]", "8 0 obj"},
      {"a DeviceN /Process dictionary",
       "/Process << /ColorSpace [/ICCBased 5 0 R] /Components [/C] >>",
       "/Process << /ColorSpace /DeviceRGB" + spaces(7) + " /Components [/C] >>",
       "ColorSpace"},
      {"comments and form feeds between the tokens",
       "13 0 obj % c [\n[\f/ICCBased % 5 0 R]\n5\f0 %\nR\r]endobj",
       "13 0 obj % c [\n/DeviceRGB" + spaces(20) + "endobj", "13 0 obj"},
      {"a comment between the key and the array", "/CS0 % note\n[/ICCBased 5 0 R]",
       "/CS0 % note\n/DeviceRGB" + spaces(7), "CS0"},
      {"a comment with two '%' between the key and the array",
       "/CS0 % a % b\n[/ICCBased 5 0 R]", "/CS0 % a % b\n/DeviceRGB" + spaces(7), "CS0"},
      {"an array object that a group's /CS names too", "14 0 obj [/ICCBased 5 0 R]",
       "14 0 obj /DeviceRGB" + spaces(7), "Cs14"},
      // Left alone.
      {"no device space for /N 2", "7 0 obj [/ICCBased 2 0 R]",
       "7 0 obj [/ICCBased 2 0 R]", ""},
      {"no device space for /N 0", "7 0 obj [/ICCBased 3 0 R]",
       "7 0 obj [/ICCBased 3 0 R]", ""},
      {"no device space for /N 5", "<< /C [/ICCBased 9 0 R] >>",
       "<< /C [/ICCBased 9 0 R] >>", ""},
      {"an unknown profile", "7 0 obj [/ICCBased 4 0 R]", "7 0 obj [/ICCBased 4 0 R]",
       ""},
      {"another generation", "7 0 obj [/ICCBased 5 1 R]", "7 0 obj [/ICCBased 5 1 R]",
       ""},
      {"a longer name", "[/ICCBased5 0 R] [/ICCBasedX 5 0 R]",
       "[/ICCBased5 0 R] [/ICCBasedX 5 0 R]", ""},
      {"more in the array", "[/ICCBased 5 0 R 6 0 R]", "[/ICCBased 5 0 R 6 0 R]", ""},
      {"no '['", "/ICCBased 5 0 R]", "/ICCBased 5 0 R]", ""},
      {"a word run into R", "[/ICCBased 5 0 Rx]", "[/ICCBased 5 0 Rx]", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(row.window.size(), row.expected.size());
    const Converted got = convert(row.window, facts);
    EXPECT_EQ(got.window, row.expected);
    if (row.window == row.expected) {
      EXPECT_TRUE(got.changes.empty());
      continue;
    }
    ASSERT_EQ(got.changes.size(), 1u);
    const std::size_t first = [&] {
      std::size_t i = 0;
      while (row.window[i] == row.expected[i]) ++i;
      return i;
    }();
    EXPECT_EQ(got.changes[0].offset, first);
    EXPECT_EQ(got.changes[0].name, row.name);
  }
}

// What the default mode converts, --all converts with the default's line (a
// name of 7 bytes at most), and the rest with its own; but no markers.
TEST(ConvertWindowAll, DefaultRewritesKeepTheDefaultLine) {
  const AllSpaces facts = collect(
      "/Cs1LongName 7 0 R /Cs2 8 0 R /Cs3 9 0 R\n"
      "5 0 obj << /N 3 >> stream\n6 0 obj << /Length 1 /N 3 >> stream\n"
      "4 0 obj << /N 2 >> stream\n");
  const Converted got = convert(
      "7 0 obj [/ICCBased 5 0 R] 8 0 obj [/ICCBased 6 0 R] 9 0 obj [/ICCBased 4 0 R]",
      facts);
  EXPECT_EQ(got.window, "7 0 obj /DeviceRGB" + spaces(7) + " 8 0 obj /DeviceRGB" +
                            spaces(7) + " 9 0 obj [/ICCBased 4 0 R]");
  const std::vector<Heard> expected{
      {8, 17, "Cs1Long", "/DeviceRGB"},  // default's
      {34, 17, "Cs2", "/DeviceRGB"}};    // profile not N-first
  EXPECT_EQ(got.changes, expected);
}

// A window that starts inside a number knows it from the byte before it.
// Facts collected in two parts and merged are the facts collected in one:
// at every split of a sequence of windows that record, replace and weaken
// names and profiles of the same objects, in both kinds of facts.
TEST(AllSpacesWindows, MergedPartsHoldWhatOneRunHolds) {
  const std::vector<std::string> windows = {
      "5 0 obj << /N 3 >> stream\n/ColorSpace 7 0 R /Cs1 7 0 R /CS 9 0 R",
      "/ColorSpace << /CS0 7 0 R /CS1 8 0 R >> 6 0 obj << /N 4 >> stream\n",
      "/ColorSpace 8 0 R /Cs2 8 0 R 5 0 obj << /N 1 >> stream\n",
      "/ColorSpace 9 0 R /CSLongName 7 0 R",
      "/ColorSpace << /CS2 9 0 R >> 6 0 obj << /N 3 >> stream\n/ColorSpace 7 0 R",
  };
  const auto facts_of = [](const AllSpaces& facts) {
    std::string text = std::to_string(facts.profile_count()) + ":";
    for (std::int32_t object = 5; object <= 9; ++object) {
      const auto name = facts.name_of(object, 0);
      const auto entry = registry_find(facts.defaults(), kResourceEntry, object, 0);
      const auto profile = registry_find(facts.defaults(), kProfileStream, object, 0);
      text += " " + std::to_string(facts.profile_components(object, 0).value_or(-1)) +
              "/" + std::string(name.value_or("-")) +
              (facts.name_is_weak(object, 0) ? "(weak)" : "") + "/" +
              (entry ? entry->name.data() : "-") + "/" +
              std::to_string(profile ? profile->value : -1);
    }
    return text;
  };
  AllSpaces whole;
  for (const std::string& window : windows)
    collect_window_all(as_bytes(window), {}, whole);
  for (std::size_t split = 0; split <= windows.size(); ++split) {
    AllSpaces first, later;
    for (std::size_t i = 0; i < windows.size(); ++i)
      collect_window_all(as_bytes(windows[i]), {}, i < split ? first : later);
    first.merge(later);
    EXPECT_EQ(facts_of(first), facts_of(whole)) << "split before window " << split;
  }
  EXPECT_EQ(facts_of(whole),
            "2: 1/-/-/1 3/-/-/3 -1/CSLongName/Cs1/-1 -1/CS1/Cs2/-1 -1/CS2/-/-1");
}

TEST(AllSpacesWindows, ANumberCutByTheWindowsStartIsNotANumber) {
  struct Row {
    std::string_view what;
    std::optional<unsigned char> before;
    bool recorded;  // profile 34 0 and the default's profile 34 0
  };
  const Row rows[] = {
      {"first window", std::nullopt, true},
      {"after a space", ' ', true},
      {"after a digit", '2', false},
      {"after a letter", 'x', false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // A profile whose header starts at offset 0 and whose /N lies in the
    // zone, and the default's profile pattern at offset 0.
    const AllSpaces facts = collect(
        "34 0 obj <<" + std::string(kAllLookBehind, ' ') + "/N 3 >> stream", row.before);
    EXPECT_EQ(facts.profile_components(34, 0).has_value(), row.recorded);
    const AllSpaces defaults = collect("34 0 obj << /N 3 >> stream", row.before);
    const bool default_recorded =
        registry_find(defaults.defaults(), kProfileStream, 34, 0).has_value();
    // The default's pattern reads numbers after a letter (its own rule), but
    // not the tail of a digit run.
    EXPECT_EQ(default_recorded, row.before != '2');
  }
}

// Whole files: each array is rewritten once, wherever it lies against the
// windows and the zones, with its header or key seen.
TEST(AllSpacesPass, ArraysAcrossWindowsAreRewrittenOnceWithTheirNames) {
  const std::string facts_text =
      "5 0 obj << /Length 1 /N 3 >> stream\nendstream\n/ColorSpace << /CS0 7 0 R >>\n";
  const std::vector<std::size_t> boundaries{4096, 4096 + kAllLookBehind, 8192,
                                            8192 + kAllLookBehind};
  struct Form {
    std::string text;
    std::string name;
  };
  const Form forms[] = {{"7 0 obj\n[/ICCBased 5 0 R]endobj", "CS0"},
                        {"<< /Key [ /ICCBased 5 0 R ] >>", "Key"},
                        {"11 0 obj [/Indexed [/ICCBased 5 0 R] 1 <00>]", "5 0 obj"}};
  for (const Form& form : forms) {
    for (std::size_t boundary : boundaries) {
      for (std::size_t at = boundary - 40; at <= boundary + 5; ++at) {
        SCOPED_TRACE(::testing::Message() << form.text << " at " << at);
        std::string input(16384, '\n');
        input.replace(0, facts_text.size(), facts_text);
        input.replace(at, form.text.size(), form.text);
        const auto got = testing::convert_all_in_memory(input);
        const std::size_t open = input.rfind('[', input.find("/ICCBased", at));
        const std::size_t close = input.find(']', open) + 1;
        ASSERT_EQ(got.changes.size(), 1u);
        EXPECT_EQ(got.changes[0],
                  (FileChange{open, close - open, form.name, "/DeviceRGB"}));
        std::string expected = input;
        expected.replace(open, close - open, "/DeviceRGB" + spaces(close - open - 10));
        EXPECT_TRUE(got.output == expected);
      }
    }
  }
}

// Reading in 4096-byte blocks or larger ones gives the same output; a second
// run finds nothing left.
TEST(AllSpacesPass, ReadBlockSizeGivesTheSameOutputAndASecondRunNothing) {
  std::string input;
  for (int n = 1; input.size() < 70000; ++n) {
    const std::string profile = std::to_string(2 * n);
    const std::string array = std::to_string(2 * n + 1);
    input += profile + " 0 obj\n<< /Length 3 /N " + std::to_string(n % 5) +
             " >>\nstream\nabc\nendstream\nendobj\n";
    input += std::string(static_cast<std::size_t>(n % 41) * 23, ' ');
    input += (n % 3 == 0 ? "<< /CS" + array + " [/ICCBased " + profile + " 0 R] >>\n"
                         : array + " 0 obj [/ICCBased " + profile + " 0 R]endobj\n");
    if (n % 4 == 0) input += "/Cs" + array + " " + array + " 0 R\n";
  }
  const auto reference = testing::convert_all_in_memory(input, stream::kChunkSize);
  EXPECT_GT(reference.changes.size(), 50u);
  for (const std::size_t block : {2 * stream::kChunkSize, stream::kDefaultReadBlock}) {
    SCOPED_TRACE(block);
    const auto got = testing::convert_all_in_memory(input, block);
    EXPECT_EQ(got.changes, reference.changes);
    EXPECT_TRUE(got.output == reference.output);
  }
  const auto again = testing::convert_all_in_memory(reference.output);
  EXPECT_TRUE(again.changes.empty());
  EXPECT_TRUE(again.output == reference.output);
}

// The default mode's rewrites are all made, at the same offsets and with the
// same lines; --all only adds to them (here: no markers, no digit runs cut).
TEST(AllSpacesPass, MakesEveryDefaultRewriteWithItsLine) {
  std::string input;
  for (int n = 1; input.size() < 60000; ++n) {
    input += "/Cs" + std::to_string(n) + " " + std::to_string(1000 + n) + " 0 R\n";
    input += std::to_string(n) + " 0 obj << /N " + std::to_string(1 + n % 4 / 3 * 2) +
             " >> stream\n";
    input += std::string(static_cast<std::size_t>(n % 37) * 29, '\n');
    input += std::to_string(1000 + n) + " 0 obj\n[/ICCBased " + std::to_string(n) +
             " 0 R]\nendobj\n";
  }
  const auto by_default = testing::convert_in_memory(input);
  const auto all = testing::convert_all_in_memory(input);
  EXPECT_GT(by_default.changes.size(), 50u);
  EXPECT_EQ(all.changes, by_default.changes);
  EXPECT_TRUE(all.output == by_default.output);
}

}  // namespace
}  // namespace iccdrop::colorspace
