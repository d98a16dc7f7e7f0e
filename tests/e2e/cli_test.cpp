// The command line of the built binary: usage, the messages of every open
// failure, the derived output names, and refusing an output that is the
// input. Each case runs iccdrop in a temporary directory and checks the exit
// status, the exact standard output, and the files left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/pdf_text.h"
#include "e2e/run_iccdrop.h"
#include "support/region_text.h"
#include "support/run_binary.h"
#include "support/tool_messages.h"

namespace iccdrop::e2e {
namespace {

using testing::list_dir;
using testing::path_exists;
using testing::read_file;
using testing::RunResult;
using testing::same_text;
using testing::TempDir;
using testing::write_file;

constexpr const char* kUsage =
    "Usage: iccdrop <input PDF file name> [<output PDF file name>]\n"
    "\tDefault output for foo.pdf is foo3.pdf\n"
    "Options, before the file names:\n"
    "\t-n, --dry-run  print the changes, write no file\n"
    "\t--all          convert every ICC-based colour space that can be rewritten\n"
    "\t-i, --in-place convert every file named, each replaced by its conversion\n"
    "\t--json         report each file as one line of JSON instead\n"
    "\t--watch IN OUT convert each file dropped into folder IN into folder OUT\n"
    "\t               (after it: -j N, --settle S, --poll S, --done DIR,\n"
    "\t               --failed DIR, --scan-only; see the manual)\n"
    "\t-h, --help     print this text\n"
    "\t--version      print the version\n"
    "\t--             end the options: a later '-' begins a file name\n"
    "The file name - is standard input, or as the output standard output.\n";

// A converted file at 4096-byte scale: the array sits across the boundary
// between the first two chunks.
PdfText sample() { return convertible_pdf("Cs1", 3, 4090, 9000); }

// «iccdrop in.pdf /dev/fd/3» in `dir`, the shell opening descriptor 3 as
// `redirection` says («3>fd.pdf»).
RunResult run_through_descriptor(const TempDir& dir, const std::string& redirection,
                                 const std::string& options_first = "") {
  testing::RunOptions options;
  options.cwd = dir.path();
  return testing::run_program(
      "/bin/sh",
      {"-c", "exec \"$0\" " + options_first + "in.pdf /dev/fd/3 " + redirection,
       ICCDROP_BINARY},
      options);
}

TEST(CommandLine, NoArgumentsPrintsUsageAndFails) {
  TempDir dir;
  const RunResult result = run_iccdrop(dir, {});
  expect_exit(result, 1);
  EXPECT_EQ(result.out, kUsage);
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

// Options are exact arguments before the first file name; anything else,
// a name beginning with '-' included, is a file name as it always was.
TEST(CommandLine, OptionsBeforeTheFileNamesAndEverythingElseIsAName) {
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out;                 // "%M" stands for the conversion's lines
    std::vector<std::string> files;  // in the folder afterwards, besides the inputs
  };
  const PdfText pdf = sample();
  const std::vector<Row> rows = {
      {{"--help"}, 0, kUsage, {}},
      {{"-h", "in.pdf"}, 0, kUsage, {}},
      {{"--version"}, 0, "iccdrop 1.0.0\n", {}},
      {{"-x.pdf"}, 0, "Output file is -x3.pdf\n%M", {"-x3.pdf"}},
      {{"--", "-x.pdf", "--help"}, 0, "Output file is --help\n%M", {"--help"}},
      {{"--", "--version"}, 1, "--version did not open\n", {}},
      {{"in.pdf", "--version"}, 0, "Output file is --version\n%M", {"--version"}},
      {{"-n", "--", "-x.pdf", "-n"}, 0, "Output file is -n\n%M", {}},
      {{"--dry-run"}, 1, kUsage, {}},
      {{"--"}, 1, kUsage, {}},
      {{"-v", "out.pdf"}, 1, "-v did not open\n", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
    ASSERT_TRUE(write_file(dir.file("-x.pdf"), pdf.input));
    const RunResult result = run_iccdrop(dir, row.args);
    expect_exit(result, row.status);
    std::string out = row.out;
    if (const auto at = out.find("%M"); at != std::string::npos)
      out.replace(at, 2, pdf.messages);
    EXPECT_EQ(result.out, out);
    std::vector<std::string> files = row.files;
    files.push_back("-x.pdf");
    files.push_back("in.pdf");
    std::sort(files.begin(), files.end());
    EXPECT_EQ(list_dir(dir.path()), files);
    for (const std::string& name : row.files)
      EXPECT_EQ(read_file(dir.file(name)), pdf.expected);
  }
}

// A dry run prints what the real run prints and leaves the folder as it was,
// an existing output included; a refusal is the real run's refusal.
TEST(CommandLine, DryRunPrintsTheRealRunsLinesAndTouchesNothing) {
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const PdfText pdf = sample();
  const std::vector<Row> rows = {
      {{"-n", "in.pdf"}, 0, "Output file is in3.pdf\n" + pdf.messages},
      {{"--dry-run", "in.pdf", "old.pdf"}, 0, "Output file is old.pdf\n" + pdf.messages},
      {{"-n", "in.pdf", "in.pdf"},
       1,
       "Output file is in.pdf\nin.pdf is the input file\n"},
      {{"-n", "missing.pdf"}, 1, "missing.pdf did not open\n"},
      // In place, the output is the input by design.
      {{"-n", "-i", "in.pdf"}, 0, "Output file is in.pdf\n" + pdf.messages},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
    ASSERT_TRUE(write_file(dir.file("old.pdf"), "earlier output"));
    ASSERT_EQ(::chmod(dir.file("old.pdf").c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(::stat(dir.file("old.pdf").c_str(), &before), 0);
    const RunResult result = run_iccdrop(dir, row.args);
    expect_exit(result, row.status);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in.pdf", "old.pdf"}));
    EXPECT_EQ(read_file(dir.file("old.pdf")), "earlier output");
    struct stat after {};
    ASSERT_EQ(::stat(dir.file("old.pdf").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(read_file(dir.file("in.pdf")), pdf.input);
  }
}

// A file large enough for pass 1 to be shared by two threads where it
// makes no copy (a dry run, an output through a descriptor, a clone): the
// same lines and output as the copying pass, and as the second read that
// streams the output through a descriptor. The second thread begins in
// the padding, stops in the 20,000 entries once it holds its share of
// facts, and this one reads on from there: profile 1's /N 1 there replaces
// its /N 3 of the first half, and the colour space Cs7 is known only from
// facts after the point where the second thread stopped. Then 9 MiB of
// colour spaces that all convert, where pass 2 is shared too: the second
// thread's lines wait for the first's, and where a rewrite of the first
// reaches into the second's first window, this one steps it again.
TEST(CommandLine, LargeFileGivesTheSameLinesEveryWay) {
  std::string input =
      "1 0 obj << /N 3 /Length 0 >> stream\nendstream endobj\n"
      "2 0 obj [ /ICCBased 1 0 R ] endobj\n<< /ColorSpace << /Cs1 2 0 R >> >>\n";
  input.append(12 << 20, ' ');
  input += "1 0 obj << /N 1 >> endobj\n";
  for (int i = 0; i < 20'000; ++i) input += "/Cs9 " + std::to_string(1000 + i) + " 0 R\n";
  input +=
      "3 0 obj << /N 4 >> stream\nendstream endobj\n4 0 obj [ /ICCBased 3 0 R ] "
      "endobj\n<< /ColorSpace << /Cs7 4 0 R >> >>\n";
  std::string lines =
      "Changing ColorSpace 'Cs1' from /ICCBased to /DeviceGray\n"
      "Changing ColorSpace 'Cs7' from /ICCBased to /DeviceCMYK\n";
  // Records of 128 bytes from a chunk boundary on: no window begins inside
  // a number, where it would read another one. Names of 7 bytes, all kept.
  input.append(4096 - input.size() % 4096, ' ');
  const auto name = [](int i) {
    std::string digits = "CsD0000";
    for (std::size_t d = digits.size(); i > 0; i /= 36)
      digits[--d] = "0123456789abcdefghijklmnopqrstuvwxyz"[i % 36];
    return digits;
  };
  for (int i = 0; i < 100'000; ++i) {
    const std::string object = std::to_string(200'000 + 2 * i);
    const std::string profile = std::to_string(200'001 + 2 * i);
    std::string record = "/";
    record.append(name(i)).append(" ").append(object).append(" 0 R\n").append(profile);
    record.append(" 0 obj << /N 3 >> endobj\n")
        .append(object)
        .append(" 0 obj [/ICCBased ");
    record.append(profile).append(" 0 R] endobj\n").resize(128, ' ');
    input += record;
    lines.append("Changing ColorSpace '")
        .append(name(i))
        .append("' from /ICCBased to /DeviceRGB\n");
  }
  // Arrays written directly under keys of up to 600 bytes: the default
  // mode leaves them, --all names them by their keys.
  for (int i = 0; i < 2'000; ++i) {
    input.append("<< /ColorSpace << /CS")
        .append(std::string(static_cast<std::size_t>(i % 3) * 300, 'k'));
    input.append(std::to_string(i)).append(" [/ICCBased 3 0 R] >> >>\n");
  }
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("in.pdf"), input));
  const RunResult copied = run_iccdrop(dir, {"in.pdf", "out.pdf"});
  expect_exit(copied, 0);
  EXPECT_TRUE(same_text(copied.out, "Output file is out.pdf\n" + lines));
  const RunResult dry = run_iccdrop(dir, {"--dry-run", "in.pdf", "dry.pdf"});
  expect_exit(dry, 0);
  EXPECT_TRUE(same_text(dry.out, "Output file is dry.pdf\n" + lines));
  // --json: the changes the second thread held keep their offsets.
  const RunResult dry_json =
      run_iccdrop(dir, {"--json", "--dry-run", "in.pdf", "dry.pdf"});
  expect_exit(dry_json, 0);
  const auto reports = testing::parse_reports(dry_json.out);
  ASSERT_TRUE(reports && reports->size() == 1);
  EXPECT_TRUE(same_text(testing::report_lines(reports->front()),
                        "Output file is dry.pdf\n" + lines));
  for (const auto& change : reports->front()["changes"])
    ASSERT_EQ(input.at(change["offset"].get<std::size_t>()), '[') << change;
  const RunResult through_fd = run_through_descriptor(dir, "3>fd.pdf");
  expect_exit(through_fd, 0);
  EXPECT_TRUE(same_text(through_fd.out, "Output file is /dev/fd/3\n" + lines));
  const auto output = read_file(dir.file("out.pdf"));
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->size(), input.size());
  EXPECT_TRUE(output == read_file(dir.file("fd.pdf")));
  // --all, whose names here reach 600 bytes, gives the same lines copied,
  // in a dry run and streamed through a descriptor.
  const RunResult all_copied = run_iccdrop(dir, {"--all", "in.pdf", "all.pdf"});
  expect_exit(all_copied, 0);
  const RunResult all_dry = run_iccdrop(dir, {"--all", "--dry-run", "in.pdf", "all.pdf"});
  expect_exit(all_dry, 0);
  EXPECT_TRUE(same_text(all_copied.out, all_dry.out));
  const RunResult all_streamed = run_through_descriptor(dir, "3>all-fd.pdf", "--all ");
  expect_exit(all_streamed, 0);
  const std::string_view header = "Output file is all.pdf\n";
  ASSERT_TRUE(all_copied.out.starts_with(header));
  EXPECT_TRUE(same_text(all_streamed.out, "Output file is /dev/fd/3\n" +
                                              all_copied.out.substr(header.size())));
  EXPECT_NE(
      all_copied.out.find("Changing ColorSpace 'CS" + std::string(600, 'k') + "1997'"),
      std::string::npos);
}

TEST(CommandLine, MissingInputIsReportedAndNothingIsCreated) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"missing.pdf"},
        std::vector<std::string>{"missing.pdf", "out.pdf"}}) {
    SCOPED_TRACE(args.size());
    TempDir dir;
    const RunResult result = run_iccdrop(dir, args);
    expect_exit(result, 1);
    EXPECT_EQ(result.out, "missing.pdf did not open\n");
    EXPECT_TRUE(list_dir(dir.path()).empty());
  }
}

TEST(CommandLine, OutputNameIsDerivedFromTheFileNameOnly) {
  static const std::string kLongest = std::string(250, 'n') + ".pdf";
  static const std::string kLongest3 = std::string(250, 'n') + "3.pdf";
  struct Row {
    const char* directory;  // made before the run, or ""
    const char* input;
    const char* output;
  };
  const Row kRows[] = {
      {"", "foo.pdf", "foo3.pdf"},
      {"", "foo", "foo3.pdf"},
      {"", "a.b.pdf", "a.b3.pdf"},
      {"", "foo.", "foo3."},
      {"", ".pdf", "3.pdf"},
      {"dir.old", "dir.old/foo", "dir.old/foo3.pdf"},  // never «dir3.old/foo»
      {"d.x", "d.x/y.z.pdf", "d.x/y.z3.pdf"},
      // As long as a folder's entry may be: the new file beside it gets a
      // shorter name.
      {"", kLongest.c_str(), kLongest3.c_str()},
  };
  const PdfText pdf = sample();
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.input);
    TempDir dir;
    if (*row.directory != '\0') {
      ASSERT_EQ(::mkdir(dir.file(row.directory).c_str(), 0755), 0);
    }
    ASSERT_TRUE(write_file(dir.file(row.input), pdf.input));
    const RunResult result = run_iccdrop(dir, {row.input});
    expect_exit(result, 0);
    EXPECT_EQ(result.out,
              std::string("Output file is ") + row.output + "\n" + pdf.messages);
    EXPECT_EQ(read_file(dir.file(row.output)), pdf.expected);
    EXPECT_EQ(read_file(dir.file(row.input)), pdf.input);
    // Nothing else was written anywhere: input and output share a folder.
    if (*row.directory != '\0') {
      EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{row.directory});
      EXPECT_EQ(list_dir(dir.file(row.directory)).size(), 2u);
    } else {
      EXPECT_EQ(list_dir(dir.path()).size(), 2u);
    }
  }
}

