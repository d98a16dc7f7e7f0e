// The cases themselves: the bundled sample and the integration suite's
// files. Each names the shape of file it stands for; build_case works out
// which colour spaces must change.
#include "pdfgen/cases.h"

namespace iccdrop::pdfgen {
namespace {

using enum Profile;

Item array(int cs) { return {ItemKind::kArray, cs}; }
Item profile(int cs) { return {ItemKind::kProfile, cs}; }
Item resources(int r) { return {ItemKind::kResources, r}; }
Item rest() { return {ItemKind::kRest}; }
// The next part's `needle` lands `delta` bytes from a 4096-byte boundary.
Item pad_to(long delta, std::string needle) {
  return {ItemKind::kPadTo, 0, delta, std::move(needle)};
}

std::vector<Page> pages_on(std::initializer_list<int> resources_of_each) {
  std::vector<Page> pages;
  for (int r : resources_of_each) pages.push_back({r});
  return pages;
}

}  // namespace

Case sample_case() {
  Case c;
  c.name = "sample";
  c.summary =
      "three pages, gray, RGB and CMYK profiles, vector content and images; "
      "pages 1 and 2 share their resources; the gray array comes first in the file, "
      "before the resource entries; the CMYK array is the last object, in the final "
      "4096 bytes";
  c.color_spaces = {{"Cs1", kRgb}, {"Cs2", kGray}, {"Cs3", kCmyk}};
  c.resources = {{{0, 1}, 0}, {{2, 1}, 2}};
  c.pages = pages_on({0, 0, 1});
  c.order = {array(1), profile(1), rest(), pad_to(24, "["), array(2)};
  return c;
}

std::vector<Case> generated_cases() {
  std::vector<Case> cases;
  const auto add = [&](Case c) { cases.push_back(std::move(c)); };

  add({"one-page-rgb",
       "one page, one RGB colour space, vector content only, Quartz order",
       LineEnd::kLf,
       {{"Cs1", kRgb}},
       {{{0}, std::nullopt}},
       pages_on({0}),
       {}});

  add({"gray-rgb-cmyk-images",
       "three pages, one each for gray, RGB and CMYK, rectangles and an image in each",
       LineEnd::kLf,
       {{"Cs1", kGraySrgb}, {"Cs2", kRgb}, {"Cs3", kCmyk}},
       {{{0}, 0}, {{1}, 1}, {{2}, 2}},
       pages_on({0, 1, 2}),
       {}});

  add({"shared-resources",
       "four pages sharing one resource dictionary: RGB, gray, an RGB image",
       LineEnd::kLf,
       {{"Cs1", kRgb}, {"Cs2", kGraySrgb}},
       {{{0, 1}, 0}},
       pages_on({0, 0, 0, 0}),
       {}});

  add({"arrays-before-entries",
       "the arrays come before the resource entries that name them, the profiles after "
       "both",
       LineEnd::kLf,
       {{"Cs1", kRgb}, {"Cs2", kGray}, {"Cs3", kCmyk}},
       {{{0, 1, 2}, 0}},
       pages_on({0}),
       {array(2), array(0), array(1), rest()}});

  add({"entries-and-profiles-last",
       "the resource dictionary and the profiles come after the arrays, at the end of "
       "the file",
       LineEnd::kLf,
       {{"Cs1", kGraySrgb}, {"Cs2", kRgb}},
       {{{0, 1}, 1}},
       pages_on({0, 0}),
       {rest(), profile(1), profile(0), resources(0)}});

  add({"array-at-start",
       "the first object of the file is an ICC-based array",
       LineEnd::kLf,
       {{"Cs1", kRgb}, {"Cs2", kGraySrgb}},
       {{{0, 1}, 0}},
       pages_on({0}),
       {array(0), rest()}});

  add({"array-at-end",
       "the last object before the xref table is an ICC-based array, in the final chunk",
       LineEnd::kLf,
       {{"Cs1", kGraySrgb}, {"Cs2", kRgb}},
       {{{0, 1}, 1}},
       pages_on({0}),
       {rest(), pad_to(40, "["), array(1)}});

  add({"entry-at-end",
       "the resource dictionary is the last object, in the final chunk, after the arrays",
       LineEnd::kLf,
       {{"Cs1", kRgb}, {"Cs2", kCmyk}},
       {{{0, 1}, std::nullopt}},
       pages_on({0}),
       {rest(), pad_to(8, "/Cs1"), resources(0)}});

  add({"arrays-across-boundaries",
       "arrays cut by 4096-byte boundaries: inside «/ICCBased», right before «]», "
       "the object starting exactly on a boundary, «[» exactly on one",
       LineEnd::kLf,
       {{"Cs1", kRgb}, {"Cs2", kGraySrgb}, {"Cs3", kCmyk}, {"Cs4", kRgb}},
       {{{0, 1}, 0}, {{2, 3}, 2}},
       pages_on({0, 1}),
       {pad_to(-6, "["), array(0), pad_to(0, "]"), array(1), pad_to(0, ""), array(2),
        pad_to(0, "["), array(3), rest()}});

  add({"entries-across-boundaries",
       "a resource entry and a profile's «/N 3» cut by 4096-byte boundaries",
       LineEnd::kLf,
       {{"Cs1", kGraySrgb}, {"Cs2", kRgb}},
       {{{0, 1}, 1}},
       pages_on({0}),
       {profile(0), pad_to(-3, "/Cs2"), resources(0), pad_to(-1, "/N"), profile(1),
        rest()}});

  add({"crlf",
       "CRLF line ends throughout, two pages, gray, RGB and CMYK, an array across a "
       "boundary",
       LineEnd::kCrLf,
       {{"Cs1", kGray}, {"Cs2", kRgb}, {"Cs3", kCmyk}},
       {{{0, 1}, 1}, {{2, 0}, 2}},
       pages_on({0, 1}),
       {rest(), pad_to(-5, "["), array(2)}});

  add({"n-not-first",
       "an RGB profile whose dictionary opens with /Length (stays ICC-based) beside a "
       "gray one; the second page paints with the RGB one alone",
       LineEnd::kLf,
       {{"Cs1", kRgb, false}, {"Cs2", kGraySrgb}},
       {{{0, 1}, 0}, {{0}, 0}},
       pages_on({0, 1}),
       {}});

  add({"direct-array",
       "a colour space written directly in the resource dictionary (stays) beside an "
       "indirect one; the second page paints with the direct one alone",
       LineEnd::kLf,
       {{"Cs1", kGray, true, true}, {"Cs2", kRgb}},
       {{{0, 1}, 1}, {{0}, std::nullopt}},
       pages_on({0, 1}),
       {}});

  add({"image-space-without-entry",
       "an image whose ICC-based space no /Cs entry names (stays) beside a converted one",
       LineEnd::kLf,
       {{"Cs1", kRgb}, {"Cs2", kCmyk}},
       {{{0}, 1}},
       pages_on({0}),
       {}});

  add({"small-file",
       "a whole file under 4096 bytes: gray and a small CMYK profile",
       LineEnd::kLf,
       {{"Cs1", kGray}, {"Cs2", kCmykSmall}},
       {{{0, 1}, std::nullopt}},
       pages_on({0}),
       {}});

  add({"small-file-crlf",
       "a file under 4096 bytes with CRLF line ends, one gray colour space",
       LineEnd::kCrLf,
       {{"Cs1", kGray}},
       {{{0}, 0}},
       pages_on({0}),
       {}});

  add({"long-name",
       "a resource name longer than 7 bytes: the message shows its first 7",
       LineEnd::kLf,
       {{"CsLongName", kRgb}, {"Cs2", kGraySrgb}},
       {{{0, 1}, 0}},
       pages_on({0}),
       {}});

  add({"many-pages",
       "twelve pages over three resource dictionaries, images in each",
       LineEnd::kLf,
       {{"Cs1", kRgb}, {"Cs2", kGraySrgb}, {"Cs3", kCmyk}, {"Cs4", kRgb}, {"Cs5", kGray}},
       {{{0, 1}, 0}, {{2, 1}, 2}, {{3, 4}, 4}},
       pages_on({0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}),
       {}});

  add({"large-cmyk-profile",
       "Ghostscript's 187 KB CMYK profile: a stream over many chunks and stored blocks",
       LineEnd::kLf,
       {{"Cs1", kCmykLarge}, {"Cs2", kRgb}},
       {{{0, 1}, 0}},
       pages_on({0, 0}),
       {}});
  return cases;
}

std::vector<Case> all_mode_cases() {
  std::vector<Case> cases;
  const auto add = [&](Case c) { cases.push_back(std::move(c)); };
  using enum FirstKey;
  using enum ArrayStyle;

  add({"all-profiles-length-first",
       "macOS 10.15 and older: profile dictionaries beginning «/Length 2612 /N 3»",
       LineEnd::kLf,
       {{"Cs1", kRgb, false}, {"Cs2", kGraySrgb, false}},
       {{{0, 1}, 0}},
       pages_on({0, 0}),
       {}});

  add({"all-profiles-alternate-first",
       "macOS 11 and newer, edited in Preview: «<</Alternate /DeviceRGB/N 3…>>», and a "
       "colour space that only an image names",
       LineEnd::kLf,
       {{"Cs1", kRgb, true, false, kAlternate},
        {"Cs2", kGraySrgb, true, false, kAlternate}},
       {{{0}, 1}},
       pages_on({0}),
       {}});

  add({"all-acrobat-direct-arrays",
       "Acrobat: profiles beginning /Filter, arrays written in the resource dictionary "
       "under /CS0 and /CS1",
       LineEnd::kCrLf,
       {{"CS0", kRgb, true, true, kFilter}, {"CS1", kGraySrgb, true, true, kFilter}},
       {{{0, 1}, std::nullopt}},
       pages_on({0}),
       {}});

  add({"all-direct-image-space",
       "an image whose /ColorSpace is the array itself, beside a /CS-named space",
       LineEnd::kLf,
       {{"CS1", kGraySrgb, true, false, kFilter}, {"Im", kRgb, true, true}},
       {{{0}, 1, true}},
       pages_on({0}),
       {}});

  add({"all-ghostscript",
       "Ghostscript: /R names and arrays written «…0 R]endobj»",
       LineEnd::kLf,
       {{"R7", kRgb, true, false, kN, kTightEnd},
        {"R9", kGraySrgb, true, false, kN, kTightEnd}},
       {{{0, 1}, 1}},
       pages_on({0}),
       {}});

  add({"all-default-space",
       "a /DefaultRGB entry in the colour-space resources, painted through",
       LineEnd::kLf,
       {{"DefaultRGB", kRgb, false}, {"Cs2", kGraySrgb, false}},
       {{{0, 1}, std::nullopt}},
       pages_on({0}),
       {}});

  add({"all-comments-and-form-feeds",
       "arrays with a comment and a form feed between their tokens",
       LineEnd::kLf,
       {{"CS1", kRgb, true, false, kN, kCommentFormFeed},
        {"Cs2", kGraySrgb, true, false, kN, kCommentFormFeed}},
       {{{0, 1}, 0}},
       pages_on({0}),
       {}});

  Case cut{"all-numbers-cut-by-boundaries",
           "object numbers cut by 4096-byte boundaries: an array's «1|1 0 obj», a "
           "profile's «1|4 0 obj»",
           LineEnd::kLf,
           {{"CS1", kRgb, false},
            {"CS2", kGraySrgb, false},
            {"CS3", kRgb, false},
            {"CS4", kGraySrgb, false}},
           {{{0, 1, 2, 3}, std::nullopt}},
           pages_on({0}),
           {rest(), pad_to(-1, ""), array(2), pad_to(-1, ""), profile(3)}};
  cut.cut_number_allowed = true;
  add(cut);
  return cases;
}

}  // namespace iccdrop::pdfgen
