// Longest-match search over a finished suffix array.
#pragma once

#include <cstddef>
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

// Heads as the top table keeps them: the first kTopHeadBytes bytes as a
// big-endian number, zero padded, so that comparing two heads compares
// their bytes in order.
constexpr std::int32_t kTopHeadBytes = 8;
std::uint64_t read_head(const std::uint8_t* bytes, std::int32_t length);

// How a top probe's head orders it against the target's, over the first
// min(compared, kTopHeadBytes) bytes, compared > 0 being the bytes the
// probe compares: negative when the suffix orders before the target,
// positive after, 0 when the heads tie and the bytes after them decide.
int compare_heads(std::uint64_t suffix_head, std::uint64_t target_head, std::int32_t compared);

// The same fixed tree much deeper, for the lookahead, whose probes it
// decides without the suffix array or the old data as long as the target
// differs from the probed suffix soon enough. Deep down, the suffixes of a
// node's interval share a long prefix, which the target shares too (it
// agrees that far with a bound), so a head of the suffix's first bytes would
// tie: each node keeps instead how many bytes the suffixes of its interval
// share, and the next kTreeHeadBytes of its midpoint's suffix.
//
// A node takes 8 bytes: the head in the upper six, most significant first,
// the shared length in the lower two, kUnknownShared when it is too long to
// keep or the suffix too short for a whole head. Nodes are stored by
// subtrees of three levels, one 64-byte block each (7 nodes and a spare), so
// that a probe reads one cache line for three levels. The blocks go level
// by level, each level's blocks in the order of their roots.
constexpr int kTreeHeadBytes = 6;
constexpr std::uint32_t kUnknownShared = 0xFFFF;
constexpr int kTreeBlockLevels = 3;

constexpr std::uintptr_t kCacheLine = 64;

struct TreeBlock {
  std::uint64_t nodes[8];  // heap order inside the block, from index 0
};
static_assert(sizeof(TreeBlock) == kCacheLine, "a block is one cache line");

struct ProbeTree {
  HeapArray<TreeBlock> storage;  // the blocks, and room to start them on a cache line
  const TreeBlock* blocks = nullptr;
  int levels = 0;  // a multiple of kTreeBlockLevels; 0 when there is no tree
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
  ProbeTree tree;
};

// Builds the aids for a finished suffix array. Returns false when memory is
// short: the scan then searches unaided, with the same results.
bool make_search_aids(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                      std::int32_t old_length, const std::uint8_t* new_data,
                      std::int32_t new_length, SearchAids* aids);

// The same in two steps: the stretches of both inputs need no suffix array,
// so they can be found while it is sorted; the rest needs it finished.
bool find_input_stretches(const std::uint8_t* old_data, std::int32_t old_length,
                          const std::uint8_t* new_data, std::int32_t new_length, SearchAids* aids);
bool complete_search_aids(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                          std::int32_t old_length, SearchAids* aids);

// find_longest_match over bounds 0 and old_length, bit for bit. target_span
// is the target start's span in the new data's stretches; long_compared
// counts as above.
std::int32_t find_longest_match_aided(const SearchAids& aids, const std::int32_t* suffix_array,
                                      const std::uint8_t* old_data, std::int32_t old_length,
                                      const std::uint8_t* target, std::int32_t target_length,
                                      PeriodicSpan target_span, std::int32_t* match_position,
                                      std::int64_t* long_compared = nullptr);

// A match of a target with the old data: its length and the old-data start
// of the suffix it was found in.
struct Match {
  std::int32_t length = 0;
  std::int32_t position = 0;
};

// Where a search from bounds 0 and old_length ended: its two final bounds
// (suffix-array indexes), their suffixes' starts, and the exact agreement
// of each with the target. The search one byte later may start from it
// (delta/suffix_rank.h).
struct SearchEnd {
  std::int32_t low = 0;
  std::int32_t high = 0;
  std::int32_t low_start = 0;
  std::int32_t high_start = 0;
  std::int32_t low_agreement = 0;
  std::int32_t high_agreement = 0;
};

struct SuffixRank;

