#include "support/corpus_manifest.h"

#include <fstream>

namespace iccdrop::testing {
namespace {

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    cells.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return cells;
    start = tab + 1;
  }
}

}  // namespace

const std::string& CorpusRow::at(const std::string& column) const {
  static const std::string kEmpty;
  const auto found = columns.find(column);
  return found == columns.end() ? kEmpty : found->second;
}

std::optional<Corpus> load_corpus(const std::string& shared_dir) {
  std::ifstream in(shared_dir + "/corpus/MANIFEST.tsv");
  if (!in) return std::nullopt;
  Corpus corpus;
  corpus.real_dir = shared_dir + "/corpus/real";
  std::string line;
  std::vector<std::string> header;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> cells = split_tabs(line);
    if (header.empty()) {
      header = std::move(cells);
      continue;
    }
    CorpusRow row;
    for (std::size_t i = 0; i < header.size() && i < cells.size(); ++i) {
      row.columns[header[i]] = cells[i];
    }
    corpus.rows.push_back(std::move(row));
  }
  if (corpus.rows.empty()) return std::nullopt;
  return corpus;
}

std::vector<std::string> corpus_test_names(const std::string& shared_dir) {
  const std::optional<Corpus> corpus = load_corpus(shared_dir);
  if (!corpus) return {kCorpusAbsent};
  std::vector<std::string> names;
  for (const CorpusRow& row : corpus->rows) names.push_back(row.file());
  return names;
}

std::string test_name_of(const std::string& file) {
  std::string name;
  for (char c : file) {
    const bool keep =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    name += keep ? c : '_';
  }
  return name;
}

}  // namespace iccdrop::testing
