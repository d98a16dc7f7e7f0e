// The corpus of real PDF files beside the clone (../shared/corpus): its
// MANIFEST.tsv read into rows of named columns. Absent on a user's fresh
// clone, where the corpus tests report themselves skipped.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace iccdrop::testing {

struct CorpusRow {
  std::map<std::string, std::string> columns;  // header name -> cell

  // The cell, or "" when the column is missing.
  [[nodiscard]] const std::string& at(const std::string& column) const;
  [[nodiscard]] const std::string& file() const { return at("file"); }
};

struct Corpus {
  std::string real_dir;  // folder of the PDF files
  std::vector<CorpusRow> rows;
};

// Reads `shared_dir`/corpus/MANIFEST.tsv; none when it is missing or has no
// rows.
[[nodiscard]] std::optional<Corpus> load_corpus(const std::string& shared_dir);

// The names of the files, for parameterised tests; {"corpus-absent"} when
// there is no corpus, so that the suite can report one skipped test.
[[nodiscard]] std::vector<std::string> corpus_test_names(const std::string& shared_dir);
inline constexpr const char* kCorpusAbsent = "corpus-absent";

// A file name turned into a gtest parameter name: letters, digits and '_'.
[[nodiscard]] std::string test_name_of(const std::string& file);

}  // namespace iccdrop::testing
