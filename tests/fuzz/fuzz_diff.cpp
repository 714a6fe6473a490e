// Proves that diff's scan turns any pair of byte strings into a Delta that
// rebuilds the new data, without a step outside any buffer. The first two
// input bytes choose where the rest splits into old and new data. The scan
// runs exactly as diff runs it, on exact-size heap buffers: the suffix array
// and rank of old length + 1 entries, block buffers of new length + 1 bytes.
// Every entry must have non-negative lengths and read old bytes only inside
// the old data; the diff lengths must add up to the diff fill, the extra
// lengths to the extra fill and both to the new length; and the patch
// functions, given the entries and the filled blocks, must rebuild the new
// data byte for byte into an output of exactly new-length bytes. The scan
// runs with the search's aids and lookahead, as diff runs it, and again
// one search at a time with the aids and without: all must give the same
// Delta.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "delta/delta_scan.h"
#include "delta/match_search.h"
#include "delta/suffix_array.h"
#include "patch/patch_apply.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr std::size_t kSplitBytes = 2;

std::unique_ptr<std::uint8_t[]> exact_copy(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  std::copy(data, data + size, copy.get());
  return copy;
}

std::vector<core::ControlEntry> run_scan(core::DeltaScan& scan, const core::DeltaInputs& inputs,
                                         std::uint8_t* diff_block, std::uint8_t* extra_block) {
  std::vector<core::ControlEntry> entries;
  while (!core::scan_finished(scan, inputs)) {
    if (core::run_scan_pass(scan, inputs)) {
      entries.push_back(core::emit_control_entry(scan, inputs, diff_block, extra_block));
    }
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kSplitBytes) return 0;
  const std::size_t rest = size - kSplitBytes;
  const std::size_t split = (data[0] | std::size_t{data[1]} << 8) % (rest + 1);
  const auto old_length = static_cast<std::int32_t>(split);
  const auto new_length = static_cast<std::int32_t>(rest - split);
  const auto old_data = exact_copy(data + kSplitBytes, split);
  const auto new_data = exact_copy(data + kSplitBytes + split, rest - split);

  const std::unique_ptr<std::int32_t[]> suffix_array(new std::int32_t[split + 1]);
  {
    const std::unique_ptr<std::int32_t[]> rank(new std::int32_t[split + 1]);
    FUZZ_REQUIRE(
        core::build_suffix_array(suffix_array.get(), rank.get(), old_data.get(), old_length));
  }

  const std::size_t block_size = rest - split + 1;
  const std::unique_ptr<std::uint8_t[]> diff_block(new std::uint8_t[block_size]);
  const std::unique_ptr<std::uint8_t[]> extra_block(new std::uint8_t[block_size]);
  const std::unique_ptr<core::SearchAids> aids = core::make_search_aids(
      suffix_array.get(), old_data.get(), old_length, new_data.get(), new_length);
  FUZZ_REQUIRE(aids != nullptr);
  core::MatchLookahead lookahead(aids.get(), suffix_array.get(), old_data.get(), old_length,
                                 new_data.get(), new_length);
  const core::DeltaInputs scan_inputs{old_data.get(),     old_length, new_data.get(), new_length,
                                      suffix_array.get(), aids.get(), &lookahead};
  core::DeltaScan scan;
  const std::vector<core::ControlEntry> entries =
      run_scan(scan, scan_inputs, diff_block.get(), extra_block.get());

  // The lookahead and the search's aids only save time: searching one
  // position at a time, with the aids and without, the scan must produce
  // the same entries and blocks.
  core::DeltaInputs single_inputs = scan_inputs;
  single_inputs.lookahead = nullptr;
  core::DeltaInputs plain_inputs = single_inputs;
  plain_inputs.search_aids = nullptr;
  for (const core::DeltaInputs& other_inputs : {single_inputs, plain_inputs}) {
    const std::unique_ptr<std::uint8_t[]> other_diff(new std::uint8_t[block_size]);
    const std::unique_ptr<std::uint8_t[]> other_extra(new std::uint8_t[block_size]);
    core::DeltaScan other_scan;
    const std::vector<core::ControlEntry> other_entries =
        run_scan(other_scan, other_inputs, other_diff.get(), other_extra.get());
    FUZZ_REQUIRE(other_entries.size() == entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      FUZZ_REQUIRE(other_entries[i].diff_length == entries[i].diff_length &&
                   other_entries[i].extra_length == entries[i].extra_length &&
                   other_entries[i].old_adjustment == entries[i].old_adjustment);
    }
    FUZZ_REQUIRE(other_scan.diff_fill == scan.diff_fill &&
                 other_scan.extra_fill == scan.extra_fill);
    FUZZ_REQUIRE(std::equal(diff_block.get(), diff_block.get() + scan.diff_fill, other_diff.get()));
    FUZZ_REQUIRE(
        std::equal(extra_block.get(), extra_block.get() + scan.extra_fill, other_extra.get()));
  }

  std::int64_t diff_sum = 0;
  std::int64_t extra_sum = 0;
  for (const core::ControlEntry& entry : entries) {
    FUZZ_REQUIRE(entry.diff_length >= 0 && entry.extra_length >= 0);
    diff_sum += entry.diff_length;
    extra_sum += entry.extra_length;
  }
  FUZZ_REQUIRE(diff_sum == scan.diff_fill);
  FUZZ_REQUIRE(extra_sum == scan.extra_fill);
  FUZZ_REQUIRE(diff_sum + extra_sum == new_length);

  const core::PatchInputs patch_inputs{old_data.get(),   old_length,     new_length,
                                       diff_block.get(), scan.diff_fill, extra_block.get(),
                                       scan.extra_fill};
  const std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[rest - split]);
  core::PatchCursor cursor;
  for (const core::ControlEntry& entry : entries) {
    if (entry.diff_length > 0) {
      FUZZ_REQUIRE(cursor.old_position >= 0 &&
                   cursor.old_position + entry.diff_length <= old_length);
    }
    FUZZ_REQUIRE(core::check_control_entry(cursor, entry, patch_inputs) == core::EntryFit::kFits);
    core::apply_control_entry(cursor, entry, patch_inputs, output.get());
  }
  FUZZ_REQUIRE(core::patch_complete(cursor, patch_inputs));
  FUZZ_REQUIRE(std::equal(new_data.get(), new_data.get() + new_length, output.get()));
  return 0;
}
