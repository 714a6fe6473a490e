// Proves that diff turns any pair of byte strings into a Delta that rebuilds
// the new data, without a step outside any buffer, and that its fast paths
// change nothing. The first two input bytes choose where the rest splits
// into old and new data, the third how many threads scan (1 to 8) and how
// small their pieces are. diff runs through the one driver the module
// runs, on exact-size heap buffers, as the module runs it (library sort
// where the build has it, search aids, the rank array once the searches
// show it pays and the searches that start where the last one ended,
// searches run ahead in batches, several threads), as plainly as it can be (the built-in sort, no
// aids, no rank array, one search at a time, one thread), and with the mapped search and its index
// from the first search on, with the rank array from the start or without it: all must give the
// same entries. Every entry must have non-negative lengths and read old bytes only inside the old
// data, the lengths must add up to the new length, and the patch functions,
// given the entries and the blocks written from them, must rebuild the new
// data byte for byte into an output of exactly new-length bytes.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "delta/delta_driver.h"
#include "patch/patch_apply.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr std::size_t kHeaderBytes = 3;

std::unique_ptr<std::uint8_t[]> exact_copy(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  std::copy(data, data + size, copy.get());
  return copy;
}

bool same_entries(const core::GrowableArray<core::ControlEntry>& a,
                  const core::GrowableArray<core::ControlEntry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].diff_length != b[i].diff_length || a[i].extra_length != b[i].extra_length ||
        a[i].old_adjustment != b[i].old_adjustment) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderBytes) return 0;
  const std::size_t rest = size - kHeaderBytes;
  const std::size_t split = (data[0] | std::size_t{data[1]} << 8) % (rest + 1);
  const int threads = 1 + data[2] % 8;
  const auto piece_length = static_cast<std::int32_t>(1 + (data[2] >> 3) * 4);
  const auto old_length = static_cast<std::int32_t>(split);
  const auto new_length = static_cast<std::int32_t>(rest - split);
  const auto old_data = exact_copy(data + kHeaderBytes, split);
  const auto new_data = exact_copy(data + kHeaderBytes + split, rest - split);

  core::DiffSettings fast;
  fast.scan = core::ScanSettings{threads, piece_length};
  core::GrowableArray<core::ControlEntry> entries;
  FUZZ_REQUIRE(
      core::compute_delta(old_data.get(), old_length, new_data.get(), new_length, fast, &entries));

  core::DiffSettings plain;
  plain.sorter = core::SuffixSorter::kBuiltIn;
  plain.search_aids = false;
  plain.suffix_rank = core::SuffixRankUse::kNever;
  plain.scan = core::ScanSettings{1, 0, false};
  core::GrowableArray<core::ControlEntry> plain_entries;
  FUZZ_REQUIRE(core::compute_delta(old_data.get(), old_length, new_data.get(), new_length, plain,
                                   &plain_entries));
  FUZZ_REQUIRE(same_entries(entries, plain_entries));

  core::DiffSettings mapped = fast;
  mapped.mapped_search = core::MappedSearchUse::kAlways;
  mapped.suffix_rank =
      (data[0] & 1) == 0 ? core::SuffixRankUse::kAlways : core::SuffixRankUse::kNever;
  core::GrowableArray<core::ControlEntry> mapped_entries;
  FUZZ_REQUIRE(core::compute_delta(old_data.get(), old_length, new_data.get(), new_length, mapped,
                                   &mapped_entries));
  FUZZ_REQUIRE(same_entries(mapped_entries, plain_entries));

  std::int64_t old_position = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const core::ControlEntry& entry = entries[i];
    FUZZ_REQUIRE(entry.diff_length >= 0 && entry.extra_length >= 0);
    if (entry.diff_length > 0) {
      FUZZ_REQUIRE(old_position >= 0 && old_position + entry.diff_length <= old_length);
    }
    old_position += static_cast<std::int64_t>(entry.diff_length) + entry.old_adjustment;
  }
  const core::BlockLengths lengths = core::block_lengths(entries.data(), entries.size());
  FUZZ_REQUIRE(lengths.diff + lengths.extra == new_length);

  const auto diff_block = std::make_unique<std::uint8_t[]>(lengths.diff);
  const auto extra_block = std::make_unique<std::uint8_t[]>(lengths.extra);
  core::write_delta_blocks(old_data.get(), old_length, new_data.get(), new_length, entries.data(),
                           entries.size(), diff_block.get(), extra_block.get());

  const core::PatchInputs patch_inputs{old_data.get(),
                                       old_length,
                                       new_length,
                                       diff_block.get(),
                                       static_cast<std::int32_t>(lengths.diff),
                                       extra_block.get(),
                                       static_cast<std::int32_t>(lengths.extra)};
  const std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[rest - split]);
  core::PatchCursor cursor;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    FUZZ_REQUIRE(core::check_control_entry(cursor, entries[i], patch_inputs) ==
                 core::EntryFit::kFits);
    core::apply_control_entry(cursor, entries[i], patch_inputs, output.get());
  }
  FUZZ_REQUIRE(core::patch_complete(cursor, patch_inputs));
  FUZZ_REQUIRE(std::equal(new_data.get(), new_data.get() + new_length, output.get()));
  return 0;
}
