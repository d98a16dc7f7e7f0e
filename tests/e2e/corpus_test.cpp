// Every real PDF of the corpus beside the clone (../shared/corpus/real)
// through the built binary: the messages its manifest row lists, and an
// output whose SHA-256 is the row's expected_output_sha256. One test per
// file; skipped where the corpus is absent.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "support/corpus_manifest.h"
#include "support/pdf_tools.h"
#include "support/rewritten_arrays.h"
#include "support/run_binary.h"
#include "support/sha256.h"
#include "support/tool_messages.h"
#include "support/whole_file.h"

namespace iccdrop::testing {
namespace {

// The corpus, this test's row of its manifest and the file's bytes; the test
// is skipped where the corpus is absent.
class CorpusFile : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == kCorpusAbsent) {
      GTEST_SKIP() << "no corpus at " << ICCDROP_SHARED_DIR << "/corpus";
    }
    corpus_ = load_corpus(ICCDROP_SHARED_DIR);
    ASSERT_TRUE(corpus_);
    for (const CorpusRow& candidate : corpus_->rows) {
      if (candidate.file() == GetParam()) row_ = &candidate;
    }
    ASSERT_NE(row_, nullptr);
    input_path_ = corpus_->real_dir + "/" + row_->file();
    input_ = read_file(input_path_);
    ASSERT_TRUE(input_) << input_path_;
  }

  std::optional<Corpus> corpus_;
  const CorpusRow* row_ = nullptr;
  std::string input_path_;
  std::optional<std::string> input_;
};

TEST_P(CorpusFile, ConvertsToTheManifestsExpectedOutput) {
  const CorpusRow* row = row_;
  const std::optional<std::string>& input = input_;
  const std::string& input_path = input_path_;
  const std::optional<std::vector<ColorSpaceChange>> changes =
      parse_changes(row->at("expected_changes"));
  ASSERT_TRUE(changes) << "malformed expected_changes: " << row->at("expected_changes");

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

// The other ways to name the files give the two-name run's bytes and lines:
// in place, where a file in which nothing changes keeps its inode and times,
// and through pipes, with the lines on standard error.
TEST_P(CorpusFile, InPlaceAndThroughPipesGiveTheTwoNameOutput) {
  const std::optional<std::vector<ColorSpaceChange>> changes =
      parse_changes(row_->at("expected_changes"));
  ASSERT_TRUE(changes);
  const std::string& expected = row_->at("expected_output_sha256");
  TempDir dir;
  const std::string copy = dir.file("in.pdf");
  ASSERT_TRUE(write_file(copy, *input_));
  struct stat before {};
  ASSERT_EQ(::stat(copy.c_str(), &before), 0);
  const RunResult in_place = run_program(ICCDROP_BINARY, {"--in-place", copy});
  EXPECT_EQ(in_place.exit_status, 0);
  EXPECT_EQ(in_place.out, expected_stdout(copy, *changes));
  const std::optional<std::string> replaced = read_file(copy);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(sha256_hex(*replaced), expected);
  struct stat after {};
  ASSERT_EQ(::stat(copy.c_str(), &after), 0);
  const bool untouched = before.st_ino == after.st_ino &&
                         before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
                         before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
  EXPECT_EQ(untouched, *replaced == *input_);
  // Once more, with --json: nothing is left to change.
  const RunResult again = run_program(ICCDROP_BINARY, {"--json", "--in-place", copy});
  EXPECT_EQ(again.exit_status, 0);
  const auto again_reports = parse_reports(again.out);
  ASSERT_TRUE(again_reports && again_reports->size() == 1) << again.out;
  EXPECT_EQ(again_reports->front()["status"], "unchanged");
  EXPECT_EQ(report_lines(again_reports->front()), expected_stdout(copy, {}));

  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "text");
    const RunResult piped = run_program(
        "/bin/sh",
        {"-c", std::string("cat \"$1\" | \"$0\" ") + (json ? "--json " : "") + "- -",
         ICCDROP_BINARY, input_path_});
    EXPECT_EQ(piped.exit_status, 0);
    EXPECT_EQ(sha256_hex(piped.out), expected);
    if (!json) {
      EXPECT_EQ(piped.err, expected_stdout("-", *changes));
      continue;
    }
    const auto reports = parse_reports(piped.err);
    ASSERT_TRUE(reports && reports->size() == 1) << piped.err;
    EXPECT_EQ(report_lines(reports->front()),
              comparable_lines(expected_stdout("-", *changes)));
  }
}

