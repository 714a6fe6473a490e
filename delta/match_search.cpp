// Binary search over the suffix array for a long match with a target range.
#include "delta/match_search.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace core {
namespace {

constexpr int kHeadBytes = 8;

// Comparisons longer than this are counted for the switch to the mapped
// search (delta/scan_search.h): ordinary data makes few, data that repeats
// with a long period makes them at nearly every probe.
constexpr std::int32_t kLongComparison = 256;

// The target of one search, with what is known of it beyond its bytes.
struct Target {
  const std::uint8_t* bytes;
  std::int32_t length;
  PeriodicSpan span;                 // of the target's start in the new data
  const StretchList* old_stretches;  // null in an unaided search
  std::int64_t* long_compared;       // null when nobody counts
};

// Leading bytes that the suffix at start and the target are known to share
// without reading them all: both lie in stretches of one period and agree
// over its first period. Never more than either has.
std::int32_t known_agreement(const std::uint8_t* old_data, std::int32_t start,
                             const Target& target) {
  if (target.span.period == 0 || target.old_stretches == nullptr ||
      old_data[start] != target.bytes[0]) {
    return 0;
  }
  return agreement_from(span_from(*target.old_stretches, start), old_data + start, target.span,
                        target.bytes);
}

// The comparison rule of one probe: true when the suffix at start orders
// strictly before the target over the bytes both have. Equality moves the
// high bound, also for a suffix shorter than the target; the Delta depends
// on this exact rule. Bytes known to agree are skipped; the first `from`
// bytes are already known to agree. Zero bytes are not handed to memcmp,
// whose pointers must be valid even then.
bool probe_below(const std::uint8_t* old_data, std::int32_t old_length, std::int32_t start,
                 const Target& target, std::int32_t from) {
  const std::int32_t compared = std::min(old_length - start, target.length);
  if (compared <= from) return false;
  const std::int32_t skip = std::max(from, known_agreement(old_data, start, target));
  if (compared <= skip) return false;
  const std::uint8_t* old_bytes = old_data + start + skip;
  const std::uint8_t* new_bytes = target.bytes + skip;
  const std::int32_t length = compared - skip;
  if (target.long_compared == nullptr || length <= kLongComparison) {
    return std::memcmp(old_bytes, new_bytes, static_cast<std::size_t>(length)) < 0;
  }
  // --- Counting for the switch to the mapped search (delta/scan_search.h):
  // past the first kLongComparison bytes, every byte compared is counted.
  const int order = std::memcmp(old_bytes, new_bytes, kLongComparison);
  if (order != 0) return order < 0;
  const std::int32_t rest = length - kLongComparison;
  const std::int32_t agreed =
      common_prefix_length(old_bytes + kLongComparison, rest, new_bytes + kLongComparison, rest);
  *target.long_compared += agreed;
  return agreed < rest && old_bytes[kLongComparison + agreed] < new_bytes[kLongComparison + agreed];
}

// Probes below the top table: the next probe is at one of two places, so
// both are fetched while this one runs.
void search_below_top(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                      std::int32_t old_length, const Target& target, std::int32_t* low,
                      std::int32_t* high) {
  while (*high - *low >= 2) {
    const std::int32_t midpoint = *low + (*high - *low) / 2;
    __builtin_prefetch(suffix_array + *low + (midpoint - *low) / 2);
    __builtin_prefetch(suffix_array + midpoint + (*high - midpoint) / 2);
    if (probe_below(old_data, old_length, suffix_array[midpoint], target, 0)) {
      *low = midpoint;
    } else {
      *high = midpoint;
    }
  }
}

std::int32_t candidate_length(const std::uint8_t* old_data, std::int32_t old_length,
                              std::int32_t start, const Target& target) {
  const std::int32_t compared = std::min(old_length - start, target.length);
  if (compared <= 0) return 0;
  const std::int32_t skip = known_agreement(old_data, start, target);
  const std::int32_t agreed = common_prefix_length(old_data + start + skip, compared - skip,
                                                   target.bytes + skip, compared - skip);
  // --- Counting for the switch to the mapped search, as in probe_below.
  if (target.long_compared != nullptr && agreed > kLongComparison) {
    *target.long_compared += agreed - kLongComparison;
  }
  return skip + agreed;
}

// The two bounds left when the search ends: the longer match wins, the high
// one on a tie.
std::int32_t choose_candidate(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                              std::int32_t old_length, const Target& target, std::int32_t low,
                              std::int32_t high, std::int32_t* match_position) {
  const std::int32_t low_start = suffix_array[low];
  const std::int32_t high_start = suffix_array[high];
  const std::int32_t low_match = candidate_length(old_data, old_length, low_start, target);
  const std::int32_t high_match = candidate_length(old_data, old_length, high_start, target);
  if (low_match > high_match) {
    *match_position = low_start;
    return low_match;
  }
  *match_position = high_start;
  return high_match;
}

// Up to eight bytes as a big-endian number, so that comparing two heads
// compares their bytes in order.
std::uint64_t read_head(const std::uint8_t* bytes, std::int32_t length) {
  std::uint64_t head = 0;
  const std::int32_t count = std::min(length, kHeadBytes);
  for (std::int32_t i = 0; i < count; ++i) {
    head |= static_cast<std::uint64_t>(bytes[i]) << (8 * (kHeadBytes - 1 - i));
  }
  return head;
}

// Visits the search's tree as the search would, down to the table's depth.
void fill_top(const std::int32_t* suffix_array, const std::uint8_t* old_data,
              std::int32_t old_length, TopProbe* top, std::size_t top_size, std::int32_t low,
              std::int32_t high, std::size_t node) {
  if (high - low < 2 || node >= top_size) return;
  const std::int32_t midpoint = low + (high - low) / 2;
  const std::int32_t start = suffix_array[midpoint];
  top[node] = TopProbe{read_head(old_data + start, old_length - start), start};
  fill_top(suffix_array, old_data, old_length, top, top_size, low, midpoint, 2 * node);
  fill_top(suffix_array, old_data, old_length, top, top_size, midpoint, high, 2 * node + 1);
}

}  // namespace

