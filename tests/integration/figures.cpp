#include "integration/figures.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace iccdrop::integration {
namespace {

const std::filesystem::path kFiguresDir = ICCDROP_FIGURES_DIR;

std::string describe(const FileFigures& f) {
  char text[512];
  std::snprintf(
      text, sizeof text,
      "%s %s: %d pages, %d colour spaces converted, %d kept; "
      "pages within tolerance %d (mean diff %.3f, max %d); pages measured only %d "
      "(mean diff %.3f, max %d); pages that must stay identical %d",
      f.suite.c_str(), f.file.c_str(), f.pages, f.converted, f.kept, f.bounded_pages,
      f.bounded_pages ? f.bounded_mean_sum / f.bounded_pages : 0.0, f.bounded_max,
      f.unbounded_pages,
      f.unbounded_pages ? f.unbounded_mean_sum / f.unbounded_pages : 0.0, f.unbounded_max,
      f.identical_pages);
  return text;
}

}  // namespace

void record_figures(const FileFigures& f) {
  std::printf("[ FIGURES  ] %s\n", describe(f).c_str());
  std::error_code ignored;
  std::filesystem::create_directories(kFiguresDir, ignored);
  std::ofstream out(kFiguresDir / (f.suite + "__" + f.file + ".tsv"), std::ios::trunc);
  out << f.suite << '\t' << f.file << '\t' << f.pages << '\t' << f.converted << '\t'
      << f.kept << '\t' << f.bounded_pages << '\t' << f.bounded_mean_sum << '\t'
      << f.bounded_max << '\t' << f.unbounded_pages << '\t' << f.unbounded_mean_sum
      << '\t' << f.unbounded_max << '\t' << f.identical_pages << '\n';
}

int reset_figures() {
  std::error_code ignored;
  std::filesystem::remove_all(kFiguresDir, ignored);
  std::printf("integration figures cleared in %s\n", kFiguresDir.c_str());
  return 0;
}

int print_figures() {
  std::map<std::string, FileFigures> totals;
  std::map<std::string, int> files;
  std::error_code ec;
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(kFiguresDir, ec)) {
    paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  for (const auto& path : paths) {
    std::ifstream in(path);
    FileFigures f;
    std::string line;
    if (!std::getline(in, line)) continue;
    std::istringstream cells(line);
    std::getline(cells, f.suite, '\t');
    std::getline(cells, f.file, '\t');
    cells >> f.pages >> f.converted >> f.kept >> f.bounded_pages >> f.bounded_mean_sum >>
        f.bounded_max >> f.unbounded_pages >> f.unbounded_mean_sum >> f.unbounded_max >>
        f.identical_pages;
    if (!cells) continue;
    std::printf("%s\n", describe(f).c_str());
    FileFigures& t = totals[f.suite];
    t.suite = f.suite;
    t.file = "(all files)";
    ++files[f.suite];
    t.pages += f.pages;
    t.converted += f.converted;
    t.kept += f.kept;
    t.bounded_pages += f.bounded_pages;
    t.bounded_mean_sum += f.bounded_mean_sum;
    t.bounded_max = std::max(t.bounded_max, f.bounded_max);
    t.unbounded_pages += f.unbounded_pages;
    t.unbounded_mean_sum += f.unbounded_mean_sum;
    t.unbounded_max = std::max(t.unbounded_max, f.unbounded_max);
    t.identical_pages += f.identical_pages;
  }
  if (totals.empty()) std::printf("no integration figures recorded (tests skipped?)\n");
  for (const auto& [suite, t] : totals) {
    std::printf("SUMMARY %d files: %s\n", files[suite], describe(t).c_str());
  }
  return 0;
}

}  // namespace iccdrop::integration
