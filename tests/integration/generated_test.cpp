// Every generated case through the built binary and the PDF software users
// feed its output to: the messages and bytes iccdrop must produce, qpdf's
// verdict and object dump, and pdftoppm's rendering of every page.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <string>

#include "integration/figures.h"
#include "integration/rendering.h"
#include "pdfgen/cases.h"
#include "support/corpus_manifest.h"
#include "support/pdf_tools.h"
#include "support/rewritten_arrays.h"
#include "support/run_binary.h"

// gtest prints a case by its name, not as a dump of its bytes.
namespace iccdrop::pdfgen {
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
}  // namespace iccdrop::pdfgen

namespace iccdrop::integration {
namespace {

using pdfgen::BuiltCase;
using pdfgen::Case;
using pdfgen::Profile;
using testing::RunResult;

// Rendering at 36 dpi keeps a page at 144 x 144 pixels.
constexpr int kDpi = 36;
// sRGB drawn through sRGB.icc, and gray through Ghostscript's sGray profile,
// against the same values drawn as DeviceRGB / DeviceGray. Measured with
// poppler 22.12 and lcms 2.14 on every such page: mean sample difference at
// most 0.010, largest difference 1 of 255 (rounding in the colour
// transform). The bounds allow a few levels for other builds, and still
// catch a wrong device space (RGB drawn as gray differs by tens of levels).
// Gray.icc of icc-profiles-free has a linear tone curve: drawn as DeviceGray
// it differs by up to 73 levels, so its pages are measured only.
constexpr double kMeanTolerance = 0.25;
constexpr int kMaxTolerance = 4;

// How a page must render after the conversion.
enum class PageClass {
  kIdentical,  // no converted colour space on it: pixel for pixel the same
  kBounded,    // only RGB and sRGB-curve gray converted: within the tolerance
  kMeasured,   // a CMYK or linear-gray profile converted: renders, measured only
};
constexpr const char* kPageClassNames[] = {"must stay identical", "within tolerance",
                                           "measured only"};

PageClass classify(const BuiltCase& built, const std::vector<int>& spaces) {
  PageClass page_class = PageClass::kIdentical;
  for (int cs : spaces) {
    const pdfgen::ColorSpaceFacts& facts =
        built.color_spaces[static_cast<std::size_t>(cs)];
    if (!facts.converts) continue;
    if (facts.profile == Profile::kRgb || facts.profile == Profile::kGraySrgb) {
      page_class = std::max(page_class, PageClass::kBounded);
    } else {
      page_class = PageClass::kMeasured;
    }
  }
  return page_class;
}

class GeneratedFile : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    pdfgen::BuildResult result =
        pdfgen::build_case(GetParam(), pdfgen::kDefaultProfileDir);
    if (!result.built) {
      // Only a missing profile package may stop a case; a layout failure is
      // a fault of the case.
      ASSERT_NE(result.error.find("is missing"), std::string::npos) << result.error;
      GTEST_SKIP() << result.error;
    }
    built_ = std::move(*result.built);
    input_path_ = dir_.file("in.pdf");
    output_path_ = dir_.file("out.pdf");
    ASSERT_TRUE(testing::write_file(input_path_, built_.pdf));
    run_ = testing::run_program(ICCDROP_BINARY, {input_path_, output_path_});
    const std::optional<std::string> output = testing::read_file(output_path_);
    ASSERT_TRUE(output) << "no output written; stdout:\n" << run_.out;
    output_ = *output;
  }

  [[nodiscard]] std::set<int> converted_objects() const {
    std::set<int> objects;
    for (const pdfgen::ColorSpaceFacts& facts : built_.color_spaces) {
      if (facts.converts) objects.insert(facts.array_object);
    }
    return objects;
  }

  testing::TempDir dir_;
  BuiltCase built_;
  std::string input_path_;
  std::string output_path_;
  RunResult run_;
  std::string output_;
};

