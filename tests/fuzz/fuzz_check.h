// The checks the fuzz targets make: a broken property stops the run the way
// a sanitizer does, with a message and an abort, so libFuzzer keeps the
// input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_REQUIRE(condition)                                                             \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

// For a check that says what it found wrong, "" when nothing.
#define FUZZ_REQUIRE_NONE(report)                                              \
  do {                                                                         \
    const std::string fuzz_report = (report);                                  \
    if (!fuzz_report.empty()) {                                                \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
                   fuzz_report.c_str());                                       \
      std::abort();                                                            \
    }                                                                          \
  } while (false)
