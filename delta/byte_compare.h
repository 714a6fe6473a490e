// Agreement of two byte ranges, forward and backward, a vector at a time:
// the one comparison that the search, the periodic stretches and the
// emission of entries share.
#pragma once

#include <cstdint>

namespace core {

// Number of leading bytes the two ranges share; 0 when either length is <= 0.
std::int32_t common_prefix_length(const std::uint8_t* a, std::int32_t a_length,
                                  const std::uint8_t* b, std::int32_t b_length);

// Number of bytes that agree going backward from just before a_end and
// b_end, at most limit; 0 when limit is <= 0.
std::int32_t common_suffix_length(const std::uint8_t* a_end, const std::uint8_t* b_end,
                                  std::int32_t limit);

}  // namespace core