TEST(CommandLine, ExplicitOutputIsUsedAsGivenAndLaterArgumentsIgnored) {
  TempDir dir;
  const PdfText pdf = sample();
  ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
  const RunResult result = run_iccdrop(dir, {"in.pdf", "x.out", "third.pdf"});
  expect_exit(result, 0);
  EXPECT_EQ(result.out, "Output file is x.out\n" + pdf.messages);
  EXPECT_EQ(read_file(dir.file("x.out")), pdf.expected);
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in.pdf", "x.out"}));
}

TEST(CommandLine, OutputBytesMatchTheInputsSize) {
  struct Row {
    const char* what;
    std::string input;
    std::string expected;
    std::string messages;
  };
  const PdfText small = convertible_pdf("Cs12", 1, 300, 1000);
  const PdfText at_end = convertible_pdf("CsLongName", 4, 40'000 - 50, 40'000);
  const std::vector<Row> rows = {
      {"empty", "", "", ""},
      {"nothing to convert", plain_pdf(20'000), plain_pdf(20'000), ""},
      {"a small file", small.input, small.expected, small.messages},
      {"the array in the last bytes", at_end.input, at_end.expected, at_end.messages},
      {"embedded NUL bytes", std::string("a\0b\0\0c", 6), std::string("a\0b\0\0c", 6),
       ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), row.input));
    // A longer file under the output's name is replaced, not overwritten.
    ASSERT_TRUE(write_file(dir.file("out.pdf"), std::string(50'000, 'z')));
    const RunResult result = run_iccdrop(dir, {"in.pdf", "out.pdf"});
    expect_exit(result, 0);
    EXPECT_EQ(result.out, "Output file is out.pdf\n" + row.messages);
    const auto output = read_file(dir.file("out.pdf"));
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->size(), row.input.size());
    EXPECT_EQ(*output, row.expected);
  }
}

