// The bundled examples/sample.pdf through the built binary, in a temporary
// directory, run the way the README shows: `iccdrop sample.pdf`.
#include <gtest/gtest.h>

#include <string>

#include "support/pdf_tools.h"
#include "support/rewritten_arrays.h"
#include "support/run_binary.h"

namespace iccdrop::testing {
namespace {

const std::string kSampleDir = std::string(ICCDROP_SOURCE_DIR) + "/examples";

class SampleRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::optional<std::string> sample = read_file(kSampleDir + "/sample.pdf");
    const std::optional<std::string> expected =
        read_file(kSampleDir + "/sample.expected");
    ASSERT_TRUE(sample && expected) << "examples/sample.pdf or sample.expected missing";
    input_ = *sample;
    expected_stdout_ = *expected;
    ASSERT_TRUE(write_file(dir_.file("sample.pdf"), input_));
    RunOptions options;
    options.cwd = dir_.path();
    result_ = run_program(ICCDROP_BINARY, {"sample.pdf"}, options);
    const std::optional<std::string> output = read_file(dir_.file("sample3.pdf"));
    ASSERT_TRUE(output) << "no sample3.pdf written; stdout:\n" << result_.out;
    output_ = *output;
  }

  TempDir dir_;
  std::string input_;
  std::string expected_stdout_;
  std::string output_;
  RunResult result_;
};

TEST_F(SampleRun, PrintsTheExpectedMessagesAndExitsZero) {
  EXPECT_TRUE(result_.exited);
  EXPECT_EQ(result_.exit_status, 0);
  EXPECT_EQ(result_.out, expected_stdout_);
  EXPECT_EQ(result_.err, "");
  // The sample holds gray, RGB and CMYK profiles, so every device space shows.
  for (const char* space : {"/DeviceGray\n", "/DeviceRGB\n", "/DeviceCMYK\n"}) {
    EXPECT_NE(expected_stdout_.find(space), std::string::npos) << space;
  }
}

TEST_F(SampleRun, RewritesOnlyTheArraysItReports) {
  ASSERT_EQ(output_.size(), input_.size());
  const RewriteDiff diff = explain_rewrites(input_, output_);
  ASSERT_EQ(diff.error, "");
  // One rewritten array per message, in the same order and to the same name.
  std::vector<std::string> reported;
  for (std::size_t at = expected_stdout_.find(" to "); at != std::string::npos;
       at = expected_stdout_.find(" to ", at + 1)) {
    const std::size_t end = expected_stdout_.find('\n', at);
    reported.push_back(expected_stdout_.substr(at + 4, end - at - 4));
  }
  ASSERT_EQ(diff.arrays.size(), reported.size());
  for (std::size_t i = 0; i < reported.size(); ++i) {
    EXPECT_EQ(diff.arrays[i].replacement, reported[i]) << "array " << i;
  }
}

TEST_F(SampleRun, ConvertsAnArrayBeforeItsEntryAndOneInTheLastChunk) {
  const RewriteDiff diff = explain_rewrites(input_, output_);
  ASSERT_EQ(diff.error, "");
  ASSERT_FALSE(diff.arrays.empty());
  // The first array precedes every resource entry; the last lies in the
  // final 4096 bytes, which only the window step at end of input sees.
  EXPECT_LT(diff.arrays.front().offset, input_.find("/Cs"));
  EXPECT_GT(diff.arrays.back().offset + 4096, input_.size());
  EXPECT_GT(input_.size() % 4096, input_.size() - diff.arrays.back().offset);
}

TEST_F(SampleRun, OutputPassesQpdfCheck) {
  const std::optional<std::string> qpdf = find_program("qpdf");
  if (!qpdf) GTEST_SKIP() << "qpdf is not installed";
  const RunResult input_check = qpdf_check(*qpdf, dir_.file("sample.pdf"));
  EXPECT_EQ(input_check.exit_status, 0) << input_check.out << input_check.err;
  const RunResult output_check = qpdf_check(*qpdf, dir_.file("sample3.pdf"));
  EXPECT_EQ(output_check.exit_status, 0) << output_check.out << output_check.err;
  EXPECT_EQ(qpdf_page_count(*qpdf, dir_.file("sample3.pdf")),
            qpdf_page_count(*qpdf, dir_.file("sample.pdf")));
}

}  // namespace
}  // namespace iccdrop::testing