// --json in both modes: one line that passes the schema and says what the
// text lines say (the same changes in the same order, the same colour
// spaces left and why, the same status), each change where its array lies,
// the input's size read, and the same output.
TEST_P(CorpusFile, JsonReportSaysWhatTheTextSays) {
  TempDir dir;
  const std::string output_path = dir.file("out.pdf");
  std::string lines;
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "--all" : "default");
    std::vector<std::string> args{input_path_, output_path};
    if (all) args.insert(args.begin(), "--all");
    const RunResult text = run_program(ICCDROP_BINARY, args);
    const std::optional<std::string> text_output = read_file(output_path);
    args.insert(args.begin(), "--json");
    const RunResult json = run_program(ICCDROP_BINARY, args);
    EXPECT_EQ(json.exit_status, text.exit_status);
    EXPECT_EQ(json.err, "");
    EXPECT_TRUE(read_file(output_path) == text_output) << "the outputs differ";
    const auto reports = parse_reports(json.out);
    ASSERT_TRUE(reports && reports->size() == 1) << json.out;
    const nlohmann::json& report = reports->front();
    EXPECT_EQ(report_lines(report), comparable_lines(text.out));
    EXPECT_EQ(report["status"], "converted");
    EXPECT_EQ(report["bytes"], input_->size());
    EXPECT_EQ(report.contains("left"), all);
    for (const auto& change : report["changes"]) {
      if (change.contains("offset")) {
        EXPECT_EQ(input_->at(change["offset"].get<std::size_t>()), '[') << change;
      } else {
        EXPECT_NE(input_->find(change["object_stream"].dump() + " 0 obj"),
                  std::string::npos)
            << change;
      }
    }
    lines += json.out;
  }
  const SchemaCheck schema =
      check_reports(ICCDROP_SOURCE_DIR "/docs/report.schema.json", lines);
  if (schema.skipped) GTEST_SKIP() << *schema.skipped;
  EXPECT_EQ(schema.problems, "");
}

// The one read of a regular output (pass 1 writes, pass 2 reads back and
// rewrites the marked windows only) against the second read of the input
// that a dry run or a FIFO output gets: the same bytes and the same changes,
// in both modes, whatever the read size.
TEST_P(CorpusFile, OneReadGivesWhatASecondReadGives) {
  const std::optional<std::string>& input = input_;
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "--all" : "default");
    const ConvertedFile twice =
        all ? convert_all_in_memory(*input) : convert_in_memory(*input);
    for (const std::size_t block : {stream::kChunkSize, stream::kDefaultReadBlock}) {
      const ConvertedFile once = convert_in_memory_one_read(*input, all, block);
      EXPECT_EQ(once.status, stream::PassStatus::kOk);
      EXPECT_TRUE(once.output == twice.output) << "the outputs differ";
      EXPECT_EQ(once.changes, twice.changes);
    }
  }
}

int number_in(const std::string& cell) {
  int value = -1;
  (void)std::from_chars(cell.data(), cell.data() + cell.size(), value);
  return value;
}

// The «/ICCBased» names in qpdf's dump of every object: once for an array
// object, once for each place a direct array is written, object streams'
// objects included.
std::optional<int> icc_names_in(const std::string& qpdf, const std::string& file,
                                const std::string& password) {
  const RunResult dump = run_qpdf(
      qpdf, {"--json=2", "--json-key=qpdf", "--json-stream-data=none"}, file, password);
  if (dump.out.empty()) return std::nullopt;
  int count = 0;
  for (std::size_t at = dump.out.find("\"/ICCBased\""); at != std::string::npos;
       at = dump.out.find("\"/ICCBased\"", at + 1)) {
    ++count;
  }
  return count;
}