TEST(CommandLine, OutputThatCannotBeOpenedIsReported) {
  struct Row {
    std::string output;
  };
  const Row rows[] = {
      {"missing/out.pdf"},  // a directory that does not exist
      {"in.pdf/out.pdf"},   // a path through a regular file
      {"subdir"},           // a directory
      {""},                 // an empty name
      // Longer than a folder's entry may be: refused before the work, not
      // at the rename after it.
      {std::string(300, 'n') + ".pdf"},
  };
  const PdfText pdf = sample();
  const std::string& input = pdf.input;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.output);
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("in.pdf"), input));
    ASSERT_EQ(::mkdir(dir.file("subdir").c_str(), 0755), 0);
    const RunResult result = run_iccdrop(dir, {"in.pdf", row.output});
    expect_exit(result, 1);
    EXPECT_EQ(result.out, std::string("Output file is ") + row.output + "\n" +
                              row.output + " did not open\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in.pdf", "subdir"}));
    EXPECT_TRUE(list_dir(dir.file("subdir")).empty());
    EXPECT_EQ(read_file(dir.file("in.pdf")), input);
  }
}

TEST(CommandLine, FifoOutputWithoutReaderFailsInsteadOfHanging) {
  TempDir dir;
  const std::string input = plain_pdf(5000);
  ASSERT_TRUE(write_file(dir.file("in.pdf"), input));
  ASSERT_EQ(::mkfifo(dir.file("pipe.pdf").c_str(), 0644), 0);
  const RunResult result = run_iccdrop(dir, {"in.pdf", "pipe.pdf"});
  expect_exit(result, 1);
  EXPECT_EQ(result.out, "Output file is pipe.pdf\npipe.pdf did not open\n");
  struct stat info {};
  ASSERT_EQ(::stat(dir.file("pipe.pdf").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(read_file(dir.file("in.pdf")), input);
}

TEST(CommandLine, OutputThatIsTheInputIsRefused) {
  struct Row {
    const char* what;
    const char* output;
  };
  constexpr Row kRows[] = {
      {"the same name", "in.pdf"},
      {"another spelling", "./sub/../in.pdf"},
      {"a hard link", "hard.pdf"},
      {"a symlink", "soft.pdf"},
      {"a symlink to a symlink", "soft2.pdf"},
  };
  const PdfText pdf = sample();
  for (const bool dry_run : {false, true}) {
    for (const Row& row : kRows) {
      SCOPED_TRACE(::testing::Message() << row.what << (dry_run ? ", dry run" : ""));
      TempDir dir;
      ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
      ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
      ASSERT_EQ(::link(dir.file("in.pdf").c_str(), dir.file("hard.pdf").c_str()), 0);
      ASSERT_EQ(::symlink("in.pdf", dir.file("soft.pdf").c_str()), 0);
      ASSERT_EQ(::symlink("soft.pdf", dir.file("soft2.pdf").c_str()), 0);
      const std::vector<std::string> before = list_dir(dir.path());
      std::vector<std::string> args{"in.pdf", row.output};
      if (dry_run) args.insert(args.begin(), "-n");
      const RunResult result = run_iccdrop(dir, args);
      expect_exit(result, 1);
      EXPECT_EQ(result.out, std::string("Output file is ") + row.output + "\n" +
                                row.output + " is the input file\n");
      EXPECT_EQ(read_file(dir.file("in.pdf")), pdf.input);
      EXPECT_EQ(list_dir(dir.path()), before);
    }
  }
}

TEST(CommandLine, InputThatIsNotARegularFileIsRefused) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("folder.pdf").c_str(), 0755), 0);
  // A FIFO without a writer: a blocking open would wait for ever.
  ASSERT_EQ(::mkfifo(dir.file("pipe.pdf").c_str(), 0644), 0);
  struct Row {
    std::vector<std::string> args;
    const char* input;
  };
  const std::vector<Row> rows = {
      {{"folder.pdf"}, "folder.pdf"},
      {{"folder.pdf", "out.pdf"}, "folder.pdf"},
      {{"pipe.pdf"}, "pipe.pdf"},
      {{"pipe.pdf", "out.pdf"}, "pipe.pdf"},
      {{"/dev/null", "out.pdf"}, "/dev/null"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    const RunResult result = run_iccdrop(dir, row.args);
    expect_exit(result, 1);
    EXPECT_EQ(result.out, std::string(row.input) + " is not a regular file\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"folder.pdf", "pipe.pdf"}));
  }
}

TEST(CommandLine, DeviceOutputThatWorksIsWrittenAndKept) {
  TempDir dir;
  const PdfText pdf = sample();
  ASSERT_TRUE(write_file(dir.file("in.pdf"), pdf.input));
  const RunResult result = run_iccdrop(dir, {"in.pdf", "/dev/null"});
  expect_exit(result, 0);
  EXPECT_EQ(result.out, "Output file is /dev/null\n" + pdf.messages);
  struct stat info {};
  ASSERT_EQ(::stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  // A descriptor's name is written through the descriptor, even where a
  // regular file is behind it: the file the shell opened gets the output,
  // and is not replaced by another.
  ASSERT_TRUE(write_file(dir.file("out.pdf"), std::string(pdf.input.size(), 'z')));
  struct stat before {};
  ASSERT_EQ(::stat(dir.file("out.pdf").c_str(), &before), 0);
  const RunResult through_fd = run_through_descriptor(dir, "3<>out.pdf");
  expect_exit(through_fd, 0);
  EXPECT_EQ(through_fd.out, "Output file is /dev/fd/3\n" + pdf.messages);
  EXPECT_EQ(read_file(dir.file("out.pdf")), pdf.expected);
  struct stat after {};
  ASSERT_EQ(::stat(dir.file("out.pdf").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in.pdf", "out.pdf"}));
}

}  // namespace
}  // namespace iccdrop::e2e
