// Longest-match search over a finished suffix array.
#pragma once

#include <cstdint>

namespace core {

// Number of leading bytes the two ranges share; 0 when either length is <= 0.
std::int32_t common_prefix_length(const std::uint8_t* a, std::int32_t a_length,
                                  const std::uint8_t* b, std::int32_t b_length);

// Binary search of suffix_array[low, high] (both inclusive) for a suffix that
// shares a long prefix with the target. A probe whose suffix agrees with the
// target over every compared byte moves the high bound down, so the result is
// not always the longest match; diff depends on exactly this rule. Returns
// the match length and stores the suffix start in *match_position; on a tie
// between the two final candidates the high one wins.
std::int32_t find_longest_match(const std::int32_t* suffix_array,
                                 const std::uint8_t* old_data,
                                 std::int32_t old_length,
                                 const std::uint8_t* target,
                                 std::int32_t target_length, std::int32_t low,
                                 std::int32_t high,
                                 std::int32_t* match_position);

}  // namespace core
