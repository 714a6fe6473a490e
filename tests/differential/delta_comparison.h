// diff's fast ways against the reference way: the one comparison that the
// differential suite and the structured fuzz target make.
//
// The reference way runs the driver as plainly as it runs: the built-in
// sort, no search aids, one search at a time on one thread, never the
// mapped search. Every other way (aids, lookahead, threads, pieces, the
// mapped search, the library's sort) only saves time, so it must give the
// reference's control entries, entry for entry. The blocks are written from
// the entries, so a way with the same entries has the same Delta byte for
// byte; where the entries differ, the report says where the blocks part
// too, which tells how much of the Delta is wrong.
#pragma once

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "delta/delta_driver.h"
#include "patch/patch_apply.h"

namespace core_differential {

using Entries = core::GrowableArray<core::ControlEntry>;
using Bytes = std::vector<std::uint8_t>;

struct DiffInput {
  const std::uint8_t* old_data;
  std::int32_t old_length;
  const std::uint8_t* new_data;
  std::int32_t new_length;
};

inline core::DiffSettings reference_settings() {
  core::DiffSettings settings;
  settings.sorter = core::SuffixSorter::kBuiltIn;
  settings.search_aids = false;
  settings.mapped_search = core::MappedSearchUse::kNever;
  settings.suffix_rank = core::SuffixRankUse::kNever;
  settings.scan = core::ScanSettings{1, 0, false};
  return settings;
}

// The settings in one line, for a report.
inline std::string describe(const core::DiffSettings& settings) {
  std::ostringstream text;
  text << "threads " << settings.scan.threads << (settings.scan.threads == 0 ? " (driver's)" : "")
       << ", pieces of " << settings.scan.piece_length
       << (settings.scan.piece_length == 0 ? " (driver's)" : " bytes")
       << (settings.scan.lookahead ? ", lookahead" : ", one search at a time")
       << (settings.search_aids ? ", aids" : ", no aids") << ", mapped search "
       << (settings.mapped_search == core::MappedSearchUse::kAuto     ? "auto"
           : settings.mapped_search == core::MappedSearchUse::kAlways ? "always"
                                                                      : "never")
       << ", rank array "
       << (settings.suffix_rank == core::SuffixRankUse::kAuto     ? "auto"
           : settings.suffix_rank == core::SuffixRankUse::kAlways ? "always"
                                                                  : "never")
       << (settings.sorter == core::SuffixSorter::kBuiltIn ? ", built-in sort"
           : core::kLibrarySorter                          ? ", library sort"
                                                           : ", built-in sort (no library)");
  return text.str();
}

// diff through the driver the module runs. False when memory ran short.
inline bool run_diff(const DiffInput& input, const core::DiffSettings& settings, Entries* entries,
                     core::DiffTimings* timings = nullptr) {
  return core::compute_delta(input.old_data, input.old_length, input.new_data, input.new_length,
                             settings, entries, timings);
}

// Where an entry starts in the new and the old data.
struct EntryStart {
  std::int64_t new_position = 0;
  std::int64_t old_position = 0;
};

inline EntryStart start_of(const Entries& entries, std::size_t index) {
  EntryStart start;
  for (std::size_t i = 0; i < index && i < entries.size(); ++i) {
    start.new_position +=
        static_cast<std::int64_t>(entries[i].diff_length) + entries[i].extra_length;
    start.old_position +=
        static_cast<std::int64_t>(entries[i].diff_length) + entries[i].old_adjustment;
  }
  return start;
}

// "" when the entries are diff's own kind: lengths not below 0 that add up
// to the new length, diff runs inside the old data. Else the first entry
// that is not.
inline std::string entries_fault(const DiffInput& input, const Entries& entries) {
  std::int64_t new_position = 0;
  std::int64_t old_position = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const core::ControlEntry& entry = entries[i];
    std::ostringstream fault;
    if (entry.diff_length < 0 || entry.extra_length < 0) {
      fault << "entry " << i << " has a negative length";
    } else if (entry.diff_length > 0 &&
               (old_position < 0 || old_position + entry.diff_length > input.old_length)) {
      fault << "entry " << i << " reads old bytes [" << old_position << ", "
            << old_position + entry.diff_length << ") of " << input.old_length;
    } else if (new_position + entry.diff_length + entry.extra_length > input.new_length) {
      fault << "entry " << i << " runs past the new data's " << input.new_length << " bytes";
    }
    if (!fault.str().empty()) return fault.str();
    new_position += static_cast<std::int64_t>(entry.diff_length) + entry.extra_length;
    old_position += static_cast<std::int64_t>(entry.diff_length) + entry.old_adjustment;
  }
  if (new_position != input.new_length) {
    std::ostringstream fault;
    fault << "the entries cover " << new_position << " of " << input.new_length << " new bytes";
    return fault.str();
  }
  return "";
}

