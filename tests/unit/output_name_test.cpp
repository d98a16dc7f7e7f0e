// derive_output_name: the '3' goes before the last '.' of the file name
// itself, "3.pdf" is appended when the file name has none, and a '.' in a
// directory never counts.
#include "cli/output_name.h"

#include <gtest/gtest.h>

#include <string>

namespace iccdrop::cli {
namespace {

TEST(OutputName, InsertsBeforeTheLastDotOfTheFileName) {
  struct Row {
    const char* input;
    const char* output;
  };
  constexpr Row kRows[] = {
      {"foo.pdf", "foo3.pdf"},
      {"foo", "foo3.pdf"},
      {"a.b.pdf", "a.b3.pdf"},
      {"foo.", "foo3."},
      {".pdf", "3.pdf"},
      {"foo.tar.gz", "foo.tar3.gz"},
      {"FOO.PDF", "FOO3.PDF"},
      {"", "3.pdf"},
      {".", "3."},
      {"..", ".3."},
      {"dir.old/foo", "dir.old/foo3.pdf"},  // never «dir3.old/foo»
      {"dir.old/foo.pdf", "dir.old/foo3.pdf"},
      {"a.b/c.d/e", "a.b/c.d/e3.pdf"},
      {"a/.hidden", "a/3.hidden"},
      {"./foo", "./foo3.pdf"},
      {"../x.y/z", "../x.y/z3.pdf"},
      {"/abs/path.pdf", "/abs/path3.pdf"},
      {"/", "/3.pdf"},
      {"dir/", "dir/3.pdf"},
      {"dir.d/", "dir.d/3.pdf"},
      {"with space.pdf", "with space3.pdf"},
      {"caf\xc3\xa9.pdf",
       "caf\xc3\xa9"
       "3.pdf"},
      {"\xff\xfe",
       "\xff\xfe"
       "3.pdf"},
  };
  for (const Row& row : kRows) {
    EXPECT_EQ(derive_output_name(row.input), row.output) << "input «" << row.input << "»";
  }
}

TEST(OutputName, KeepsEveryByteOfTheName) {
  // Bytes come with their end: a NUL is part of the name, not its end.
  const std::string input("a\0b.pdf", 7);
  EXPECT_EQ(derive_output_name(input), std::string("a\0b3.pdf", 8));
}

TEST(OutputName, HasNoLengthLimit) {
  struct Row {
    std::string input;
    std::string output;
  };
  const std::string stem(300, 'n');
  const std::string deep = std::string(200, 'd') + ".dir/" + std::string(250, 'f');
  const Row rows[] = {
      {stem, stem + "3.pdf"},
      {stem + ".pdf", stem + "3.pdf"},
      {std::string(251, 'x'), std::string(251, 'x') + "3.pdf"},  // just past 255
      {std::string(255, 'x') + ".", std::string(255, 'x') + "3."},
      {deep, deep + "3.pdf"},
      {deep + ".pdf", deep + "3.pdf"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(derive_output_name(row.input), row.output) << row.input.size() << " bytes";
  }
}

}  // namespace
}  // namespace iccdrop::cli
