// The scan that walks the new data and turns matches into control entries.
//
// The scan is split at the points where diff changes hands with the
// interpreter lock: run_scan_pass searches and needs no lock;
// emit_control_entry fills the block buffers and yields the entry, which the
// glue turns into objects with the lock held. A test can walk a scan entry
// by entry with the same two calls.
#pragma once

#include <cstdint>

#include "delta/match_search.h"
#include "module/delta.h"

namespace core {

struct DeltaInputs {
  const std::uint8_t* old_data;
  std::int32_t old_length;
  const std::uint8_t* new_data;
  std::int32_t new_length;
  const std::int32_t* suffix_array;  // finished, old_length + 1 entries
  // From make_search_aids, or null: the searches then take longer but give
  // the same results.
  const SearchAids* search_aids = nullptr;
  // Built over the same inputs, or null: the scan then searches one
  // position at a time, with the same results.
  MatchLookahead* lookahead = nullptr;
};

struct DeltaScan {
  std::int32_t scan_position = 0;    // where the next search is made
  std::int32_t match_length = 0;     // result of the latest search
  std::int32_t match_position = 0;   // old-data start of the latest match
  std::int32_t new_anchor = 0;       // where the next control entry starts
  std::int32_t old_anchor = 0;       // old position paired with new_anchor
  std::int32_t anchor_offset = 0;    // old minus new position of the last entry's match
  std::int32_t alignment_score = 0;  // bytes the current alignment reproduces
  std::int32_t diff_fill = 0;        // bytes written to the diff block
  std::int32_t extra_fill = 0;       // bytes written to the extra block
};

// True once the last entry, which always ends at the end of the new data,
// has been emitted. A scan of empty new data is finished from the start.
inline bool scan_finished(const DeltaScan& scan, const DeltaInputs& inputs) {
  return scan.scan_position >= inputs.new_length;
}

// One scan pass: skips the latest match, then searches position by position
// until a match fits the current alignment exactly, beats it by more than
// kExtraMatchMargin bytes, or the new data ends. Returns true when the pass
// ends with a control entry to emit. Reads only the inputs.
bool run_scan_pass(DeltaScan& scan, const DeltaInputs& inputs);

// Extends the previous alignment forward and the new match backward, splits
// any overlap, writes the diff run and the extra run at the fills of the two
// block buffers (each new_length + 1 bytes) and moves the anchors.
ControlEntry emit_control_entry(DeltaScan& scan, const DeltaInputs& inputs,
                                std::uint8_t* diff_block, std::uint8_t* extra_block);

}  // namespace core
