// Binary search over the suffix array for a long match with a target range.
#include "delta/match_search.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace core {
namespace {

constexpr int kHeadBytes = 8;

// The comparison rule of one probe: true when the suffix at start orders
// strictly before the target over the bytes both have. Equality moves the
// high bound, also for a suffix shorter than the target; the Delta depends
// on this exact rule. Zero bytes are not handed to memcmp, whose pointers
// must be valid even then.
bool probe_below(const std::uint8_t* old_data, std::int32_t old_length, std::int32_t start,
                 const std::uint8_t* target, std::int32_t target_length) {
  const std::int32_t compared = std::min(old_length - start, target_length);
  return compared > 0 &&
         std::memcmp(old_data + start, target, static_cast<std::size_t>(compared)) < 0;
}

// Probes below the table: the next probe is at one of two places, so both
// are fetched while this one runs.
void search_below_top(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                      std::int32_t old_length, const std::uint8_t* target,
                      std::int32_t target_length, std::int32_t* low, std::int32_t* high) {
  while (*high - *low >= 2) {
    const std::int32_t midpoint = *low + (*high - *low) / 2;
    __builtin_prefetch(suffix_array + *low + (midpoint - *low) / 2);
    __builtin_prefetch(suffix_array + midpoint + (*high - midpoint) / 2);
    if (probe_below(old_data, old_length, suffix_array[midpoint], target, target_length)) {
      *low = midpoint;
    } else {
      *high = midpoint;
    }
  }
}

// The two bounds left when the search ends: the longer match wins, the high
// one on a tie.
std::int32_t choose_candidate(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                              std::int32_t old_length, const std::uint8_t* target,
                              std::int32_t target_length, std::int32_t low, std::int32_t high,
                              std::int32_t* match_position) {
  const std::int32_t low_start = suffix_array[low];
  const std::int32_t high_start = suffix_array[high];
  const std::int32_t low_match = common_prefix_length(
      old_data + low_start, old_length - low_start, target, target_length);
  const std::int32_t high_match = common_prefix_length(
      old_data + high_start, old_length - high_start, target, target_length);
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
              std::int32_t old_length, SearchTop* top, std::int32_t low, std::int32_t high,
              std::size_t node) {
  if (high - low < 2 || node >= std::size(top->probes)) return;
  const std::int32_t midpoint = low + (high - low) / 2;
  const std::int32_t start = suffix_array[midpoint];
  top->probes[node] = TopProbe{read_head(old_data + start, old_length - start), start};
  fill_top(suffix_array, old_data, old_length, top, low, midpoint, 2 * node);
  fill_top(suffix_array, old_data, old_length, top, midpoint, high, 2 * node + 1);
}

}  // namespace

std::int32_t common_prefix_length(const std::uint8_t* a, std::int32_t a_length,
                                  const std::uint8_t* b, std::int32_t b_length) {
  const std::int32_t length = std::min(a_length, b_length);
  std::int32_t i = 0;
  // The final candidates of a search often agree with the target for
  // thousands of bytes: compare 16 at a time where the machine allows.
#if defined(__SSE2__)
  for (; i + 16 <= length; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const auto equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
    if (equal != 0xFFFFu) return i + __builtin_ctz(~equal);
  }
#endif
  while (i < length && a[i] == b[i]) ++i;
  return i;
}

std::int32_t find_longest_match(const std::int32_t* suffix_array,
                                 const std::uint8_t* old_data,
                                 std::int32_t old_length,
                                 const std::uint8_t* target,
                                 std::int32_t target_length, std::int32_t low,
                                 std::int32_t high,
                                 std::int32_t* match_position) {
  search_below_top(suffix_array, old_data, old_length, target, target_length, &low, &high);
  return choose_candidate(suffix_array, old_data, old_length, target, target_length, low, high,
                          match_position);
}

void build_search_top(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                      std::int32_t old_length, SearchTop* top) {
  fill_top(suffix_array, old_data, old_length, top, 0, old_length, 1);
}

std::int32_t find_longest_match_top(const SearchTop& top, const std::int32_t* suffix_array,
                                     const std::uint8_t* old_data, std::int32_t old_length,
                                     const std::uint8_t* target, std::int32_t target_length,
                                     std::int32_t* match_position) {
  const std::uint64_t target_head = read_head(target, target_length);
  std::int32_t low = 0;
  std::int32_t high = old_length;
  std::size_t node = 1;
  while (high - low >= 2 && node < std::size(top.probes)) {
    const TopProbe& probe = top.probes[node];
    const std::int32_t compared = std::min(old_length - probe.start, target_length);
    bool below = false;
    if (compared > 0) {
      // Only the first min(compared, 8) bytes take part in the heads'
      // comparison; when those tie, the bytes after them decide.
      const int unused_bits = 8 * (kHeadBytes - std::min(compared, kHeadBytes));
      const std::uint64_t old_head = probe.head >> unused_bits;
      const std::uint64_t new_head = target_head >> unused_bits;
      if (old_head != new_head) {
        below = old_head < new_head;
      } else if (compared > kHeadBytes) {
        below = std::memcmp(old_data + probe.start + kHeadBytes, target + kHeadBytes,
                            static_cast<std::size_t>(compared - kHeadBytes)) < 0;
      }
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
  search_below_top(suffix_array, old_data, old_length, target, target_length, &low, &high);
  return choose_candidate(suffix_array, old_data, old_length, target, target_length, low, high,
                          match_position);
}

}  // namespace core
