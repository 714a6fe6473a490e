// Proves that build_suffix_array sorts the suffixes of any old data. Checked
// against a plain byte-by-byte comparison that shares nothing with the
// prefix doubling: the suffix array is a permutation of 0..n, every entry's
// suffix orders strictly before the next one's (so the empty suffix comes
// first), and rank is the inverse of the suffix array. Both arrays are exactly
// n + 1 entries on the heap and start out as junk, so ASan reports any step
// past either end and the result cannot lean on what the arrays held. Where
// the build links the library sorter, its array must be the same, entry for
// entry.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "delta/suffix_array.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr std::int32_t kJunk = 0x5A5A5A5A;

// Unsigned bytes; a suffix that is a prefix of another orders first.
bool suffix_less(const std::uint8_t* data, std::int32_t length, std::int32_t a, std::int32_t b) {
  return std::lexicographical_compare(data + a, data + length, data + b, data + length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto old_length = static_cast<std::int32_t>(size);
  const std::size_t entries = size + 1;
  // A private copy, so that a read past the old data lands in ASan's red zone.
  const std::unique_ptr<std::uint8_t[]> old_data(new std::uint8_t[size]);
  std::copy(data, data + size, old_data.get());
  const std::unique_ptr<std::int32_t[]> suffix_array(new std::int32_t[entries]);
  const std::unique_ptr<std::int32_t[]> rank(new std::int32_t[entries]);
  std::fill(suffix_array.get(), suffix_array.get() + entries, kJunk);
  std::fill(rank.get(), rank.get() + entries, kJunk);

  FUZZ_REQUIRE(
      core::build_suffix_array(suffix_array.get(), rank.get(), old_data.get(), old_length));

  std::vector<bool> seen(entries, false);
  for (std::int32_t k = 0; k <= old_length; ++k) {
    const std::int32_t start = suffix_array[k];
    FUZZ_REQUIRE(start >= 0 && start <= old_length);
    FUZZ_REQUIRE(!seen[start]);
    seen[start] = true;
    FUZZ_REQUIRE(rank[start] == k);
    if (k > 0) {
      FUZZ_REQUIRE(suffix_less(old_data.get(), old_length, suffix_array[k - 1], start));
    }
  }

  if (core::kLibrarySorter) {
    const std::unique_ptr<std::int32_t[]> library_array(new std::int32_t[entries]);
    std::fill(library_array.get(), library_array.get() + entries, kJunk);
    FUZZ_REQUIRE(core::sort_suffixes(library_array.get(), old_data.get(), old_length,
                                     core::SuffixSorter::kFastest));
    FUZZ_REQUIRE(
        std::equal(library_array.get(), library_array.get() + entries, suffix_array.get()));
  }
  return 0;
}
