// iccdrop: turns the ICC-based colour spaces of a PDF into device colour
// spaces, in place, keeping the file's size and every other byte.
#include <span>

#include "cli/driver.h"
#include "stream/output_file.h"

int main(int argc, char** argv) {
  const iccdrop::stream::ClosedStandard closed = iccdrop::stream::prepare_process();
  return iccdrop::cli::run_iccdrop(
      std::span<const char* const>(argv + 1,
                                   static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)),
      closed);
}
