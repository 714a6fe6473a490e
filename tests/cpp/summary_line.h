// The summary line every suite of the project ends with, "N passed, M
// failed", which the test runner adds up, for the GoogleTest programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

namespace core_test {

class SummaryLine : public testing::EmptyTestEventListener {
  void OnTestProgramEnd(const testing::UnitTest& unit_test) override {
    std::printf("%d passed, %d failed\n", unit_test.successful_test_count(),
                unit_test.failed_test_count());
    std::fflush(stdout);
  }
};

}  // namespace core_test