// The default mode's changes to a device space (not to a marker).
std::vector<FileChange> by_default_changes(const std::string& input) {
  std::vector<FileChange> changes;
  for (const FileChange& change : convert_in_memory(input).changes) {
    if (!change.replacement.starts_with('*')) changes.push_back(change);
  }
  return changes;
}

// --all through the binary: the size kept, every default rewrite made with
// its line (markers aside), qpdf's verdict and the page count kept, and no
// ICC-based colour space with a device /N and header left, but in an
// encrypted file's object streams: outside object streams, only arrays
// rewritten, and inside, as qpdf decodes them, only arrays become device
// names.
TEST_P(CorpusFile, AllLeavesNoDeviceIccSpaceButInEncryptedObjectStreams) {
  const CorpusRow* row = row_;
  const std::optional<std::string>& input = input_;
  const std::string& input_path = input_path_;

  TempDir dir;
  const std::string output_path = dir.file("out.pdf");
  const RunResult result =
      run_program(ICCDROP_BINARY, {"--all", input_path, output_path});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  const std::optional<std::string> output = read_file(output_path);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->size(), input->size());
  const RewriteDiff diff = explain_rewrites(
      *input, outside_ranges(*input, *output, object_stream_data(*input)));
  EXPECT_EQ(diff.error, "");

  // The default's lines among --all's. (Each window reports its default
  // rewrites before its wider ones, so the order may differ.)
  for (const FileChange& change : by_default_changes(*input)) {
    const std::string line = "Changing ColorSpace '" + change.name +
                             "' from /ICCBased to " + change.replacement + "\n";
    EXPECT_NE(result.out.find(line), std::string::npos) << line << "not in:\n"
                                                        << result.out;
  }
  // The lines of the spaces left come last.
  const std::size_t first_left = result.out.find("\nLeaving ");
  if (first_left != std::string::npos) {
    EXPECT_EQ(result.out.find("\nChanging ", first_left), std::string::npos)
        << result.out;
  }

  const std::optional<std::string> qpdf = find_program("qpdf");
  if (!qpdf) GTEST_SKIP() << "qpdf is not installed";
  const std::string password = row->at("password") == "-" ? "" : row->at("password");
  const RunResult check = qpdf_check(*qpdf, output_path, password);
  EXPECT_EQ(check.exit_status, number_in(row->at("qpdf_check_rc"))) << check.out;
  if (number_in(row->at("qpdf_check_rc")) == 0) {
    EXPECT_EQ(qpdf_page_count(*qpdf, output_path, password),
              number_in(row->at("pdftoppm_pages")));
  }
  const ObjectsDiff objects = compare_objects(*qpdf, input_path, output_path, password);
  EXPECT_EQ(objects.error, "");
  const bool encrypted = row->at("encrypted") == "yes";
  const int in_object_streams = number_in(row->at("icc_spaces_in_objstm"));
  EXPECT_EQ(icc_names_in(*qpdf, input_path, password),
            number_in(row->at("icc_spaces")) + in_object_streams)
      << "the count does not see what the manifest counts";
  // Left: the spaces without a device /N, those whose header says another
  // colour space (a line each), and those in an encrypted file's object
  // streams.
  int by_header = 0;
  for (std::string_view reason : {"data colour space is", "is a device link",
                                  "is an abstract", "is a named colour"}) {
    for (std::size_t at = result.out.find(reason); at != std::string::npos;
         at = result.out.find(reason, at + 1)) {
      ++by_header;
    }
  }
  EXPECT_EQ(icc_names_in(*qpdf, output_path, password),
            number_in(row->at("icc_spaces_without_device_n")) + by_header +
                (encrypted ? in_object_streams : 0))
      << result.out;

  // Inside object streams, each space gets the name and the device space it
  // gets in qpdf's unpacked copy of the file: every resource that names it
  // is read, however far into the stream it lies.
  if (!encrypted && in_object_streams > 0) {
    const std::string unpacked_path = dir.file("unpacked.pdf");
    const RunResult unpack =
        run_qpdf(*qpdf, {"--object-streams=disable", input_path}, unpacked_path);
    ASSERT_TRUE(unpack.exit_status == 0 || unpack.exit_status == 3) << unpack.err;
    const RunResult unpacked = run_program(
        ICCDROP_BINARY, {"--all", unpacked_path, dir.file("unpacked-out.pdf")});
    const auto change_lines = [](const std::string& out) {
      std::set<std::string> lines;
      std::istringstream in(out);
      for (std::string line; std::getline(in, line);)
        if (line.starts_with("Changing ")) lines.insert(line);
      return lines;
    };
    EXPECT_EQ(change_lines(result.out), change_lines(unpacked.out)) << unpacked.out;
  }

  const std::optional<std::string> pdftoppm = find_program("pdftoppm");
  if (!pdftoppm) GTEST_SKIP() << "pdftoppm is not installed";
  // Pages rendered at 2 dpi: pdftoppm's verdict and page count.
  TempDir pages;
  std::vector<std::string> args{"-r", "2", "-gray"};
  if (!password.empty()) args.insert(args.end(), {"-upw", password});
  args.insert(args.end(), {output_path, pages.file("p")});
  const RunResult render = run_program(*pdftoppm, args);
  EXPECT_EQ(render.exit_status, number_in(row->at("pdftoppm_rc"))) << render.err;
  const auto rendered = std::distance(std::filesystem::directory_iterator(pages.path()),
                                      std::filesystem::directory_iterator());
  EXPECT_EQ(rendered, number_in(row->at("pdftoppm_pages")));
}

