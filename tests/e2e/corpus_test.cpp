// Every real PDF of the corpus beside the clone (../shared/corpus/real)
// through the built binary: the messages its manifest row lists, and an
// output whose SHA-256 is the row's expected_output_sha256. One test per
// file; skipped where the corpus is absent.
#include <gtest/gtest.h>

#include <string>

#include "support/corpus_manifest.h"
#include "support/rewritten_arrays.h"
#include "support/run_binary.h"
#include "support/sha256.h"
#include "support/tool_messages.h"
#include "support/whole_file.h"

namespace iccdrop::testing {
namespace {

class CorpusFile : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusFile, ConvertsToTheManifestsExpectedOutput) {
  if (GetParam() == kCorpusAbsent) {
    GTEST_SKIP() << "no corpus at " << ICCDROP_SHARED_DIR << "/corpus";
  }
  const std::optional<Corpus> corpus = load_corpus(ICCDROP_SHARED_DIR);
  ASSERT_TRUE(corpus);
  const CorpusRow* row = nullptr;
  for (const CorpusRow& candidate : corpus->rows) {
    if (candidate.file() == GetParam()) row = &candidate;
  }
  ASSERT_NE(row, nullptr);
  const std::optional<std::vector<ColorSpaceChange>> changes =
      parse_changes(row->at("expected_changes"));
  ASSERT_TRUE(changes) << "malformed expected_changes: " << row->at("expected_changes");

  const std::string input_path = corpus->real_dir + "/" + row->file();
  const std::optional<std::string> input = read_file(input_path);
  ASSERT_TRUE(input) << input_path;
  ASSERT_EQ(sha256_hex(*input), row->at("input_sha256")) << "the corpus file changed";

  TempDir dir;
  const std::string output_path = dir.file("out.pdf");
  const RunResult result = run_program(ICCDROP_BINARY, {input_path, output_path});
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, expected_stdout(output_path, *changes));
  const std::optional<std::string> output = read_file(output_path);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->size(), input->size());
  EXPECT_EQ(sha256_hex(*output), row->at("expected_output_sha256"));

  // Where the digest differs, this says which bytes are wrong.
  const RewriteDiff diff = explain_rewrites(*input, *output);
  EXPECT_EQ(diff.error, "");
  EXPECT_EQ(diff.arrays.size(), changes->size());
}

// The one read of a regular output (pass 1 writes, pass 2 reads back and
// rewrites the marked windows only) against the second read of the input
// that a dry run or a FIFO output gets: the same bytes and the same changes,
// in both modes, whatever the read size.
TEST_P(CorpusFile, OneReadGivesWhatASecondReadGives) {
  if (GetParam() == kCorpusAbsent) {
    GTEST_SKIP() << "no corpus at " << ICCDROP_SHARED_DIR << "/corpus";
  }
  const std::optional<Corpus> corpus = load_corpus(ICCDROP_SHARED_DIR);
  ASSERT_TRUE(corpus);
  const std::optional<std::string> input = read_file(corpus->real_dir + "/" + GetParam());
  ASSERT_TRUE(input);
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "--all" : "default");
    const ConvertedFile twice =
        all ? convert_all_in_memory(*input) : convert_in_memory(*input);
    for (const std::size_t block : {stream::kChunkSize, stream::kDefaultReadBlock}) {
      const OneReadFile once = convert_in_memory_one_read(*input, all, block);
      EXPECT_EQ(once.converted.status, stream::PassStatus::kOk);
      EXPECT_TRUE(once.converted.output == twice.output) << "the outputs differ";
      EXPECT_EQ(once.converted.changes, twice.changes);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, CorpusFile,
                         ::testing::ValuesIn(corpus_test_names(ICCDROP_SHARED_DIR)),
                         [](const auto& param_info) {
                           return test_name_of(param_info.param);
                         });

}  // namespace
}  // namespace iccdrop::testing
