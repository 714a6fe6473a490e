// Binary search over the suffix array for a long match with a target range.
#include "delta/match_search.h"

#include <algorithm>
#include <cstring>

namespace core {

std::int32_t common_prefix_length(const std::uint8_t* a, std::int32_t a_length,
                                  const std::uint8_t* b, std::int32_t b_length) {
  std::int32_t i = 0;
  while (i < a_length && i < b_length && a[i] == b[i]) ++i;
  return i;
}

std::int32_t find_longest_match(const std::int32_t* suffix_array,
                                 const std::uint8_t* old_data,
                                 std::int32_t old_length,
                                 const std::uint8_t* target,
                                 std::int32_t target_length, std::int32_t low,
                                 std::int32_t high,
                                 std::int32_t* match_position) {
  while (high - low >= 2) {
    const std::int32_t midpoint = low + (high - low) / 2;
    const std::int32_t start = suffix_array[midpoint];
    const std::int32_t compared = std::min(old_length - start, target_length);
    // Equality moves the high bound too, also for a suffix shorter than the
    // target; the Delta depends on this exact rule. Zero bytes are not
    // handed to memcmp, whose pointers must be valid even then.
    if (compared > 0 &&
        std::memcmp(old_data + start, target, static_cast<std::size_t>(compared)) < 0) {
      low = midpoint;
    } else {
      high = midpoint;
    }
  }
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

}  // namespace core
