// Longest-match search over a finished suffix array.
#pragma once

#include <cstdint>

#include "delta/byte_compare.h"
#include "delta/periodic.h"
#include "module/heap_array.h"

namespace core {

// Binary search of suffix_array[low, high] (both inclusive) for a suffix that
// shares a long prefix with the target. A probe whose suffix agrees with the
// target over every compared byte moves the high bound down, so the result is
// not always the longest match; diff depends on exactly this rule. Returns
// the match length and stores the suffix start in *match_position; on a tie
// between the two final candidates the high one wins.
//
// When long_compared is given, the bytes compared past the first few hundred
// of a probe or candidate are added to it: the scan switches to the mapped
// search (delta/scan_search.h) once they add up to too many.
std::int32_t find_longest_match(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                                std::int32_t old_length, const std::uint8_t* target,
                                std::int32_t target_length, std::int32_t low, std::int32_t high,
                                std::int32_t* match_position,
                                std::int64_t* long_compared = nullptr);

// Aids that make the search faster without changing any of its answers.
//
// The search from bounds 0 and old_length probes the same midpoints first,
// whatever the target: the top kTopLevels levels of a fixed tree. The top
// table keeps each such midpoint's suffix start and first eight bytes, so
// that those probes are mostly decided without touching the suffix array or
// the old data, which for large inputs lie far outside the cache.
constexpr int kTopLevels = 13;

struct TopProbe {
  std::uint64_t head = 0;  // first bytes of the suffix, most significant first, zero padded
  std::int32_t start = 0;  // the suffix array entry at the midpoint
};

// Long periodic stretches (zero padding, repeated lines) make a target and
// many suffixes agree for as long as the stretches last, and a probe would
// read all of it for every target in one. The stretches of both inputs are
// listed, and bytes that both sides are known to share are skipped.
struct SearchAids {
  // 1 << kTopLevels probes, a heap: the root at 1, children of i at 2i and 2i + 1.
  HeapArray<TopProbe> top;
  StretchList old_stretches;
  StretchList new_stretches;
};

// Builds the aids for a finished suffix array. Returns false when memory is
// short: the scan then searches unaided, with the same results.
bool make_search_aids(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                      std::int32_t old_length, const std::uint8_t* new_data,
                      std::int32_t new_length, SearchAids* aids);

// find_longest_match over bounds 0 and old_length, bit for bit. target_span
// is the target start's span in the new data's stretches; long_compared
// counts as above.
std::int32_t find_longest_match_aided(const SearchAids& aids, const std::int32_t* suffix_array,
                                      const std::uint8_t* old_data, std::int32_t old_length,
                                      const std::uint8_t* target, std::int32_t target_length,
                                      PeriodicSpan target_span, std::int32_t* match_position,
                                      std::int64_t* long_compared = nullptr);

}  // namespace core
