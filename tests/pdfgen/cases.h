// Test PDF cases: a small declarative description of a file (colour spaces,
// resource dictionaries, pages, and the order in which their objects are
// written), the builder that turns it into PDF bytes in the style of the
// macOS Quartz writer, and the conversions iccdrop must report on it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pdfgen/pdf_writer.h"
#include "support/tool_messages.h"

namespace iccdrop::pdfgen {

enum class Profile {
  kGray,       // Gray.icc of icc-profiles-free (a linear tone curve), /N 1
  kGraySrgb,   // Ghostscript's default_gray.icc (sGray: the sRGB tone curve), /N 1
  kRgb,        // sRGB.icc of icc-profiles-free, /N 3
  kCmyk,       // our own CMYK profile, 5 grid points, /N 4
  kCmykSmall,  // our own CMYK profile, 3 grid points, /N 4
  kCmykLarge,  // Ghostscript's default_cmyk.icc (187 KB), /N 4
};

// The key a profile's dictionary begins with, when not /N (see n_first).
enum class FirstKey { kN, kLength, kAlternate, kFilter };

// How an ICC-based array is written.
enum class ArrayStyle {
  kQuartz,           // «[ /ICCBased 8 0 R ]»
  kTight,            // «[/ICCBased 8 0 R]»
  kTightEnd,         // «[/ICCBased 8 0 R]endobj», as Ghostscript writes it
  kCommentFormFeed,  // «[ % …\n/ICCBased\f8 0 R ]»
};

struct ColorSpace {
  std::string name;  // resource name without the slash, e.g. "Cs1"
  Profile profile;
  bool n_first = true;  // false: «<< /Length … /N 3 …» as older macOS writes it
  bool direct =
      false;  // true: «/Cs3 [ /ICCBased 12 0 R ]» inside the resource dictionary
  FirstKey first_key = FirstKey::kN;  // with n_first: kN gives «<< /N 3 …»
  ArrayStyle style = ArrayStyle::kQuartz;
};

struct Resources {
  std::vector<int> color_spaces;   // indexes into Case::color_spaces, named there
  std::optional<int> image_space;  // an image XObject /Im1 in this colour space
  bool image_direct = false;       // its /ColorSpace written as the array itself
};

struct Page {
  int resources = 0;  // index into Case::resources; pages may share one
};

// What is written next. kPadTo writes a comment line so that `needle` of the
// following item starts at offset 4096 * k + `delta` for the smallest k that
// leaves room for the comment. kRest writes every part not yet written, in
// Quartz's order (content, page, resources, colour spaces, page tree, ...).
enum class ItemKind { kArray, kProfile, kResources, kPage, kRest, kPadTo };
struct Item {
  ItemKind kind;
  int index = 0;            // colour space, resources or page index
  long delta = 0;           // kPadTo only
  std::string needle = "";  // kPadTo only: empty means the object's first byte
};

struct Case {
  std::string name;
  std::string summary;
  LineEnd line_end = LineEnd::kLf;
  std::vector<ColorSpace> color_spaces;
  std::vector<Resources> resources;
  std::vector<Page> pages;
  std::vector<Item> order;  // empty: Quartz's order throughout
  // Layouts that cut a number at a 4096-byte boundary are shifted, unless
  // the case is about one (an --all case).
  bool cut_number_allowed = false;
};

using Change = testing::ColorSpaceChange;

struct ColorSpaceFacts {
  std::string name;
  Profile profile;
  bool converts;             // the tool must rewrite it
  std::size_t array_offset;  // file offset of its «[»; 0 for a direct array
  int array_object;          // its object number; 0 for a direct array
};

struct BuiltCase {
  std::string pdf;
  std::vector<Change> changes;  // in the order the tool prints them
  std::vector<ColorSpaceFacts> color_spaces;
  // Per page: the colour spaces it paints with (the image's included).
  std::vector<std::vector<int>> page_spaces;
};

struct BuildResult {
  std::optional<BuiltCase> built;
  std::string error;  // why not: a missing profile file, a layout that failed
};

// Profiles are read from `profile_dir` (Gray.icc and sRGB.icc of
// icc-profiles-free; ghostscript/default_gray.icc and default_cmyk.icc of
// libgs-common); our own CMYK profile is computed.
[[nodiscard]] BuildResult build_case(const Case& c, const std::string& profile_dir);
inline constexpr const char* kDefaultProfileDir = "/usr/share/color/icc";

// The /N of a profile: 1, 3 or 4.
[[nodiscard]] int components_of(Profile profile);

// The bundled examples/sample.pdf.
[[nodiscard]] Case sample_case();
// The integration suite's files.
[[nodiscard]] std::vector<Case> generated_cases();
// Files for --all, one per writer's layout that only --all converts; every
// colour space in them is converted.
[[nodiscard]] std::vector<Case> all_mode_cases();

}  // namespace iccdrop::pdfgen
