// Heap allocations that fail on request, for the paths that must go on
// without an array they could not have.
#pragma once

#include <cstddef>

namespace core_test {

// False where the test binary cannot take over malloc: under a sanitizer,
// whose runtime supplies its own, or where the C library is not glibc.
bool heap_failures_possible();

// Makes the nth (from 1) allocation of exactly `size` bytes from now on
// fail, once; every other allocation goes to the C library as usual.
void fail_heap_allocation(std::size_t size, int nth);

// Whether the failure asked for has happened.
bool heap_failure_happened();

}  // namespace core_test
