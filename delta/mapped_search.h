// The longest-match search decided by common prefixes of old suffixes.
//
// Once a comparison has shown that new[p, p + A) equals old[s, s + A), the
// target at any later p' inside that range starts with A - (p' - p) bytes of
// the suffix at s + (p' - p), so comparing it with any suffix over those
// bytes compares two old suffixes: the index (delta/suffix_lcp.h) answers
// that without reading them. Bytes are read only past the mapped range, and
// what they show extends it, so each new byte is read as agreeing at most
// once however often the data repeats. Periodic data with a long period,
// where every probe agrees with the target for the rest of the data, then
// costs a few index queries a probe instead of a pass over the data.
#pragma once

#include <cstdint>

#include "delta/match_search.h"
#include "delta/suffix_lcp.h"

namespace core {

// What one comparison proved: new[new_start, new_start + length) equals
// old[old_start, old_start + length). A scanner keeps one and hands it to
// each search it makes; length 0 maps nothing.
struct MatchMapping {
  std::int32_t new_start = 0;
  std::int32_t old_start = 0;
  std::int32_t length = 0;
};

// find_longest_match(suffix_array, old_data, old_length, new_data + position,
// new_length - position, 0, old_length, match_position), bit for bit, for
// 0 <= position < new_length. The mapping may be any true one; it is used
// where it covers position and replaced by the agreement the search meets
// that reaches furthest. With aids, the top table decides what it can.
std::int32_t find_longest_match_mapped(const SuffixLcpIndex& index, const SearchAids* aids,
                                       const std::int32_t* suffix_array,
                                       const std::uint8_t* old_data, std::int32_t old_length,
                                       const std::uint8_t* new_data, std::int32_t new_length,
                                       std::int32_t position, MatchMapping* mapping,
                                       std::int32_t* match_position);

}  // namespace core