// The shell blocks of the README's "Many files" section, run as written over
// a copy of the corpus (GNU parallel with this machine alone): each file
// becomes what a single run of `iccdrop --all` makes of it.
TEST(CorpusFolder, ReadmeRecipesGiveWhatSingleRunsGive) {
  const std::optional<Corpus> corpus = load_corpus(ICCDROP_SHARED_DIR);
  if (!corpus) GTEST_SKIP() << "no corpus at " << ICCDROP_SHARED_DIR << "/corpus";
  const std::optional<std::string> readme = read_file(ICCDROP_SOURCE_DIR "/README.md");
  ASSERT_TRUE(readme);
  const std::size_t section = readme->find("\n## Many files\n");
  ASSERT_NE(section, std::string::npos);
  const std::size_t end = readme->find("\n## ", section + 1);
  std::vector<std::string> recipes;
  for (std::size_t at = readme->find("```sh\n", section); at < end;
       at = readme->find("```sh\n", at)) {
    at += 6;
    const std::size_t close = readme->find("```", at);
    recipes.push_back(readme->substr(at, close - at));
    at = close + 3;
  }
  ASSERT_EQ(recipes.size(), 2u);
  // `iccdrop` on the PATH is the built one.
  TempDir bin;
  ASSERT_EQ(::symlink(ICCDROP_BINARY, bin.file("iccdrop").c_str()), 0);
  TempDir expected;
  std::vector<std::string> names;
  for (const CorpusRow& row : corpus->rows) {
    names.push_back(row.file());
    const RunResult single = run_program(
        ICCDROP_BINARY,
        {"--all", corpus->real_dir + "/" + row.file(), expected.file(row.file())});
    ASSERT_EQ(single.exit_status, 0) << row.file();
  }
  for (const std::string& recipe : recipes) {
    SCOPED_TRACE(recipe);
    if (recipe.find("parallel") != std::string::npos && !find_program("parallel"))
      GTEST_SKIP() << "GNU parallel is not installed";
    TempDir dir;
    for (const std::string& name : names) {
      ASSERT_TRUE(write_file(dir.file(name), *read_file(corpus->real_dir + "/" + name)));
    }
    ASSERT_TRUE(write_file(dir.file("hosts.txt"), ":\n"));
    RunOptions options;
    options.cwd = dir.path();
    const char* path = std::getenv("PATH");
    options.extra_env.push_back("PATH=" + bin.path() + ":" +
                                (path != nullptr ? path : "/usr/bin:/bin"));
    const RunResult result = run_program("/bin/sh", {"-c", recipe}, options);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    for (const std::string& name : names) {
      EXPECT_TRUE(read_file(dir.file(name)) == read_file(expected.file(name))) << name;
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