struct Blocks {
  Bytes diff;
  Bytes extra;
};

// The blocks of the Delta, each exactly as long as the entries say; only
// for entries that entries_fault passes.
inline Blocks blocks_of(const DiffInput& input, const Entries& entries) {
  const core::BlockLengths lengths = core::block_lengths(entries.data(), entries.size());
  Blocks blocks{Bytes(static_cast<std::size_t>(lengths.diff)),
                Bytes(static_cast<std::size_t>(lengths.extra))};
  core::write_delta_blocks(input.old_data, input.old_length, input.new_data, input.new_length,
                           entries.data(), entries.size(), blocks.diff.data(), blocks.extra.data());
  return blocks;
}

inline std::string entry_text(const Entries& entries, std::size_t index) {
  if (index >= entries.size()) return "none";
  std::ostringstream text;
  text << "(" << entries[index].diff_length << ", " << entries[index].extra_length << ", "
       << entries[index].old_adjustment << ")";
  return text.str();
}

inline std::string block_difference(const char* name, const Bytes& reference, const Bytes& found) {
  const auto parted = std::mismatch(reference.begin(), reference.end(), found.begin(), found.end());
  std::ostringstream text;
  text << name << " block " << reference.size() << " bytes, this way's " << found.size();
  if (parted.first != reference.end() || parted.second != found.end()) {
    text << ", first differing at byte " << (parted.first - reference.begin());
  } else {
    text << ", the same";
  }
  return text.str();
}

// "" when `found` holds the reference's entries; else a report of the first
// entry that differs (its number, where it starts, both versions), the
// settings, and where the two Deltas' blocks part.
inline std::string first_difference(const DiffInput& input, const Entries& reference,
                                    const Entries& found, const core::DiffSettings& settings) {
  std::size_t index = 0;
  while (index < reference.size() && index < found.size() &&
         reference[index].diff_length == found[index].diff_length &&
         reference[index].extra_length == found[index].extra_length &&
         reference[index].old_adjustment == found[index].old_adjustment) {
    ++index;
  }
  if (index == reference.size() && index == found.size()) return "";
  const EntryStart start = start_of(reference, index);
  std::ostringstream report;
  report << "entry " << index << " differs (the reference has " << reference.size()
         << " entries, this way " << found.size() << "), at new byte " << start.new_position
         << ", old byte " << start.old_position << ": reference " << entry_text(reference, index)
         << ", this way " << entry_text(found, index) << "\n  settings: " << describe(settings)
         << "\n  ";
  const std::string fault = entries_fault(input, found);
  if (!fault.empty()) {
    report << "this way's entries make no Delta: " << fault;
  } else {
    const Blocks expected = blocks_of(input, reference);
    const Blocks blocks = blocks_of(input, found);
    report << block_difference("diff", expected.diff, blocks.diff) << "; "
           << block_difference("extra", expected.extra, blocks.extra);
  }
  return report.str();
}

// "" when the entries make a Delta that the patch functions accept, entry
// by entry, and that rebuilds the new data byte for byte into an output of
// exactly its length; else what went wrong.
inline std::string rebuild_failure(const DiffInput& input, const Entries& entries) {
  const std::string fault = entries_fault(input, entries);
  if (!fault.empty()) return fault;
  const Blocks blocks = blocks_of(input, entries);
  const core::PatchInputs patch_inputs{input.old_data,
                                       input.old_length,
                                       input.new_length,
                                       blocks.diff.data(),
                                       static_cast<std::int32_t>(blocks.diff.size()),
                                       blocks.extra.data(),
                                       static_cast<std::int32_t>(blocks.extra.size())};
  Bytes output(static_cast<std::size_t>(input.new_length));
  core::PatchCursor cursor;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (core::check_control_entry(cursor, entries[i], patch_inputs) != core::EntryFit::kFits) {
      return "patch refuses entry " + std::to_string(i);
    }
    core::apply_control_entry(cursor, entries[i], patch_inputs, output.data());
  }
  if (!core::patch_complete(cursor, patch_inputs)) return "patch finds the Delta incomplete";
  const auto parted = std::mismatch(output.begin(), output.end(), input.new_data);
  if (parted.first != output.end()) {
    return "patch rebuilds new byte " + std::to_string(parted.first - output.begin()) + " wrong";
  }
  return "";
}

}  // namespace core_differential
