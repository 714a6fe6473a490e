// Proves that diff stays inside its buffers and returns when the inputs
// change after their suffixes are sorted: the module reads a file mapped for
// reading in place, and another process may write the file meanwhile. The
// suffix array, the aids and the rank array then describe bytes that are no
// longer there, and the scan must not trust them further than its bounds.
//
// Input: two bytes choose where the rest splits into old and new data, the
// third how many threads scan (1 to 8) and how small their pieces are, the
// fourth how the inputs change and which of the scan's ways run (the rank
// array, the mapped search, the aids), the fifth a parameter of the change.
// Every entry must have non-negative lengths and read old bytes only inside
// the old data, the lengths must add up to the new length, and the blocks
// written from the bytes as they are now must rebuild the new data as it is
// now: the Delta is of no pair the caller meant, but it is a Delta.
//
// Built against the algorithms without their asserts (tests/fuzz/
// CMakeLists.txt): those state what holds of bytes that stay as sorted.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "delta/delta_driver.h"
#include "patch/patch_apply.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr std::size_t kHeaderBytes = 5;

struct Change {
  std::uint8_t* old_data;
  std::int32_t old_length;
  std::uint8_t* new_data;
  std::int32_t new_length;
  int kind;
  std::uint8_t parameter;
};

// Fills `to` with `from` repeated, or with `fill` where `from` is empty.
void repeat_into(std::uint8_t* to, std::int32_t length, const std::uint8_t* from,
                 std::int32_t from_length, std::uint8_t fill) {
  for (std::int32_t i = 0; i < length; ++i) to[i] = from_length > 0 ? from[i % from_length] : fill;
}

void change_inputs(void* context) {
  const Change& change = *static_cast<const Change*>(context);
  std::uint8_t* old_data = change.old_data;
  const std::int32_t old_length = change.old_length;
  const std::int32_t shift = old_length > 0 ? change.parameter % old_length : 0;
  switch (change.kind) {
    case 0: {  // other old data altogether: the new data's bytes
      repeat_into(old_data, old_length, change.new_data, change.new_length, change.parameter);
      break;
    }
    case 1:
      std::reverse(old_data, old_data + old_length);
      break;
    case 2:  // every suffix moved: the sorted order is of suffixes elsewhere
      std::rotate(old_data, old_data + shift, old_data + old_length);
      break;
    case 3:
      for (std::int32_t i = 0; i < old_length; ++i) ++old_data[i];
      break;
    case 4: {  // the new data changes, and with it what its stretches were
      const std::int32_t by = change.new_length > 0 ? change.parameter % change.new_length : 0;
      std::rotate(change.new_data, change.new_data + by, change.new_data + change.new_length);
      break;
    }
    case 5: {  // one stretch of the old data made a run of one byte
      std::fill(old_data + shift, old_data + std::min(old_length, shift + 1 + change.parameter),
                change.parameter);
      break;
    }
    case 6:  // periodic where it was not, or with another period
      for (std::int32_t i = 0; i < old_length; ++i) {
        old_data[i] = old_data[i % (1 + change.parameter % 16)];
      }
      break;
    default:  // one byte
      if (old_length > 0) old_data[shift] ^= 0x80;
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderBytes) return 0;
  const std::size_t rest = size - kHeaderBytes;
  const std::size_t split = (data[0] | std::size_t{data[1]} << 8) % (rest + 1);
  const auto old_length = static_cast<std::int32_t>(split);
  const auto new_length = static_cast<std::int32_t>(rest - split);
  // Exact-size heap buffers, so that a step outside them is reported.
  const std::unique_ptr<std::uint8_t[]> old_data(new std::uint8_t[split]);
  const std::unique_ptr<std::uint8_t[]> new_data(new std::uint8_t[rest - split]);
  std::copy(data + kHeaderBytes, data + kHeaderBytes + split, old_data.get());
  std::copy(data + kHeaderBytes + split, data + size, new_data.get());

  const std::uint8_t ways = data[3];
  Change change{old_data.get(), old_length, new_data.get(), new_length, ways & 7, data[4]};
  core::DiffSettings settings;
  settings.scan = core::ScanSettings{1 + data[2] % 8, 1 + (data[2] >> 3) * 4};
  settings.suffix_rank = (ways & 0x18) == 0   ? core::SuffixRankUse::kAuto
                         : (ways & 0x18) == 8 ? core::SuffixRankUse::kAlways
                                              : core::SuffixRankUse::kNever;
  if ((ways & 0x20) != 0) settings.mapped_search = core::MappedSearchUse::kAlways;
  settings.search_aids = (ways & 0x40) == 0;
  settings.after_sort = change_inputs;
  settings.after_sort_context = &change;

  core::GrowableArray<core::ControlEntry> entries;
  FUZZ_REQUIRE(core::compute_delta(old_data.get(), old_length, new_data.get(), new_length, settings,
                                   &entries));

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
