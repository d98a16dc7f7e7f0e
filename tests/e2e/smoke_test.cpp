#include <gtest/gtest.h>

#include "match/sequence.h"

TEST(Smoke, Links) {
  iccdrop::match::SequenceMatch m;
  EXPECT_EQ(m.total_length, 0u);
}