TEST_P(GeneratedFile, ConvertsWithTheExpectedMessagesAndOnlyThoseBytes) {
  EXPECT_TRUE(run_.exited);
  EXPECT_EQ(run_.exit_status, 0);
  EXPECT_EQ(run_.out, testing::expected_stdout(output_path_, built_.changes));
  ASSERT_EQ(output_.size(), built_.pdf.size());
  const testing::RewriteDiff diff = testing::explain_rewrites(built_.pdf, output_);
  ASSERT_EQ(diff.error, "");
  // Exactly the arrays that must change, each to its device space.
  std::vector<std::pair<std::size_t, std::string>> expected;
  for (const pdfgen::ColorSpaceFacts& facts : built_.color_spaces) {
    if (!facts.converts) continue;
    const int n = pdfgen::components_of(facts.profile);
    expected.emplace_back(facts.array_offset,
                          std::string(testing::replacement_for_components(n)));
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::pair<std::size_t, std::string>> actual;
  for (const testing::RewrittenArray& array : diff.arrays) {
    actual.emplace_back(array.offset, array.replacement);
  }
  EXPECT_EQ(actual, expected);
}

TEST_P(GeneratedFile, OutputPassesQpdfCheckWithItsPages) {
  const std::optional<std::string> qpdf = testing::find_program("qpdf");
  if (!qpdf) GTEST_SKIP() << "qpdf is not installed";
  const RunResult input_check = testing::qpdf_check(*qpdf, input_path_);
  EXPECT_EQ(input_check.exit_status, 0) << "generated input:\n"
                                        << input_check.out << input_check.err;
  const RunResult output_check = testing::qpdf_check(*qpdf, output_path_);
  EXPECT_EQ(output_check.exit_status, 0) << output_check.out << output_check.err;
  EXPECT_EQ(output_check.err, "");
  EXPECT_EQ(testing::qpdf_page_count(*qpdf, output_path_),
            static_cast<int>(GetParam().pages.size()));
}

TEST_P(GeneratedFile, QpdfJsonDiffersOnlyInTheConvertedObjects) {
  const std::optional<std::string> qpdf = testing::find_program("qpdf");
  if (!qpdf) GTEST_SKIP() << "qpdf is not installed";
  // qpdf --json=2 gives {"qpdf": [header, {"obj:7 0 R": {"value": ...}, ...}]}.
  const auto objects_of = [&](const std::string& file) -> nlohmann::json {
    const RunResult dump = testing::run_qpdf(
        *qpdf, {"--json=2", "--json-key=qpdf", "--json-stream-data=none"}, file);
    EXPECT_EQ(dump.exit_status, 0) << dump.err;
    const nlohmann::json json = nlohmann::json::parse(dump.out, nullptr, false);
    if (json.is_discarded() || !json.contains("qpdf") || json["qpdf"].size() != 2 ||
        !json["qpdf"][1].is_object()) {
      return nullptr;
    }
    return json["qpdf"][1];
  };
  const nlohmann::json before = objects_of(input_path_);
  const nlohmann::json after = objects_of(output_path_);
  ASSERT_TRUE(before.is_object() && after.is_object())
      << "qpdf --json gave no object map";
  const auto keys_of = [](const nlohmann::json& objects) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : objects.items()) keys.push_back(key);
    return keys;
  };
  ASSERT_EQ(keys_of(before), keys_of(after));

  std::map<std::string, std::string> device_by_key;  // "obj:7 0 R" -> "/DeviceRGB"
  for (const pdfgen::ColorSpaceFacts& facts : built_.color_spaces) {
    if (!facts.converts) continue;
    const int n = pdfgen::components_of(facts.profile);
    device_by_key["obj:" + std::to_string(facts.array_object) + " 0 R"] =
        std::string(testing::replacement_for_components(n));
  }
  int converted = 0;
  for (const auto& [key, old_object] : before.items()) {
    const nlohmann::json& new_object = after[key];
    const auto device = device_by_key.find(key);
    if (device == device_by_key.end()) {
      EXPECT_EQ(old_object, new_object) << key << " changed: " << new_object.dump();
      continue;
    }
    ++converted;
    ASSERT_TRUE(old_object.contains("value") && new_object.contains("value")) << key;
    const nlohmann::json& old_value = old_object["value"];
    const nlohmann::json& new_value = new_object["value"];
    ASSERT_TRUE(old_value.is_array()) << key << ": " << old_value.dump();
    ASSERT_EQ(old_value.size(), 2u) << old_value.dump();
    EXPECT_EQ(old_value[0], "/ICCBased");
    EXPECT_TRUE(new_value.is_string()) << new_value.dump();
    EXPECT_EQ(new_value, device->second) << key;
  }
  EXPECT_EQ(converted, static_cast<int>(device_by_key.size()));
}

