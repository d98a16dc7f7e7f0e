// The figures the integration suite reports: per file, its pages, the colour
// spaces converted and kept, and how far the renderings of input and output
// lie apart. Each test prints its line and leaves it in a folder of the
// build tree; the last test of the suite (`--print-figures`) adds them up.
#pragma once

#include <string>

namespace iccdrop::integration {

struct FileFigures {
  std::string suite;  // "generated" or "corpus"
  std::string file;
  int pages = 0;
  int converted = 0;            // colour spaces rewritten
  int kept = 0;                 // ICC-based colour spaces left as they were
  int bounded_pages = 0;        // pages held to the rendering tolerance
  double bounded_mean_sum = 0;  // sum over those pages of their mean difference
  int bounded_max = 0;          // largest sample difference on those pages
  int unbounded_pages = 0;      // CMYK, linear gray, the corpus: rendered, measured only
  double unbounded_mean_sum = 0;
  int unbounded_max = 0;
  int identical_pages = 0;  // pages without a converted space: no difference allowed
};

// Prints the figures on stdout and stores them for the summary.
void record_figures(const FileFigures& figures);

// Clears the stored figures; prints and returns 0.
int reset_figures();
// Prints the totals of the stored figures, per suite; returns 0.
int print_figures();

}  // namespace iccdrop::integration
