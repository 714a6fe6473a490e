// The rank of every old suffix, and the search it allows: one that starts
// where the last search ended.
//
// When the search for the new data from position i on ended between the
// suffixes at p and q, which agree with it over a and b bytes, and both
// share its first byte, then the target one byte later lies in the suffix
// order between the suffixes at p + 1 and q + 1, which agree with it over
// a - 1 and b - 1 bytes. The rank array tells where those two lie: a read
// each. Where they are neighbours, as along a match that goes on, the
// search at i + 1 is over before it reads a byte of either input.
//
// The search's answer is not where the target belongs in the order, but
// where its path down the fixed tree of midpoints ends, and a suffix that is
// a proper prefix of the target compares equal and turns the path the other
// way. Such a suffix at a probe the order decided (one below the lower of
// the two places) is a tail of the old data that occurs once more in it,
// at most as long as the target's agreement with the lower place. The aid
// lists those repeated tails with the final bounds for which the path turns
// at them; a search whose path may have met one is made in full.
//
// 4 bytes per old byte, and a list of at most kMaxListedTails tails.
#pragma once

#include <cstddef>
#include <cstdint>

#include "delta/match_search.h"
#include "module/heap_array.h"

namespace core {

// Repeated tails are listed up to this length. Binaries repeat a tail of a
// few dozen bytes, text a few thousand; periodic data all of it, whose
// longer tails only a target agreeing that far would meet.
constexpr std::int32_t kMaxListedTails = 1 << 12;

// A tail of the old data that occurs in it once more, and the final high
// bounds (first_high to last_high) of the searches whose path turns right
// at the tail's suffix: its rank is the midpoint of the tree node whose
// upper half they end in.
struct RepeatedTail {
  std::int32_t first_high;
  std::int32_t last_high;
};

struct SuffixRank {
  std::int32_t old_length = 0;
  // rank[p]: index of the suffix at p in the suffix array; old_length + 1
  // entries, the empty suffix's is 0.
  HeapArray<std::int32_t> rank;
  // tails[k] for the tail of k + 1 bytes, every repeated tail up to
  // tails_known_to bytes (INT32_MAX when no longer one repeats).
  HeapArray<RepeatedTail> tails;
  std::int32_t tail_count = 0;
  std::int32_t tails_known_to = 0;
  // The tails' ranges of final high bounds merged, in ascending order.
  HeapArray<RepeatedTail> turning_highs;
  std::int32_t turning_count = 0;
};

// Builds the aid for the finished suffix array, on up to `threads` threads.
// Returns false when memory is short; the aid then holds nothing.
bool build_suffix_rank(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                       std::int32_t old_length, int threads, SuffixRank* aid);

// The search for `target` (the new data from some position on, at least a
// byte) given where the search for the target one byte before it ended:
// when the two suffixes one byte past that search's final bounds are
// neighbours in the order, the search ends between them. Then sets *end
// and *match to what find_longest_match from bounds 0 and old_length gives
// and where it ends, bit for bit, and returns true; false, touching
// neither, when the search must be made in full.
bool continue_search(const SuffixRank& aid, const std::uint8_t* old_data, std::int32_t old_length,
                     const std::uint8_t* target, std::int32_t target_length,
                     const SearchEnd& before, SearchEnd* end, Match* match);

// After a search whose path the order decided below a place in it that
// orders strictly before the target and agrees with it over `agreement`
// bytes, and which ended at the final high bound `high`: true when the path
// may have turned right at a repeated tail that is a proper prefix of the
// target, which compares equal and turns the path left instead.
bool may_turn_at_tail(const SuffixRank& aid, const std::uint8_t* old_data, std::int32_t high,
                      std::int32_t agreement, const std::uint8_t* target,
                      std::int32_t target_length);

}  // namespace core