TEST_P(GeneratedFile, RendersEveryPageAsTheInputDoes) {
  const std::optional<std::string> pdftoppm = testing::find_program("pdftoppm");
  if (!pdftoppm) GTEST_SKIP() << "pdftoppm is not installed";
  testing::TempDir input_pages;
  testing::TempDir output_pages;
  const Rendering before = render_pages(*pdftoppm, input_path_, input_pages.path(), kDpi);
  const Rendering after =
      render_pages(*pdftoppm, output_path_, output_pages.path(), kDpi);
  EXPECT_EQ(before.run.exit_status, 0) << before.run.err;
  EXPECT_EQ(after.run.exit_status, 0) << after.run.err;
  EXPECT_EQ(before.run.err, "");
  EXPECT_EQ(after.run.err, "");
  const std::size_t pages = GetParam().pages.size();
  ASSERT_EQ(before.pages.size(), pages);
  ASSERT_EQ(after.pages.size(), pages);

  FileFigures figures;
  figures.suite = "generated";
  figures.file = GetParam().name;
  figures.pages = static_cast<int>(pages);
  for (const pdfgen::ColorSpaceFacts& facts : built_.color_spaces) {
    ++(facts.converts ? figures.converted : figures.kept);
  }
  for (std::size_t p = 0; p < pages; ++p) {
    const PixelDifference d = compare_images(before.pages[p], after.pages[p]);
    ASSERT_TRUE(d.same_size) << "page " << p + 1;
    const PageClass page_class = classify(built_, built_.page_spaces[p]);
    std::printf("page %zu (%s): mean sample difference %.3f, max %d\n", p + 1,
                kPageClassNames[static_cast<int>(page_class)], d.mean, d.max);
    switch (page_class) {
      case PageClass::kIdentical:
        ++figures.identical_pages;
        EXPECT_EQ(d.max, 0) << "page " << p + 1 << " has no converted colour space";
        break;
      case PageClass::kBounded:
        ++figures.bounded_pages;
        figures.bounded_mean_sum += d.mean;
        figures.bounded_max = std::max(figures.bounded_max, d.max);
        EXPECT_LE(d.mean, kMeanTolerance) << "page " << p + 1;
        EXPECT_LE(d.max, kMaxTolerance) << "page " << p + 1;
        break;
      case PageClass::kMeasured:
        ++figures.unbounded_pages;
        figures.unbounded_mean_sum += d.mean;
        figures.unbounded_max = std::max(figures.unbounded_max, d.max);
        break;
    }
  }
  record_figures(figures);
}

INSTANTIATE_TEST_SUITE_P(, GeneratedFile, ::testing::ValuesIn(pdfgen::generated_cases()),
                         [](const auto& param_info) {
                           return testing::test_name_of(param_info.param.name);
                         });

// The generator itself: the files hold the shapes their cases promise.
TEST(Generator, BundledSampleIsWhatTheGeneratorWrites) {
  pdfgen::BuildResult result =
      pdfgen::build_case(pdfgen::sample_case(), pdfgen::kDefaultProfileDir);
  if (!result.built) GTEST_SKIP() << result.error;
  const std::optional<std::string> committed =
      testing::read_file(std::string(ICCDROP_SOURCE_DIR) + "/examples/sample.pdf");
  ASSERT_TRUE(committed);
  EXPECT_TRUE(*committed == result.built->pdf) << "run examples/make_sample.sh";
  const std::optional<std::string> expected =
      testing::read_file(std::string(ICCDROP_SOURCE_DIR) + "/examples/sample.expected");
  ASSERT_TRUE(expected);
  EXPECT_EQ(*expected, testing::expected_stdout("sample3.pdf", result.built->changes));
}

TEST(Generator, CasesHaveTheLayoutTheyPromise) {
  for (const Case& c : pdfgen::generated_cases()) {
    pdfgen::BuildResult result = pdfgen::build_case(c, pdfgen::kDefaultProfileDir);
    if (!result.built) {
      ASSERT_NE(result.error.find("is missing"), std::string::npos) << result.error;
      continue;
    }
    const BuiltCase& built = *result.built;
    SCOPED_TRACE(c.name);
    if (c.name.starts_with("small-file")) {
      EXPECT_LT(built.pdf.size(), 4096u);
    }
    if (c.name == "arrays-across-boundaries") {
      // Every array holds a 4096-byte boundary, or it or its object starts on one.
      for (const pdfgen::ColorSpaceFacts& facts : built.color_spaces) {
        const std::size_t end = built.pdf.find(']', facts.array_offset);
        const std::size_t object = built.pdf.rfind(" 0 obj", facts.array_offset);
        const std::size_t object_start = built.pdf.rfind('\n', object) + 1;
        EXPECT_TRUE(facts.array_offset / 4096 != end / 4096 ||
                    facts.array_offset % 4096 == 0 || object_start % 4096 == 0)
            << facts.name << " at " << facts.array_offset;
      }
    }
    if (c.name == "array-at-end") {
      EXPECT_GT(built.color_spaces.back().array_offset, built.pdf.size() / 4096 * 4096);
    }
    if (c.name == "array-at-start") {
      EXPECT_LT(built.color_spaces.front().array_offset, 64u);
    }
    if (c.name == "crlf" || c.name == "small-file-crlf") {
      EXPECT_EQ(built.pdf.find("obj\n"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace iccdrop::integration