// Answers the scan's searches: the Match that find_longest_match gives for
// the target new_data + position, over bounds 0 and old_length, bit for bit.
//
// One search is a chain of probes, each two cache misses in a row (the
// suffix-array entry, then the old bytes it points at), so alone it keeps
// the memory waiting. The scan asks for consecutive positions until a pass
// ends, so the searches for the positions just ahead are run together in a
// batch, one probe of each in turn, every probe's memory requested a step
// before it is read: many misses are then in flight at once. A request
// outside the batch is a jump: the batch after it starts small, and grows
// while the scan keeps asking for what follows, so that a jump wastes
// little. With the aids, the probe tree decides most probes, a cache line
// for three of them; the periodic stretches shorten long agreements. With
// the rank array, a search past the batch at the position after the last
// one is first tried where that one continues (delta/suffix_rank.h), which
// settles it in a read or two where it can; a batch is run where it
// cannot. (Trying it before the batch's results lost more in cache misses
// the batch overlaps than it saved.) Fixed arrays only: no allocation, no exception.
class MatchLookahead {
 public:
  // aids and ranks may be null. All the arrays must outlive the object.
  MatchLookahead(const SearchAids* aids, const std::int32_t* suffix_array,
                 const std::uint8_t* old_data, std::int32_t old_length,
                 const std::uint8_t* new_data, std::int32_t new_length,
                 const SuffixRank* ranks = nullptr);
  MatchLookahead(const MatchLookahead&) = delete;
  MatchLookahead& operator=(const MatchLookahead&) = delete;

  // 0 <= position < new_length. When long_compared is given, the bytes
  // compared past the first few hundred of any comparison are added to it,
  // as the plain search counts them (delta/scan_search.h).
  Match find(std::int32_t position, std::int64_t* long_compared = nullptr);

  // From the next search on, with the rank array (which must outlive the
  // object).
  void use_ranks(const SuffixRank* ranks) { ranks_ = ranks; }

 private:
  // After a jump the scan often jumps again at once: the first batch is one
  // search. Each batch that the scan reads to its end doubles the next, up
  // to as many searches as keep the machine's misses in flight: with more,
  // their fetches only wait for one another.
  static constexpr int kMinBatch = 1;
  static constexpr int kMaxBatch = 16;
  // Batches up to this size also fetch both possible next probes.
  static constexpr int kNarrowBatch = 2;

  // Below the tree, an interval this short lies in a few lines of the
  // suffix array.
  static constexpr std::int32_t kSuffixBlock = 64;

  // What a search waits for: the next round reads it.
  enum class Stage : std::uint8_t {
    kTree,       // the tree's block of the node
    kReadEntry,  // the suffix-array entry at the midpoint
    kProbe,      // the old bytes it points at
    kDone,
  };

  // One search of a batch, between two stages.
  struct Search {
    const std::uint8_t* target;
    std::int32_t target_length;
    PeriodicSpan span;  // of the target's start, in the new data's stretches
    std::int32_t low;
    std::int32_t high;
    std::int32_t low_start;  // the suffix-array entries at the bounds, -1 until read
    std::int32_t high_start;
    // The match lengths of the bounds with the target, exact once the bound
    // has moved (before, 0 is only known): every suffix between the bounds
    // shares the shorter one.
    std::int32_t low_agreement;
    std::int32_t high_agreement;
    std::int32_t midpoint;  // of the probe in progress
    std::int32_t start;     // its suffix-array entry
    std::int32_t known;     // its leading bytes known to agree with the target, -1 unknown
    std::size_t block;      // its place in the tree: the block
    std::uint8_t local;     // and the node in it, from 1; 0 below the tree
    bool block_fetched;     // the suffix-array lines of a short interval
    Stage stage;
  };

  void run_batch(std::int32_t first, int count);
  PeriodicSpan span_in_new(std::int32_t position);
  void begin_search(Search& search, std::int32_t position);
  std::int32_t agreement(const std::uint8_t* suffix, std::int32_t suffix_length,
                         const Search& search, std::int32_t known) const;
  void walk_down(Search& search) const;
  bool walk_tree(Search& search) const;
  void read_entry(Search& search) const;
  void probe(Search& search) const;
  Match finish(Search& search, SearchEnd* end) const;

  const SearchAids* aids_;
  const std::int32_t* suffix_array_;
  const std::uint8_t* old_data_;
  std::int32_t old_length_;
  const std::uint8_t* new_data_;
  std::int32_t new_length_;
  std::int64_t* long_compared_ = nullptr;  // of the batch being run
  const std::uint64_t* tree_nodes_;
  std::size_t tree_blocks_;
  std::int32_t last_start_ = 0;  // the suffix-array entry of the last suffix

  const SuffixRank* ranks_;

  Search searches_[kMaxBatch];
  Match results_[kMaxBatch];
  SearchEnd ends_[kMaxBatch];
  // Where the search the scan was last given ended.
  std::int32_t last_position_ = -1;
  SearchEnd last_end_;
  std::int32_t first_ = 0;  // results_ hold positions [first_, first_ + ready_)
  int ready_ = 0;
  int batch_ = kMinBatch;
  int count_ = 0;                    // searches in the batch being run
  std::int32_t stretch_cursor_ = 0;  // the first new-data stretch that may hold a position
};

}  // namespace core
