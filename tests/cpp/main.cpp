// Runs the unit tests and ends with the summary line every suite of the
// project ends with, "N passed, M failed", which the test runner adds up.
#include <gtest/gtest.h>

#include <cstdio>

namespace {

class SummaryLine : public testing::EmptyTestEventListener {
  void OnTestProgramEnd(const testing::UnitTest& unit_test) override {
    std::printf("%d passed, %d failed\n", unit_test.successful_test_count(),
                unit_test.failed_test_count());
    std::fflush(stdout);
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new SummaryLine);
  return RUN_ALL_TESTS();
}
