// Proves that diff turns any pair of byte strings into a Delta that rebuilds
// the new data, without a step outside any buffer, and that its fast paths
// change nothing. The first two input bytes choose where the rest splits
// into old and new data, the third how many threads scan (1 to 8) and how
// small their pieces are. diff runs through the one driver the module runs,
// on exact-size heap buffers, as the module runs it (library sort where the
// build has it, search aids, the rank array once the searches show it pays,
// searches run ahead in batches, several threads), as plainly as it can be
// (the built-in sort, no aids, no rank array, one search at a time, one
// thread), and with the mapped search and its index from the first search
// on, with the rank array from the start or without it: all must give the
// same entries (compared as the differential suite compares them,
// tests/differential/delta_comparison.h). Every entry must have
// non-negative lengths and read old bytes only inside the old data, the
// lengths must add up to the new length, and the patch functions, given the
// entries and the blocks written from them, must rebuild the new data byte
// for byte into an output of exactly new-length bytes.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "tests/differential/delta_comparison.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr std::size_t kHeaderBytes = 3;

std::unique_ptr<std::uint8_t[]> exact_copy(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  std::copy(data, data + size, copy.get());
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderBytes) return 0;
  const std::size_t rest = size - kHeaderBytes;
  const std::size_t split = (data[0] | std::size_t{data[1]} << 8) % (rest + 1);
  const int threads = 1 + data[2] % 8;
  const auto piece_length = static_cast<std::int32_t>(1 + (data[2] >> 3) * 4);
  const auto old_data = exact_copy(data + kHeaderBytes, split);
  const auto new_data = exact_copy(data + kHeaderBytes + split, rest - split);
  const core_differential::DiffInput input{old_data.get(), static_cast<std::int32_t>(split),
                                           new_data.get(), static_cast<std::int32_t>(rest - split)};

  core_differential::Entries plain_entries;
  FUZZ_REQUIRE(
      core_differential::run_diff(input, core_differential::reference_settings(), &plain_entries));
  FUZZ_REQUIRE_NONE(core_differential::rebuild_failure(input, plain_entries));

  core::DiffSettings fast;
  fast.scan = core::ScanSettings{threads, piece_length};
  core::DiffSettings mapped = fast;
  mapped.mapped_search = core::MappedSearchUse::kAlways;
  mapped.suffix_rank =
      (data[0] & 1) == 0 ? core::SuffixRankUse::kAlways : core::SuffixRankUse::kNever;
  for (const core::DiffSettings& settings : {fast, mapped}) {
    core_differential::Entries entries;
    FUZZ_REQUIRE(core_differential::run_diff(input, settings, &entries));
    FUZZ_REQUIRE_NONE(core_differential::first_difference(input, plain_entries, entries, settings));
  }
  return 0;
}
