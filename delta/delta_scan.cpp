// The delta scan. Positions are 32-bit; sums of an old and a new position are
// formed in 64 bits, since each alone may approach 2^31.
#include "delta/delta_scan.h"

#include <algorithm>
#include <cassert>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "delta/byte_compare.h"
#include "delta/match_search.h"

namespace core {
namespace {

// A new match opens an entry only when it beats the current alignment by
// more than this many bytes, so that short chance matches do not fragment
// the Delta.
constexpr std::int32_t kExtraMatchMargin = 8;

inline bool old_byte_matches(const DeltaInputs& in, std::int64_t old_position,
                             std::int32_t new_position) {
  return old_position >= 0 && old_position < in.old_length &&
         in.old_data[old_position] == in.new_data[new_position];
}

// Picks the shortest stretch whose agreeing bytes outnumber its disagreeing
// ones by the greatest margin: 2 * agreeing - length, kept only if above 0.
// The stretch is taken in runs: along a run of agreeing bytes the margin
// grows by one a byte, so the run's end is the only place in it that can
// become the choice; a disagreeing byte only lowers the margin. Long
// agreeing stretches, the common case, then cost a vector compare per 16
// bytes instead of a step per byte.
struct ExtensionChooser {
  std::int64_t agreeing = 0;
  std::int64_t length = 0;
  std::int64_t best_value = 0;
  std::int32_t best_length = 0;

  void agree(std::int32_t run) {
    agreeing += run;
    length += run;
    const std::int64_t value = 2 * agreeing - length;
    if (run > 0 && value > best_value) {
      best_value = value;
      best_length = static_cast<std::int32_t>(length);
    }
  }
  void disagree() { ++length; }
};

// True when the two comparisons of the overlap agree at each of the 16
// positions from i on: the running score then stays where it is.
bool overlap_block_even(const std::uint8_t* forward_new, const std::uint8_t* forward_old,
                        const std::uint8_t* backward_new, const std::uint8_t* backward_old) {
#if defined(__SSE2__)
  const auto load = [](const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  };
  const __m128i forward = _mm_cmpeq_epi8(load(forward_new), load(forward_old));
  const __m128i backward = _mm_cmpeq_epi8(load(backward_new), load(backward_old));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(forward, backward)) == 0xFFFF;
#else
  (void)forward_new;
  (void)forward_old;
  (void)backward_new;
  (void)backward_old;
  return false;
#endif
}

// Bytes from the two positions on that agree, at most limit: what the
// periodic stretches make known, then a vector compare from there; or, once
// the scanner has switched to the mapped search, by its index.
std::int32_t agreeing_run(const DeltaInputs& in, ScanSearcher* searcher, std::int32_t old_position,
                          std::int32_t new_position, std::int32_t limit) {
  if (searcher != nullptr && searcher->index != nullptr) {
    return mapped_agreeing_run(*searcher->index, &searcher->agreements, in.old_data, in.new_data,
                               old_position, new_position, limit);
  }
  std::int32_t known = 0;
  if (in.search_aids != nullptr && limit > 0 &&
      in.old_data[old_position] == in.new_data[new_position]) {
    known = std::min(limit, agreement_from(span_from(in.search_aids->old_stretches, old_position),
                                           in.old_data + old_position,
                                           span_from(in.search_aids->new_stretches, new_position),
                                           in.new_data + new_position));
  }
  return known + common_prefix_length(in.old_data + old_position + known, limit - known,
                                      in.new_data + new_position + known, limit - known);
}

// The same going backward from just before the two ends.
std::int32_t agreeing_run_before(const DeltaInputs& in, ScanSearcher* searcher,
                                 std::int32_t old_end, std::int32_t new_end, std::int32_t limit) {
  if (searcher != nullptr && searcher->index != nullptr) {
    return mapped_agreeing_run_before(*searcher->index, &searcher->agreements, in.old_data,
                                      in.new_data, old_end, new_end, limit);
  }
  std::int32_t known = 0;
  if (in.search_aids != nullptr && limit > 0 &&
      in.old_data[old_end - 1] == in.new_data[new_end - 1]) {
    known = std::min(limit, agreement_before(span_before(in.search_aids->old_stretches, old_end),
                                             in.old_data + old_end,
                                             span_before(in.search_aids->new_stretches, new_end),
                                             in.new_data + new_end));
  }
  return known + common_suffix_length(in.old_data + old_end - known, in.new_data + new_end - known,
                                      limit - known);
}

}  // namespace

bool run_scan_pass(DeltaScan& scan, const DeltaInputs& in, ScanSearcher* searcher) {
  return run_scan_pass_until(scan, in, INT32_MAX, searcher) == PassEnd::kEmit;
}

