// The test binary's own malloc, which hands every request to glibc's but
// the one it was asked to fail. Only this binary's malloc: the library
// under test is linked into it statically, so its arrays come from here.
#include "failing_heap.h"

#include <atomic>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define CORE_TEST_SANITIZED_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CORE_TEST_SANITIZED_HEAP 1
#endif

#if !defined(CORE_TEST_SANITIZED_HEAP) && defined(__GLIBC__)

extern "C" void* __libc_malloc(std::size_t size);

namespace {

std::atomic<std::size_t> failing_size{0};
std::atomic<int> sizes_to_pass{0};
std::atomic<bool> failed{false};

}  // namespace

extern "C" void* malloc(std::size_t size) {
  if (size != 0 && size == failing_size.load(std::memory_order_relaxed) &&
      sizes_to_pass.fetch_sub(1, std::memory_order_relaxed) == 0) {
    failing_size.store(0, std::memory_order_relaxed);
    failed.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  return __libc_malloc(size);
}

namespace core_test {

bool heap_failures_possible() { return true; }

void fail_heap_allocation(std::size_t size, int nth) {
  failed.store(false);
  sizes_to_pass.store(nth - 1);
  failing_size.store(size);
}

bool heap_failure_happened() { return failed.load(); }

}  // namespace core_test

#else

namespace core_test {

bool heap_failures_possible() { return false; }
void fail_heap_allocation(std::size_t, int) {}
bool heap_failure_happened() { return false; }

}  // namespace core_test

#endif