std::int32_t find_longest_match(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                                std::int32_t old_length, const std::uint8_t* target,
                                std::int32_t target_length, std::int32_t low, std::int32_t high,
                                std::int32_t* match_position, std::int64_t* long_compared) {
  // Every probe reads a suffix-array entry between the bounds.
  assert(0 <= low && low <= high && high <= old_length);
  const Target plain{target, target_length, PeriodicSpan{}, nullptr, long_compared};
  search_below_top(suffix_array, old_data, old_length, plain, &low, &high);
  return choose_candidate(suffix_array, old_data, old_length, plain, low, high, match_position);
}

bool make_search_aids(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                      std::int32_t old_length, const std::uint8_t* new_data,
                      std::int32_t new_length, SearchAids* aids) {
  if (!aids->top.allocate(std::size_t{1} << kTopLevels) ||
      !find_stretches(old_data, old_length, &aids->old_stretches) ||
      !find_stretches(new_data, new_length, &aids->new_stretches)) {
    return false;
  }
  fill_top(suffix_array, old_data, old_length, aids->top.get(), aids->top.size(), 0, old_length, 1);
  return true;
}

std::int32_t find_longest_match_aided(const SearchAids& aids, const std::int32_t* suffix_array,
                                      const std::uint8_t* old_data, std::int32_t old_length,
                                      const std::uint8_t* target, std::int32_t target_length,
                                      PeriodicSpan target_span, std::int32_t* match_position,
                                      std::int64_t* long_compared) {
  const Target aided{target, target_length, target_span, &aids.old_stretches, long_compared};
  const std::uint64_t target_head = read_head(target, target_length);
  std::int32_t low = 0;
  std::int32_t high = old_length;
  std::size_t node = 1;
  while (high - low >= 2 && node < aids.top.size()) {
    const TopProbe& probe = aids.top[node];
    const std::int32_t compared = std::min(old_length - probe.start, target_length);
    bool below = false;
    if (compared > 0) {
      // Only the first min(compared, 8) bytes take part in the heads'
      // comparison; when those tie, the bytes after them decide.
      const int unused_bits = 8 * (kHeadBytes - std::min(compared, kHeadBytes));
      const std::uint64_t old_head = probe.head >> unused_bits;
      const std::uint64_t new_head = target_head >> unused_bits;
      below = old_head != new_head
                  ? old_head < new_head
                  : probe_below(old_data, old_length, probe.start, aided, kHeadBytes);
    }
    const std::int32_t midpoint = low + (high - low) / 2;
    if (below) {
      low = midpoint;
      node = 2 * node + 1;
    } else {
      high = midpoint;
      node = 2 * node;
    }
  }
  search_below_top(suffix_array, old_data, old_length, aided, &low, &high);
  return choose_candidate(suffix_array, old_data, old_length, aided, low, high, match_position);
}

}  // namespace core