PassEnd run_scan_pass_until(DeltaScan& scan, const DeltaInputs& in, std::int32_t give_up_at,
                            ScanSearcher* searcher) {
  ScanSearcher plain;
  ScanSearcher& search = searcher != nullptr ? *searcher : plain;
  std::int32_t score = 0;
  scan.scan_position += scan.match_length;
  std::int32_t tally_position = scan.scan_position;
  if (scan.scan_position < in.new_length) {
    std::int64_t anchor_probe = static_cast<std::int64_t>(scan.scan_position) + scan.anchor_offset;
    // The latest match lies inside the old data, and the scan only moves
    // forward from its start: the probe never points before the old data.
    assert(anchor_probe >= 0);
    for (;;) {
      scan.match_length =
          search_for_scan(search, in.search_aids, in.suffix_array, in.old_data, in.old_length,
                          in.new_data, in.new_length, scan.scan_position, &scan.match_position);

      // Each new byte enters the score once per pass, when the tally passes
      // it, and leaves when the scan position passes it.
      const std::int32_t match_end = scan.scan_position + scan.match_length;
      for (; tally_position < match_end; ++tally_position) {
        if (old_byte_matches(in, static_cast<std::int64_t>(tally_position) + scan.anchor_offset,
                             tally_position)) {
          ++score;
        }
      }

      if ((scan.match_length == score && scan.match_length != 0) ||
          scan.match_length > static_cast<std::int64_t>(score) + kExtraMatchMargin) {
        break;
      }
      if (old_byte_matches(in, anchor_probe, scan.scan_position)) --score;
      ++anchor_probe;
      ++scan.scan_position;
      if (scan.scan_position == in.new_length) break;
      if (scan.scan_position >= give_up_at) return PassEnd::kGaveUp;
    }
  }
  return scan.match_length != score || scan.scan_position == in.new_length ? PassEnd::kEmit
                                                                           : PassEnd::kSkip;
}

namespace {

// The extension rule, the same in both directions: walks the stretch of
// `limit` bytes in agreeing runs (run(done, left) gives the run that starts
// `done` bytes in) and returns the length the rule chooses.
template <typename AgreeingRun>
std::int32_t choose_extension(std::int32_t limit, AgreeingRun run) {
  ExtensionChooser chooser;
  while (chooser.length < limit) {
    const auto done = static_cast<std::int32_t>(chooser.length);
    chooser.agree(run(done, limit - done));
    if (chooser.length < limit) chooser.disagree();
  }
  return chooser.best_length;
}

// Where both extensions claim the same new bytes, splits them where the
// forward side leads the backward side by the most. The running score is
// never above the best, so a stretch where both sides agree alike changes
// nothing and is skipped whole: bytes where both agree, as far as both do,
// and 16-byte blocks where the two sides agree alike.
void split_overlap(const DeltaScan& scan, const DeltaInputs& in, ScanSearcher* searcher,
                   std::int32_t* forward_length, std::int32_t* backward_length) {
  const std::uint8_t* old_data = in.old_data;
  const std::uint8_t* new_data = in.new_data;
  const std::int32_t forward_end = scan.new_anchor + *forward_length;
  const std::int32_t backward_start = scan.scan_position - *backward_length;
  if (forward_end <= backward_start) return;
  const std::int32_t overlap = forward_end - backward_start;
  const std::int32_t forward_new = forward_end - overlap;
  const std::int32_t forward_old = scan.old_anchor + *forward_length - overlap;
  const std::int32_t backward_new = backward_start;
  const std::int32_t backward_old = scan.match_position - *backward_length;
  std::int32_t running = 0;
  std::int32_t best = 0;
  std::int32_t split = 0;
  std::int32_t i = 0;
  while (i < overlap) {
    const bool forward_agrees = new_data[forward_new + i] == old_data[forward_old + i];
    const bool backward_agrees = new_data[backward_new + i] == old_data[backward_old + i];
    if (forward_agrees && backward_agrees) {
      i += std::min(agreeing_run(in, searcher, forward_old + i, forward_new + i, overlap - i),
                    agreeing_run(in, searcher, backward_old + i, backward_new + i, overlap - i));
      continue;
    }
    if (overlap - i >= 16 &&
        overlap_block_even(new_data + forward_new + i, old_data + forward_old + i,
                           new_data + backward_new + i, old_data + backward_old + i)) {
      i += 16;
      continue;
    }
    if (forward_agrees) ++running;
    if (backward_agrees) --running;
    if (running > best) {
      best = running;
      split = i + 1;
    }
    ++i;
  }
  *forward_length += split - overlap;
  *backward_length -= split;
}

}  // namespace

ControlEntry emit_control_entry(DeltaScan& scan, const DeltaInputs& in, ScanSearcher* searcher) {
  // Forward from the anchors: how far the previous alignment still pays.
  std::int32_t forward_length = choose_extension(
      std::min(scan.scan_position - scan.new_anchor, in.old_length - scan.old_anchor),
      [&](std::int32_t done, std::int32_t left) {
        return agreeing_run(in, searcher, scan.old_anchor + done, scan.new_anchor + done, left);
      });

  // Backward from the new match: how far before it the match still pays.
  // At the end of the new data there is no match to extend.
  std::int32_t backward_length = 0;
  if (scan.scan_position < in.new_length) {
    backward_length =
        choose_extension(std::min(scan.scan_position - scan.new_anchor, scan.match_position),
                         [&](std::int32_t done, std::int32_t left) {
                           return agreeing_run_before(in, searcher, scan.match_position - done,
                                                      scan.scan_position - done, left);
                         });
  }

  split_overlap(scan, in, searcher, &forward_length, &backward_length);
  // The split leaves both extensions whole and meeting at most end to end.
  assert(forward_length >= 0 && backward_length >= 0);
  assert(scan.new_anchor + forward_length <= scan.scan_position - backward_length);

  // The diff run reads old bytes only inside the old data.
  assert(scan.old_anchor >= 0 && scan.old_anchor + forward_length <= in.old_length);
  const std::int32_t extra_length =
      (scan.scan_position - backward_length) - (scan.new_anchor + forward_length);
  const std::int32_t match_start = scan.match_position - backward_length;
  const ControlEntry entry{forward_length, extra_length,
                           match_start - (scan.old_anchor + forward_length)};
  scan.new_anchor = scan.scan_position - backward_length;
  scan.old_anchor = match_start;
  scan.anchor_offset = scan.match_position - scan.scan_position;
  return entry;
}

}  // namespace core
