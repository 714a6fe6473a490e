// Runs the unit tests and ends with the summary line every suite of the
// project ends with.
#include <gtest/gtest.h>

#include "summary_line.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new core_test::SummaryLine);
  return RUN_ALL_TESTS();
}
