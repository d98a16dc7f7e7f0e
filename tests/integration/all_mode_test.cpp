// The --all cases of the generator through the built binary: every colour
// space in them is converted, in place, and the output passes qpdf --check,
// holds no ICC-based array any more (counted in qpdf's dump of every
// object), and renders like the input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "integration/rendering.h"
#include "pdfgen/cases.h"
#include "pdfgen/object_streams.h"
#include "pdfgen/pdf_writer.h"
#include "support/pdf_tools.h"
#include "support/rewritten_arrays.h"
#include "support/run_binary.h"
#include "support/tool_messages.h"

namespace iccdrop::pdfgen {
void PrintTo(const Case& c, std::ostream* out);  // generated_test.cpp
}  // namespace iccdrop::pdfgen

namespace iccdrop::integration {
namespace {

using pdfgen::Case;
using testing::RunResult;

// As in the default mode's tests: sRGB and sGray drawn as device spaces.
constexpr int kDpi = 36;
constexpr double kMeanTolerance = 0.25;
constexpr int kMaxTolerance = 4;

// The rewritten arrays: each difference must start at a '[' of the input
// whose array, up to its ']', holds «/ICCBased» and becomes a device name
// padded with spaces. Returns how many, or -1 with `error` set.
int count_rewrites(std::string_view input, std::string_view output, std::string& error) {
  int count = 0;
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] == output[i]) continue;
    const std::size_t close = input.find(']', i);
    if (input[i] != '[' || close == std::string_view::npos ||
        input.substr(i, close - i).find("/ICCBased") == std::string_view::npos) {
      error = "a difference at " + std::to_string(i) + " that is no ICC-based array";
      return -1;
    }
    const std::string_view written = output.substr(i, close + 1 - i);
    const std::size_t name_end = written.find(' ');
    const std::string_view name = written.substr(0, name_end);
    if ((name != "/DeviceGray" && name != "/DeviceRGB" && name != "/DeviceCMYK") ||
        written.find_first_not_of(' ', name.size()) != std::string_view::npos) {
      error = "array at " + std::to_string(i) + " became «" + std::string(written) + "»";
      return -1;
    }
    ++count;
    i = close;
  }
  return count;
}

class AllModeFile : public ::testing::TestWithParam<Case> {};

