// The scan that walks the new data and turns matches into control entries,
// one pass at a time: run_scan_pass searches until a pass ends, and
// emit_control_entry turns the pass's outcome into an entry. The driver
// (delta/delta_driver.h) runs them start to end; a test can walk a scan entry
// by entry with the same two calls.
//
// The entries alone fix the Delta: each entry's diff run and extra run are
// bytes of the new data (less old bytes, for the diff run) at places the
// entries before it determine, so the blocks are written once the scan is
// done (write_delta_blocks).
#pragma once

#include <cstdint>

#include "delta/match_search.h"
#include "delta/scan_search.h"
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
};

// The state of a scan between passes. Everything a pass and the entry it
// emits depend on is here, besides the inputs: two scans in equal states go
// on alike from there, entry for entry.
struct DeltaScan {
  std::int32_t scan_position = 0;   // where the next search is made
  std::int32_t match_length = 0;    // result of the latest search
  std::int32_t match_position = 0;  // old-data start of the latest match
  std::int32_t new_anchor = 0;      // where the next control entry starts
  std::int32_t old_anchor = 0;      // old position paired with new_anchor
  std::int32_t anchor_offset = 0;   // old minus new position of the last entry's match
};

inline bool operator==(const DeltaScan& a, const DeltaScan& b) {
  return a.scan_position == b.scan_position && a.match_length == b.match_length &&
         a.match_position == b.match_position && a.new_anchor == b.new_anchor &&
         a.old_anchor == b.old_anchor && a.anchor_offset == b.anchor_offset;
}

// True once the last entry, which always ends at the end of the new data,
// has been emitted. A scan of empty new data is finished from the start.
inline bool scan_finished(const DeltaScan& scan, const DeltaInputs& inputs) {
  return scan.scan_position >= inputs.new_length;
}

// One scan pass: skips the latest match, then searches position by position
// until a match fits the current alignment exactly, beats it by more than
// kExtraMatchMargin bytes, or the new data ends. Returns true when the pass
// ends with a control entry to emit. Reads only the inputs. The searches go
// through `searcher`, the scanner's own, when given; the plain search
// otherwise, with the same results.
bool run_scan_pass(DeltaScan& scan, const DeltaInputs& inputs, ScanSearcher* searcher = nullptr);

// How run_scan_pass_until ended a pass.
enum class PassEnd { kSkip, kEmit, kGaveUp };

// run_scan_pass, for a scan that may stop where it likes: kGaveUp when the
// search steps reach give_up_at before the pass ends, leaving the scan in
// the middle of a pass, where it cannot go on.
PassEnd run_scan_pass_until(DeltaScan& scan, const DeltaInputs& inputs, std::int32_t give_up_at,
                            ScanSearcher* searcher = nullptr);

// Extends the previous alignment forward and the new match backward, splits
// any overlap, moves the anchors and returns the entry: a diff run from the
// old anchor, then an extra run up to where the new match starts. Once the
// scanner given has switched to the mapped search, long runs are compared
// by its index (delta/mapped_agreement.h), with the same results.
ControlEntry emit_control_entry(DeltaScan& scan, const DeltaInputs& inputs,
                                ScanSearcher* searcher = nullptr);

}  // namespace core
