// The integration suite's entry point: the gtest tests, and two extra modes
// that CTest runs before and after them to clear and to add up the figures
// the tests record (see figures.h).
#include <gtest/gtest.h>

#include <cstring>

#include "integration/figures.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc == 2 && std::strcmp(argv[1], "--reset-figures") == 0) {
    return iccdrop::integration::reset_figures();
  }
  if (argc == 2 && std::strcmp(argv[1], "--print-figures") == 0) {
    return iccdrop::integration::print_figures();
  }
  return RUN_ALL_TESTS();
}