TEST_P(AllModeFile, ConvertsEveryColourSpaceAndStaysValid) {
  const pdfgen::BuildResult result =
      pdfgen::build_case(GetParam(), pdfgen::kDefaultProfileDir);
  if (!result.built) {
    ASSERT_NE(result.error.find("is missing"), std::string::npos) << result.error;
    GTEST_SKIP() << result.error;
  }
  const pdfgen::BuiltCase& built = *result.built;
  testing::TempDir dir;
  const std::string input_path = dir.file("in.pdf");
  const std::string output_path = dir.file("out.pdf");
  ASSERT_TRUE(testing::write_file(input_path, built.pdf));
  const RunResult run =
      testing::run_program(ICCDROP_BINARY, {"--all", input_path, output_path});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const std::optional<std::string> output = testing::read_file(output_path);
  ASSERT_TRUE(output);
  ASSERT_EQ(output->size(), built.pdf.size());

  // Every colour space, once: a line and an array each.
  const int spaces = static_cast<int>(GetParam().color_spaces.size());
  int lines = 0;
  for (std::size_t at = run.out.find("Changing ColorSpace '"); at != std::string::npos;
       at = run.out.find("Changing ColorSpace '", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, spaces) << run.out;
  std::string error;
  EXPECT_EQ(count_rewrites(built.pdf, *output, error), spaces) << error;

  const std::optional<std::string> qpdf = testing::find_program("qpdf");
  if (!qpdf) GTEST_SKIP() << "qpdf is not installed";
  const RunResult check = testing::qpdf_check(*qpdf, output_path);
  EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
  EXPECT_EQ(testing::qpdf_page_count(*qpdf, output_path),
            static_cast<int>(GetParam().pages.size()));
  const auto icc_names = [&](const std::string& file) {
    const RunResult dump = testing::run_qpdf(
        *qpdf, {"--json=2", "--json-key=qpdf", "--json-stream-data=none"}, file);
    EXPECT_EQ(dump.exit_status, 0) << dump.err;
    int count = 0;
    for (std::size_t at = dump.out.find("\"/ICCBased\""); at != std::string::npos;
         at = dump.out.find("\"/ICCBased\"", at + 1)) {
      ++count;
    }
    return count;
  };
  EXPECT_EQ(icc_names(input_path), spaces) << "qpdf does not see the input's arrays";
  EXPECT_EQ(icc_names(output_path), 0);

  const std::optional<std::string> pdftoppm = testing::find_program("pdftoppm");
  if (!pdftoppm) GTEST_SKIP() << "pdftoppm is not installed";
  testing::TempDir input_pages;
  testing::TempDir output_pages;
  const Rendering before = render_pages(*pdftoppm, input_path, input_pages.path(), kDpi);
  const Rendering after = render_pages(*pdftoppm, output_path, output_pages.path(), kDpi);
  EXPECT_EQ(after.run.exit_status, 0) << after.run.err;
  EXPECT_EQ(after.run.err, "");
  ASSERT_EQ(before.pages.size(), GetParam().pages.size());
  ASSERT_EQ(after.pages.size(), before.pages.size());
  // The cases paint with sRGB and sGray profiles only.
  for (std::size_t p = 0; p < after.pages.size(); ++p) {
    const PixelDifference d = compare_images(before.pages[p], after.pages[p]);
    ASSERT_TRUE(d.same_size) << "page " << p + 1;
    EXPECT_LE(d.mean, kMeanTolerance) << "page " << p + 1;
    EXPECT_LE(d.max, kMaxTolerance) << "page " << p + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(All, AllModeFile, ::testing::ValuesIn(pdfgen::all_mode_cases()),
                         [](const auto& param_info) {
                           std::string name;
                           for (char c : param_info.param.name) {
                             name += (c == '-') ? '_' : c;
                           }
                           return name;
                         });

// The same cases with their objects packed into a compressed object stream,
// by qpdf at two levels and by the generator in the shapes other writers
// use; what iccdrop cannot rewrite safely stays byte for byte, with a line.
// kFitOrNot: zopfli's data is mostly too small for the rewritten content,
// but not always; either way is checked.
enum class Outcome { kConverts, kFitOrNot, kUnread };

struct PackedForm {
  const char* name;
  std::vector<std::string> qpdf_args;  // qpdf packs the file; else the generator
  pdfgen::Packing packing;
  Outcome outcome;
  const char* reason = "";     // kUnread: why the object stream is left
  std::size_t attachment = 0;  // bytes of a file qpdf attaches first
  bool poppler_reads = true;   // false: pdftoppm reads neither input nor output
};

void PrintTo(const PackedForm& form, std::ostream* out) { *out << form.name; }

std::optional<std::string> zopfli_compress(std::string_view content) {
  const std::optional<std::string> zopfli = testing::find_program("zopfli");
  if (!zopfli) return std::nullopt;
  testing::TempDir dir;
  const std::string path = dir.file("content");
  if (!testing::write_file(path, content)) return std::nullopt;
  const RunResult run = testing::run_program(*zopfli, {"--zlib", "-c", path});
  if (run.exit_status != 0) return std::nullopt;
  return run.out;
}

const std::vector<PackedForm>& packed_forms() {
  static const std::vector<PackedForm> forms = {
      {"qpdf_level_1",
       {"--object-streams=generate", "--compression-level=1", "--recompress-flate"},
       {},
       Outcome::kConverts},
      {"qpdf_level_9",
       {"--object-streams=generate", "--compression-level=9", "--recompress-flate"},
       {},
       Outcome::kConverts},
      // Level 1 leaves room for libdeflate's level 12 (deflate_test.cpp has
      // the rooms of a few bytes).
      {"filter_array", {}, {.filter_array = true, .level = 1}, Outcome::kConverts},
      {"indirect_length", {}, {.indirect_length = true, .level = 1}, Outcome::kConverts},
      {"predictor",
       {},
       {.predictor = true},
       Outcome::kUnread,
       "its filter is not /FlateDecode alone, without a predictor"},
      // qpdf reads a header whose offsets do not increase; the run leaves it.
      {"pairs_reversed",
       {},
       {.level = 1, .pairs_reversed = true},
       Outcome::kUnread,
       "its header of object numbers and offsets does not read",
       0,
       false},
      {"zopfli", {}, {.compress = zopfli_compress}, Outcome::kFitOrNot},
      {"encrypted",
       {"--object-streams=generate", "--encrypt", "", "owner", "256", "--"},
       {},
       Outcome::kUnread,
       "the file is encrypted"},
      // The trailer that holds /Encrypt comes first, 96 KiB from the end.
      {"encrypted_linearized",
       {"--linearize", "--object-streams=generate", "--encrypt", "", "owner", "256",
        "--"},
       {},
       Outcome::kUnread,
       "the file is encrypted",
       96 << 10},
  };
  return forms;
}

int count_of(std::string_view text, std::string_view word) {
  int count = 0;
  for (std::size_t at = text.find(word); at != std::string_view::npos;
       at = text.find(word, at + 1)) {
    ++count;
  }
  return count;
}

// The run of `args` again with --json: the same status, and one line that
// says what the text of `run` says. Returns that object (null where none).
nlohmann::json json_report_of(std::vector<std::string> args, const RunResult& run) {
  args.insert(args.begin(), "--json");
  const RunResult json = testing::run_program(ICCDROP_BINARY, args);
  EXPECT_EQ(json.exit_status, run.exit_status);
  const auto reports = testing::parse_reports(json.out);
  if (!reports || reports->size() != 1) {
    ADD_FAILURE() << "not one JSON object: " << json.out;
    return nullptr;
  }
  EXPECT_EQ(testing::report_lines(reports->front()), testing::comparable_lines(run.out));
  return reports->front();
}

class AllModePacked : public ::testing::TestWithParam<std::tuple<Case, PackedForm>> {};

TEST_P(AllModePacked, ConvertsInsideOrLeavesTheStreamAsItIs) {
  const auto& [c, form] = GetParam();
  const std::optional<std::string> qpdf = testing::find_program("qpdf");
  if (!qpdf) GTEST_SKIP() << "qpdf is not installed";
  if (form.packing.compress != nullptr && !testing::find_program("zopfli")) {
    GTEST_SKIP() << "zopfli is not installed";
  }
  const pdfgen::BuildResult result = pdfgen::build_case(c, pdfgen::kDefaultProfileDir);
  if (!result.built) GTEST_SKIP() << result.error;
  testing::TempDir dir;
  const std::string plain_path = dir.file("plain.pdf");
  const std::string input_path = dir.file("in.pdf");
  const std::string output_path = dir.file("out.pdf");
  ASSERT_TRUE(testing::write_file(plain_path, result.built->pdf));
  if (form.attachment > 0) {
    std::string bytes(form.attachment, '\0');
    std::uint32_t state = 12345;
    for (char& byte : bytes)
      byte = static_cast<char>((state = state * 1103515245 + 12345) >> 24);
    ASSERT_TRUE(testing::write_file(dir.file("attached.bin"), bytes));
    const RunResult attach = testing::run_qpdf(
        *qpdf, {plain_path, "--add-attachment", dir.file("attached.bin"), "--"},
        dir.file("attached.pdf"));
    ASSERT_EQ(attach.exit_status, 0) << attach.err;
    ASSERT_EQ(::rename(dir.file("attached.pdf").c_str(), plain_path.c_str()), 0);
  }
  if (!form.qpdf_args.empty()) {
    std::vector<std::string> args = form.qpdf_args;
    args.push_back(plain_path);
    const RunResult pack = testing::run_qpdf(*qpdf, args, input_path);
    ASSERT_EQ(pack.exit_status, 0) << pack.err;
  } else {
    std::string error;
    const auto packed = pdfgen::pack_objects(result.built->pdf, form.packing, error);
    ASSERT_TRUE(packed) << error;
    ASSERT_TRUE(testing::write_file(input_path, *packed));
  }
  const std::optional<std::string> input = testing::read_file(input_path);
  ASSERT_TRUE(input);
  const RunResult input_check = testing::qpdf_check(*qpdf, input_path);
  ASSERT_EQ(input_check.exit_status, 0) << "packed input:\n" << input_check.out;
  ASSERT_FALSE(testing::object_stream_data(*input).empty());

  const RunResult run =
      testing::run_program(ICCDROP_BINARY, {"--all", input_path, output_path});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  (void)json_report_of({"--all", input_path, output_path}, run);
  const std::optional<std::string> output = testing::read_file(output_path);
  ASSERT_TRUE(output);
  ASSERT_EQ(output->size(), input->size());
  // An output that is no regular file (a descriptor's name) makes the run read
  // the input twice and stream the output, the object stream's new data put
  // over its windows: the same bytes and lines.
  const std::string streamed_path = dir.file("streamed.pdf");
  const RunResult streamed = testing::run_program(
      "/bin/sh", {"-c", "exec \"$0\" --all \"$1\" /dev/fd/3 3>\"$2\"", ICCDROP_BINARY,
                  input_path, streamed_path});
  ASSERT_EQ(streamed.exit_status, 0) << streamed.out;
  EXPECT_TRUE(testing::read_file(streamed_path) == output);
  EXPECT_EQ(streamed.out.substr(streamed.out.find('\n')),
            run.out.substr(run.out.find('\n')));
  // The spaces outside the object stream (an image's, in its stream's
  // dictionary) convert as in a plain file.
  const auto ranges = testing::object_stream_data(*input);
  const int spaces = static_cast<int>(c.color_spaces.size());
  const int plain =
      count_of(testing::outside_ranges(std::string(input->size(), ' '), *input, ranges),
               "/ICCBased");
  const int packed = spaces - plain;
  ASSERT_GT(packed, 0);
  const bool fits =
      form.outcome == Outcome::kConverts ||
      (form.outcome == Outcome::kFitOrNot && count_of(run.out, "would not fit") == 0);
  const bool stream_kept = [&] {
    for (const auto& range : ranges) {
      if (input->compare(range.offset, range.length, *output, range.offset,
                         range.length) != 0) {
        return false;
      }
    }
    return true;
  }();
  if (fits) {
    EXPECT_EQ(count_of(run.out, "Changing ColorSpace '"), spaces) << run.out;
    EXPECT_EQ(count_of(run.out, "Leaving "), 0) << run.out;
    EXPECT_FALSE(stream_kept);
  } else if (form.outcome == Outcome::kFitOrNot) {
    EXPECT_EQ(count_of(run.out, "Changing ColorSpace '"), plain) << run.out;
    EXPECT_EQ(count_of(run.out, "' as /ICCBased: in an object stream that would not fit"),
              packed)
        << run.out;
    EXPECT_TRUE(stream_kept);
  } else {
    EXPECT_EQ(count_of(run.out, "Changing ColorSpace '"), plain) << run.out;
    EXPECT_GE(count_of(run.out, "Leaving the objects of object stream '"), 1) << run.out;
    EXPECT_EQ(count_of(run.out, "Leaving the objects of object stream '"),
              count_of(run.out, std::string("' unread: ") + form.reason + "\n"))
        << run.out;
    EXPECT_TRUE(stream_kept);
  }
  // Outside the object stream's data, arrays only; inside, as qpdf decodes
  // it, only arrays become device names, and none is left.
  const testing::RewriteDiff outside = testing::explain_rewrites(
      *input,
      testing::outside_ranges(*input, *output, testing::object_stream_data(*input)));
  EXPECT_EQ(outside.error, "");
  // A linearized file's hint tables still count the profile whose only
  // reference was rewritten: qpdf warns of it (the README says so).
  const RunResult check = testing::qpdf_check(*qpdf, output_path);
  const bool stale_hints =
      check.exit_status == 3 &&
      (check.out + check.err)
              .find("found unknown object while calculating length for linearization") !=
          std::string::npos;
  EXPECT_TRUE(check.exit_status == 0 || (form.attachment > 0 && stale_hints))
      << check.out << check.err;
  EXPECT_EQ(testing::qpdf_page_count(*qpdf, output_path),
            static_cast<int>(c.pages.size()));
  const testing::ObjectsDiff objects =
      testing::compare_objects(*qpdf, input_path, output_path);
  EXPECT_EQ(objects.error, "");
  EXPECT_EQ(objects.rewritten, fits ? spaces : plain);

  const std::optional<std::string> pdftoppm = testing::find_program("pdftoppm");
  if (!pdftoppm) GTEST_SKIP() << "pdftoppm is not installed";
  if (!form.poppler_reads) return;
  testing::TempDir pages;
  const RunResult render =
      testing::run_program(*pdftoppm, {"-r", "2", "-gray", output_path, pages.file("p")});
  EXPECT_EQ(render.exit_status, 0) << render.err;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(pages.path()),
                          std::filesystem::directory_iterator()),
            static_cast<long>(c.pages.size()));
}

INSTANTIATE_TEST_SUITE_P(All, AllModePacked,
                         ::testing::Combine(::testing::ValuesIn(pdfgen::all_mode_cases()),
                                            ::testing::ValuesIn(packed_forms())),
                         [](const auto& param_info) {
                           std::string name;
                           for (char c : std::get<0>(param_info.param).name)
                             name += (c == '-') ? '_' : c;
                           return name + "_" + std::get<1>(param_info.param).name;
                         });

// Profiles read by their header: a row each, its colour space named /Cs<row>
// in the page's resources, in a plain file and with the arrays packed into
// an object stream. The default mode reads /N alone and converts them all.
struct HeaderRow {
  const char* profile_class;  // bytes 12-15
  const char* space;          // bytes 16-19
  int components;             // the stream's /N; 0: none
  enum Data { kFlate, kUnfiltered, kCorrupt, kNoSignature } data;
  const char* expected;  // "/DeviceRGB", or the reason it is left
};

constexpr HeaderRow kHeaderRows[] = {
    {"spac", "Lab ", 3, HeaderRow::kFlate, "the profile's data colour space is Lab"},
    {"spac", "XYZ ", 3, HeaderRow::kFlate, "the profile's data colour space is XYZ"},
    {"abst", "Lab ", 3, HeaderRow::kFlate, "the profile is an abstract profile"},
    {"link", "RGB ", 3, HeaderRow::kFlate, "the profile is a device link profile"},
    {"nmcl", "RGB ", 3, HeaderRow::kFlate, "the profile is a named colour profile"},
    {"prtr", "6CLR", 4, HeaderRow::kFlate,
     "the profile's data colour space is not Gray, RGB or CMYK"},
    {"mntr", "RGB ", 1, HeaderRow::kFlate, "/DeviceGray"},  // /N decides
    {"prtr", "CMYK", 4, HeaderRow::kFlate, "/DeviceCMYK"},
    {"mntr", "RGB ", 3, HeaderRow::kUnfiltered, "/DeviceRGB"},
    {"spac", "Lab ", 3, HeaderRow::kUnfiltered, "the profile's data colour space is Lab"},
    {"spac", "Lab ", 3, HeaderRow::kCorrupt, "/DeviceRGB"},      // no header to read
    {"spac", "Lab ", 3, HeaderRow::kNoSignature, "/DeviceRGB"},  // nor here
    {"mntr", "RGB ", 2, HeaderRow::kFlate, "the profile declares /N 2"},
    {"mntr", "RGB ", 0, HeaderRow::kFlate, "the profile has no /N the run can read"},
    {"mntr", "RGB ", -1, HeaderRow::kFlate, "the profile declares /N -1"},
};

// The rows a colour space is made for: all of them, or only those left.
std::vector<HeaderRow> header_rows(bool left_only) {
  std::vector<HeaderRow> rows;
  for (const HeaderRow& row : kHeaderRows) {
    if (!left_only || !std::string_view(row.expected).starts_with("/Device"))
      rows.push_back(row);
  }
  return rows;
}

// The arrays come first and the resources that name them last, after some
// 6 KiB of other objects: packed, they lie windows apart in the object
// stream.
std::string header_case_pdf(const std::vector<HeaderRow>& rows) {
  const int count = static_cast<int>(rows.size());
  constexpr int kFirstArray = 5;
  const int first_profile = kFirstArray + count;
  const int filler = first_profile + count;
  const int resources_number = filler + 1;
  pdfgen::PdfWriter writer(pdfgen::LineEnd::kLf);
  writer.write_header(0);
  std::string resources = "<< /ColorSpace <<";
  for (int i = 0; i < count; ++i) {
    resources +=
        " /Cs" + std::to_string(i + 1) + " " + std::to_string(kFirstArray + i) + " 0 R";
  }
  resources += " >> >>";
  const auto object = [](int number, std::string body) {
    return pdfgen::PdfObject{number, std::move(body), std::nullopt};
  };
  writer.append(object(1, "<< /Type /Catalog /Pages 2 0 R >>"));
  writer.append(object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"));
  writer.append(object(3, "<< /Type /Page /Parent 2 0 R /Resources " +
                              std::to_string(resources_number) +
                              " 0 R /Contents 4 0 R /MediaBox [0 0 72 72] >>"));
  writer.append({4, "<< /Length 8 >>", std::string("0 0 m\nS\n")});
  for (int i = 0; i < count; ++i) {
    writer.append(object(kFirstArray + i,
                         "[/ICCBased " + std::to_string(first_profile + i) + " 0 R]"));
  }
  for (int i = 0; i < count; ++i) {
    const HeaderRow& row = rows[static_cast<std::size_t>(i)];
    std::string profile(600, '\0');
    for (std::size_t b = 128; b < profile.size(); ++b) {
      profile[b] = static_cast<char>((b * 131 + static_cast<std::size_t>(i)) % 251);
    }
    profile.replace(12, 4, row.profile_class);
    profile.replace(16, 4, row.space);
    if (row.data != HeaderRow::kNoSignature) profile.replace(36, 4, "acsp");
    std::string data = profile;
    std::string dictionary = row.components == 0
                                 ? "<< /Alternate /DeviceRGB"
                                 : "<< /N " + std::to_string(row.components);
    if (row.data != HeaderRow::kUnfiltered) {
      uLongf size = compressBound(static_cast<uLong>(profile.size()));
      data.assign(size, '\0');
      compress2(reinterpret_cast<Bytef*>(data.data()), &size,
                reinterpret_cast<const Bytef*>(profile.data()),
                static_cast<uLong>(profile.size()), 9);
      data.resize(size);
      if (row.data == HeaderRow::kCorrupt) data[0] = '\x01';  // no zlib header
      dictionary += " /Filter /FlateDecode";
    }
    dictionary += " /Length " + std::to_string(data.size()) + " >>";
    writer.append({first_profile + i, dictionary, data});
  }
  std::string numbers = "[";
  for (int i = 0; i < 1200; ++i) numbers += std::to_string(i * 7919 % 10007) + " ";
  writer.append(object(filler, numbers + "]"));
  writer.append(object(resources_number, resources));
  writer.finish(1, 3, "00112233445566778899AABBCCDDEEFF");
  return writer.bytes();
}

// Each row's colour space is converted or left with its reason, by the
// same rules in plain objects and in an object stream, the resources
// windows after the arrays. Where every space is left, the file is not
// touched: the output is the input, and in place it keeps its inode.
TEST(AllModeProfileHeaders, HeaderDecidesInPlainObjectsAndObjectStreams) {
  for (const bool left_only : {false, true}) {
    const std::vector<HeaderRow> rows = header_rows(left_only);
    const std::string plain = header_case_pdf(rows);
    std::string error;
    const auto packed = pdfgen::pack_objects(plain, {.level = 1}, error);
    ASSERT_TRUE(packed) << error;
    testing::TempDir dir;
    for (const auto& [form, pdf] :
         {std::pair{"plain", plain}, std::pair{"packed", *packed}}) {
      SCOPED_TRACE(::testing::Message() << form << (left_only ? ", left only" : ""));
      const std::string input_path = dir.file(std::string(form) + ".pdf");
      const std::string output_path = dir.file(std::string(form) + "-out.pdf");
      ASSERT_TRUE(testing::write_file(input_path, pdf));
      const RunResult run =
          testing::run_program(ICCDROP_BINARY, {"--all", input_path, output_path});
      ASSERT_EQ(run.exit_status, 0) << run.out;
      std::string changes, leaves;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::string name = "Cs" + std::to_string(i + 1);
        const std::string_view expected = rows[i].expected;
        if (expected.starts_with("/Device")) {
          changes += "Changing ColorSpace '" + name + "' from /ICCBased to " +
                     std::string(expected) + "\n";
        } else {
          leaves += "Leaving ColorSpace '" + name +
                    "' as /ICCBased: " + std::string(expected) + "\n";
        }
      }
      // The plain file's lines in file order; the object stream's after
      // them, where their order is the objects'.
      EXPECT_EQ(run.out, "Output file is " + output_path + "\n" + changes + leaves);
      // --json places what is left in the file, or in the object stream.
      const nlohmann::json report =
          json_report_of({"--all", input_path, output_path}, run);
      const bool packed_form = form == std::string_view("packed");
      for (const auto& left : report.value("left", nlohmann::json::array())) {
        EXPECT_EQ(left.contains("object_stream"), packed_form) << left;
        if (!packed_form) {
          EXPECT_EQ(pdf.at(left["offset"].get<std::size_t>()), '[') << left;
        }
      }
      const testing::SchemaCheck schema = testing::check_reports(
          ICCDROP_SOURCE_DIR "/docs/report.schema.json", report.dump() + "\n");
      EXPECT_EQ(schema.problems, "");
      if (left_only) {
        EXPECT_EQ(testing::read_file(output_path), pdf);
        struct stat before {
        }, after{};
        ASSERT_EQ(::stat(input_path.c_str(), &before), 0);
        const RunResult in_place =
            testing::run_program(ICCDROP_BINARY, {"--all", "-i", input_path});
        EXPECT_EQ(in_place.exit_status, 0) << in_place.out;
        ASSERT_EQ(::stat(input_path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(testing::read_file(input_path), pdf);
        continue;
      }

      // The default mode converts by /N alone (/N 2 to its marker), where it
      // sees the arrays: not in an object stream.
      const RunResult by_default = testing::run_program(
          ICCDROP_BINARY, {input_path, dir.file(std::string(form) + "-default.pdf")});
      const auto with_n =
          std::count_if(rows.begin(), rows.end(),
                        [](const HeaderRow& row) { return row.components > 0; });
      EXPECT_EQ(count_of(by_default.out, "Changing ColorSpace"),
                form == std::string_view("plain") ? static_cast<int>(with_n) : 0)
          << by_default.out;
      EXPECT_EQ(count_of(by_default.out, "Leaving"), 0);

      const std::optional<std::string> qpdf = testing::find_program("qpdf");
      if (!qpdf) continue;
      EXPECT_EQ(testing::qpdf_check(*qpdf, output_path).exit_status, 0);
    }
  }
}

// The layouts the cases promise, where the generator could miss them.
TEST(AllModeGenerator, CasesHaveTheLayoutTheyPromise) {
  for (const Case& c : pdfgen::all_mode_cases()) {
    const pdfgen::BuildResult result = pdfgen::build_case(c, pdfgen::kDefaultProfileDir);
    if (!result.built) continue;
    const std::string& pdf = result.built->pdf;
    SCOPED_TRACE(c.name);
    if (c.name == "all-ghostscript") {
      EXPECT_NE(pdf.find(" 0 R]endobj"), std::string::npos);
    }
    if (c.name == "all-comments-and-form-feeds") {
      EXPECT_NE(pdf.find("[ % the profile follows\n/ICCBased\f"), std::string::npos);
    }
    if (c.name == "all-profiles-alternate-first") {
      EXPECT_NE(pdf.find("<</Alternate /DeviceRGB/N 3/Length"), std::string::npos);
    }
    if (c.name == "all-numbers-cut-by-boundaries") {
      for (std::string_view header : {"\n11 0 obj", "\n14 0 obj"}) {
        const std::size_t at = pdf.find(header);
        ASSERT_NE(at, std::string::npos) << header;
        EXPECT_EQ((at + 2) % 4096, 0u) << header << " at " << at + 1;
      }
    }
  }
}

}  // namespace
}  // namespace iccdrop::integration
