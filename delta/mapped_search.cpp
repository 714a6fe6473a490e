// The mapped search: the probe sequence and candidates of
// find_longest_match, each comparison decided from the index where the
// mapping covers the target.
#include "delta/mapped_search.h"

#include <algorithm>
#include <cassert>

#include "delta/byte_compare.h"

namespace core {
namespace {

// Below this many mapped bytes, reading them costs less than an index query.
constexpr std::int32_t kMinMappedLength = 32;

// One search's target and what the mapping tells of it.
struct MappedTarget {
  const SuffixLcpIndex& index;
  const std::uint8_t* old_data;
  std::int32_t old_length;
  const std::uint8_t* bytes;  // the target: new data from the search's position on
  std::int32_t length;
  std::int32_t position;
  MatchMapping* mapping;
  // The target's first `known` bytes equal the suffix at mapped_start, whose
  // rank is mapped_rank; nothing is known when known is 0.
  std::int32_t known = 0;
  std::int32_t mapped_start = 0;
  std::int32_t mapped_rank = 0;
};

void take_mapping(MappedTarget& target, std::int32_t mapped_rank) {
  const MatchMapping& mapping = *target.mapping;
  const std::int64_t into = static_cast<std::int64_t>(target.position) - mapping.new_start;
  if (into < 0 || into >= mapping.length) {
    target.known = 0;
    return;
  }
  target.known = mapping.length - static_cast<std::int32_t>(into);
  target.mapped_start = mapping.old_start + static_cast<std::int32_t>(into);
  target.mapped_rank = mapped_rank >= 0 ? mapped_rank : target.index.rank[target.mapped_start];
}

// The target agrees with the suffix at start, whose rank is given, over
// `agreed` bytes: keeps that as the mapping when it reaches further than
// the mapping does, or the mapping does not cover the target.
void learn(MappedTarget& target, std::int32_t start, std::int32_t rank, std::int32_t agreed) {
  const MatchMapping& mapping = *target.mapping;
  const std::int64_t mapped_end = static_cast<std::int64_t>(mapping.new_start) + mapping.length;
  if (agreed == 0 ||
      (target.known > 0 && static_cast<std::int64_t>(target.position) + agreed <= mapped_end)) {
    return;
  }
  *target.mapping = MatchMapping{target.position, start, agreed};
  take_mapping(target, rank);
}

struct Comparison {
  std::int32_t agreed;  // leading bytes the suffix and the target share
  bool below;           // the search's rule: the suffix orders before the target
};

// The target against the suffix at `start`, of rank `rank`, over the bytes
// both have, as probe_below and candidate_length in match_search.cpp see
// it: below only where a byte orders the suffix first; a suffix that ends
// while it agrees is not below.
Comparison compare(MappedTarget& target, std::int32_t start, std::int32_t rank) {
  const std::int32_t compared = std::min(target.old_length - start, target.length);
  if (compared <= 0) return {0, false};
  std::int32_t agreed = 0;
  if (target.known >= kMinMappedLength) {
    // The target's first `known` bytes are the suffix at mapped_start's.
    const std::int32_t common = rank == target.mapped_rank
                                    ? target.old_length - start
                                    : lcp_of_ranks(target.index, rank, target.mapped_rank);
    if (common < target.known) {
      // The two suffixes part at byte `common`, inside the known bytes, so
      // the suffix and the target do too, the same way round; or the
      // suffix ends there and agrees over all of its bytes.
      if (common == target.old_length - start) return {common, false};
      return {common, rank < target.mapped_rank};
    }
    agreed = target.known;
  }
  const std::int32_t rest = compared - agreed;
  agreed +=
      common_prefix_length(target.old_data + start + agreed, rest, target.bytes + agreed, rest);
  learn(target, start, rank, agreed);
  return {agreed, agreed < compared && target.old_data[start + agreed] < target.bytes[agreed]};
}

// The top table's levels, as find_longest_match_aided walks them: a probe
// whose head differs from the target's is decided by the heads alone.
void search_top(const SearchAids& aids, MappedTarget& target, std::int32_t* low,
                std::int32_t* high) {
  const std::uint64_t target_head = read_head(target.bytes, target.length);
  std::size_t node = 1;
  while (*high - *low >= 2 && node < aids.top.size()) {
    const TopProbe& probe = aids.top[node];
    const std::int32_t midpoint = *low + (*high - *low) / 2;
    const std::int32_t compared = std::min(target.old_length - probe.start, target.length);
    bool below = false;
    if (compared > 0) {
      const int order = compare_heads(probe.head, target_head, compared);
      below = order != 0 ? order < 0 : compare(target, probe.start, midpoint).below;
    }
    if (below) {
      *low = midpoint;
      node = 2 * node + 1;
    } else {
      *high = midpoint;
      node = 2 * node;
    }
  }
}

}  // namespace

std::int32_t find_longest_match_mapped(const SuffixLcpIndex& index, const SearchAids* aids,
                                       const std::int32_t* suffix_array,
                                       const std::uint8_t* old_data, std::int32_t old_length,
                                       const std::uint8_t* new_data, std::int32_t new_length,
                                       std::int32_t position, MatchMapping* mapping,
                                       std::int32_t* match_position) {
  assert(index.old_length == old_length && 0 <= position && position < new_length);
  MappedTarget target{index,    old_data, old_length, new_data + position, new_length - position,
                      position, mapping};
  take_mapping(target, -1);
  std::int32_t low = 0;
  std::int32_t high = old_length;
  if (aids != nullptr) search_top(*aids, target, &low, &high);
  while (high - low >= 2) {
    const std::int32_t midpoint = low + (high - low) / 2;
    __builtin_prefetch(suffix_array + low + (midpoint - low) / 2);
    __builtin_prefetch(suffix_array + midpoint + (high - midpoint) / 2);
    if (compare(target, suffix_array[midpoint], midpoint).below) {
      low = midpoint;
    } else {
      high = midpoint;
    }
  }
  const std::int32_t low_match = compare(target, suffix_array[low], low).agreed;
  const std::int32_t high_match = compare(target, suffix_array[high], high).agreed;
  if (low_match > high_match) {
    *match_position = suffix_array[low];
    return low_match;
  }
  *match_position = suffix_array[high];
  return high_match;
}

}  // namespace core
