// The real corpus (../shared/corpus/real) through iccdrop, then through qpdf
// and pdftoppm: the output keeps the input's `qpdf --check` verdict and page
// count as the manifest records them, and renders like the input. Skipped
// where the corpus is absent.
#include <gtest/gtest.h>

#include <charconv>
#include <string>

#include "integration/figures.h"
#include "integration/rendering.h"
#include "support/corpus_manifest.h"
#include "support/pdf_tools.h"
#include "support/run_binary.h"
#include "support/tool_messages.h"

namespace iccdrop::integration {
namespace {

using testing::RunResult;

int number_in(const std::string& cell) {
  int value = -1;
  (void)std::from_chars(cell.data(), cell.data() + cell.size(), value);
  return value;
}

class CorpusOutput : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == testing::kCorpusAbsent) {
      GTEST_SKIP() << "no corpus at " << ICCDROP_SHARED_DIR << "/corpus";
    }
    std::optional<testing::Corpus> corpus = testing::load_corpus(ICCDROP_SHARED_DIR);
    ASSERT_TRUE(corpus);
    for (const testing::CorpusRow& row : corpus->rows) {
      if (row.file() == GetParam()) row_ = row;
    }
    ASSERT_EQ(row_.file(), GetParam());
    input_path_ = corpus->real_dir + "/" + row_.file();
    output_path_ = dir_.file("out.pdf");
    password_ = row_.at("password") == "-" ? "" : row_.at("password");
    const RunResult run =
        testing::run_program(ICCDROP_BINARY, {input_path_, output_path_});
    ASSERT_EQ(run.exit_status, 0) << run.out;
    const std::optional<std::string> input = testing::read_file(input_path_);
    const std::optional<std::string> output = testing::read_file(output_path_);
    ASSERT_TRUE(input && output);
    changed_ = *input != *output;
  }

  testing::TempDir dir_;
  testing::CorpusRow row_;
  std::string input_path_;
  std::string output_path_;
  std::string password_;
  bool changed_ = false;
};

TEST_P(CorpusOutput, KeepsTheInputsQpdfVerdictAndPageCount) {
  const std::optional<std::string> qpdf = testing::find_program("qpdf");
  if (!qpdf) GTEST_SKIP() << "qpdf is not installed";
  const RunResult check = testing::qpdf_check(*qpdf, output_path_, password_);
  EXPECT_EQ(check.exit_status, number_in(row_.at("qpdf_check_rc")))
      << row_.at("qpdf_check") << "\n"
      << check.out << check.err;
  if (number_in(row_.at("qpdf_check_rc")) == 0) {
    EXPECT_EQ(testing::qpdf_page_count(*qpdf, output_path_, password_),
              number_in(row_.at("pdftoppm_pages")));
  }
}

TEST_P(CorpusOutput, RendersEveryPageAsTheInputDoes) {
  const std::optional<std::string> pdftoppm = testing::find_program("pdftoppm");
  if (!pdftoppm) GTEST_SKIP() << "pdftoppm is not installed";
  FileFigures figures;
  figures.suite = "corpus";
  figures.file = row_.file();
  const std::optional<std::vector<testing::ColorSpaceChange>> changes =
      testing::parse_changes(row_.at("expected_changes"));
  ASSERT_TRUE(changes);
  figures.converted = static_cast<int>(changes->size());
  figures.kept = std::max(0, number_in(row_.at("icc_total")) - figures.converted);
  if (!changed_) {
    // Byte for byte the input: pdftoppm's verdict is the manifest's.
    figures.pages = number_in(row_.at("pdftoppm_pages"));
    figures.identical_pages = figures.pages;
    record_figures(figures);
    return;
  }
  testing::TempDir input_pages;
  testing::TempDir output_pages;
  const int dpi = 18;  // real pages are large; 18 dpi keeps the suite quick
  const Rendering before =
      render_pages(*pdftoppm, input_path_, input_pages.path(), dpi, password_);
  const Rendering after =
      render_pages(*pdftoppm, output_path_, output_pages.path(), dpi, password_);
  EXPECT_EQ(after.run.exit_status, number_in(row_.at("pdftoppm_rc"))) << after.run.err;
  ASSERT_EQ(static_cast<int>(after.pages.size()), number_in(row_.at("pdftoppm_pages")));
  ASSERT_EQ(before.pages.size(), after.pages.size());
  figures.pages = static_cast<int>(after.pages.size());
  // The converted spaces here are RGB and gray profiles of the producers'
  // choosing, not necessarily sRGB: the differences are measured and shown.
  for (std::size_t p = 0; p < after.pages.size(); ++p) {
    const PixelDifference d = compare_images(before.pages[p], after.pages[p]);
    ASSERT_TRUE(d.same_size) << "page " << p + 1;
    ++figures.unbounded_pages;
    figures.unbounded_mean_sum += d.mean;
    figures.unbounded_max = std::max(figures.unbounded_max, d.max);
  }
  record_figures(figures);
}

INSTANTIATE_TEST_SUITE_P(
    , CorpusOutput, ::testing::ValuesIn(testing::corpus_test_names(ICCDROP_SHARED_DIR)),
    [](const auto& param_info) { return testing::test_name_of(param_info.param); });

}  // namespace
}  // namespace iccdrop::integration
