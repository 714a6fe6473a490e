// Binary search over the suffix array for a long match with a target range.
#include "delta/match_search.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "delta/suffix_rank.h"

namespace core {
namespace {

// A probe compares this many bytes before it asks the periodic stretches.
constexpr std::int32_t kDirectBytes = 64;

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

bool build_probe_tree(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                      std::int32_t old_length, const StretchList& stretches, ProbeTree* tree);

}  // namespace

std::uint64_t read_head(const std::uint8_t* bytes, std::int32_t length) {
  std::uint64_t head = 0;
  const std::int32_t count = std::min(length, kTopHeadBytes);
  for (std::int32_t i = 0; i < count; ++i) {
    head |= static_cast<std::uint64_t>(bytes[i]) << (8 * (kTopHeadBytes - 1 - i));
  }
  return head;
}

int compare_heads(std::uint64_t suffix_head, std::uint64_t target_head, std::int32_t compared) {
  assert(compared > 0);
  // Bytes past the compared ones take no part: the probe would not read them.
  const int unused_bits = 8 * (kTopHeadBytes - std::min(compared, kTopHeadBytes));
  const std::uint64_t suffix_bits = suffix_head >> unused_bits;
  const std::uint64_t target_bits = target_head >> unused_bits;
  return suffix_bits < target_bits ? -1 : suffix_bits > target_bits ? 1 : 0;
}

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

bool find_input_stretches(const std::uint8_t* old_data, std::int32_t old_length,
                          const std::uint8_t* new_data, std::int32_t new_length, SearchAids* aids) {
  return find_stretches(old_data, old_length, &aids->old_stretches) &&
         find_stretches(new_data, new_length, &aids->new_stretches);
}

bool complete_search_aids(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                          std::int32_t old_length, SearchAids* aids) {
  if (!aids->top.allocate(std::size_t{1} << kTopLevels)) return false;
  fill_top(suffix_array, old_data, old_length, aids->top.get(), aids->top.size(), 0, old_length, 1);
  return build_probe_tree(suffix_array, old_data, old_length, aids->old_stretches, &aids->tree);
}

bool make_search_aids(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                      std::int32_t old_length, const std::uint8_t* new_data,
                      std::int32_t new_length, SearchAids* aids) {
  return find_input_stretches(old_data, old_length, new_data, new_length, aids) &&
         complete_search_aids(suffix_array, old_data, old_length, aids);
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
      const int order = compare_heads(probe.head, target_head, compared);
      below = order != 0 ? order < 0
                         : probe_below(old_data, old_length, probe.start, aided, kTopHeadBytes);
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

namespace core {
namespace {

// The bytes from `from` on that a and b share, of their first `length`.
// Most probes end within a word of where they start comparing.
inline std::int32_t agreement_from_offset(const std::uint8_t* a, const std::uint8_t* b,
                                          std::int32_t from, std::int32_t length) {
  if (length - from >= 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + from, sizeof x);
    std::memcpy(&y, b + from, sizeof y);
    if (x != y) return from + __builtin_ctzll(x ^ y) / 8;  // the first byte is the lowest
    from += 8;
  }
  return from + common_prefix_length(a + from, length - from, b + from, length - from);
}

std::size_t tree_block_count(int levels) {
  return ((std::size_t{1} << levels) - 1) / 7;  // (8^(levels / 3) - 1) / 7
}

// Tree levels for old data of this length: a whole number of blocks, as
// many as leave kTreeLeafLevels levels of probes below the tree and keep it
// within 1 / kOldBytesPerTreeByte of the old data's size. Blocks of the top
// kHotTreeLevels levels stay in the cache: a search does not wait for them.
constexpr int kTreeLeafLevels = 3;
constexpr std::int64_t kOldBytesPerTreeByte = 2;
constexpr int kMaxTreeLevels = 27;
constexpr int kHotTreeLevels = 9;
constexpr std::size_t kHotTreeBlocks = ((std::size_t{1} << kHotTreeLevels) - 1) / 7;

int tree_levels_for(std::int32_t old_length) {
  int levels = 0;
  for (int next = kTreeBlockLevels; next <= kMaxTreeLevels; next += kTreeBlockLevels) {
    const std::int64_t nodes = std::int64_t{1} << next;
    const auto bytes = static_cast<std::int64_t>(tree_block_count(next) * sizeof(TreeBlock));
    if ((nodes << kTreeLeafLevels) > old_length || bytes > old_length / kOldBytesPerTreeByte) {
      break;
    }
    levels = next;
  }
  return levels;
}

// Where a node (numbered as in a heap, the root 1) lies in the blocks.
inline std::size_t tree_slot(std::size_t node) {
  const int depth = 63 - __builtin_clzll(node);
  const int within = depth % kTreeBlockLevels;
  const std::size_t root = node >> within;  // of the node's block
  const std::size_t level_first = std::size_t{1} << (depth - within);
  const std::size_t block = (level_first - 1) / 7 + (root - level_first);
  return block * 8 + (node - (root << within)) + (std::size_t{1} << within) - 1;
}

// The next kTreeHeadBytes bytes from `bytes` on, as a node keeps them.
inline std::uint64_t tree_head(const std::uint8_t* bytes, std::int32_t length) {
  std::uint64_t head = 0;
  if (length >= 8) {
    std::memcpy(&head, bytes, sizeof head);
    return __builtin_bswap64(head) & ~std::uint64_t{0xFFFF};
  }
  for (int i = 0; i < kTreeHeadBytes; ++i) {
    head |= static_cast<std::uint64_t>(bytes[i]) << (8 * (7 - i));
  }
  return head;
}

// Bytes that the suffixes at a and b share, known to be at least `from`,
// counted up to `limit`: a few compared, then what the stretches know of
// longer runs, then the rest.
std::int32_t shared_length(const std::uint8_t* old_data, std::int32_t old_length,
                           const StretchList& stretches, std::int32_t a, std::int32_t b,
                           std::int32_t from, std::int32_t limit) {
  const std::int32_t length = std::min({old_length - a, old_length - b, limit});
  if (from >= length) return length;
  std::int32_t agreement = agreement_from_offset(old_data + a, old_data + b, from,
                                                 std::min(length, from + kDirectBytes));
  if (agreement == from + kDirectBytes && agreement < length) {
    agreement = std::max(agreement,
                         std::min(length, agreement_from(span_from(stretches, a), old_data + a,
                                                         span_from(stretches, b), old_data + b)));
    agreement = agreement_from_offset(old_data + a, old_data + b, agreement, length);
  }
  return agreement;
}

// Fills the tree node by node in heap order, which is level order. A node's
// interval comes from its ancestors' midpoints; the suffix-array entries and
// old bytes it reads are fetched kTreeFetchAhead nodes ahead, since nodes of
// one level lie far apart. Returns false when memory is short.
constexpr std::size_t kTreeFetchAhead = 8;

bool build_probe_tree(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                      std::int32_t old_length, const StretchList& stretches, ProbeTree* tree) {
  const int levels = tree_levels_for(old_length);
  if (levels == 0) return true;
  const std::size_t node_end = std::size_t{1} << levels;
  // Each node's midpoint, from which its descendants' bounds follow, and how
  // many bytes the suffixes of its interval share (up to kUnknownShared),
  // from which its children's comparisons start: 6 bytes a node while the
  // tree is built.
  HeapArray<std::int32_t> midpoints;
  HeapArray<std::uint16_t> shared;
  static_assert(kUnknownShared <= std::numeric_limits<std::uint16_t>::max(),
                "the shared lengths the build keeps stop at kUnknownShared");
  if (!midpoints.allocate(node_end) || !shared.allocate(node_end) ||
      !tree->storage.allocate(tree_block_count(levels) + 1)) {
    return false;
  }
  // Blocks start on a cache line: the heap gives less alignment than that,
  // so the storage holds one block more and the blocks start inside it.
  const auto first_line =
      (reinterpret_cast<std::uintptr_t>(tree->storage.get()) + kCacheLine - 1) & ~(kCacheLine - 1);
  TreeBlock* blocks = reinterpret_cast<TreeBlock*>(first_line);
  std::uint64_t* nodes = blocks[0].nodes;

  // The bounds of a node: above the midpoint of the nearest ancestor it
  // lies right of, below that of the nearest it lies left of.
  struct Bounds {
    std::int32_t low;
    std::int32_t high;
  };
  const auto bounds_of = [&](std::size_t node) {
    const std::size_t left_of = node >> (__builtin_ctzll(node) + 1);
    const std::size_t right_of = node >> (__builtin_ctzll(~node) + 1);
    return Bounds{left_of == 0 ? 0 : midpoints[left_of],
                  right_of == 0 ? old_length : midpoints[right_of]};
  };
  const auto shared_from = [&](std::size_t node) -> std::int32_t {
    return node == 1 ? 0 : shared[node / 2];
  };
  const auto place = [&](std::size_t node) {
    const Bounds bounds = bounds_of(node);
    midpoints[node] = bounds.low + (bounds.high - bounds.low) / 2;
    // The low bound is the high bound of the node before on this level.
    __builtin_prefetch(suffix_array + midpoints[node]);
    __builtin_prefetch(suffix_array + bounds.high);
  };
  const auto fetch = [&](std::size_t node) {
    const std::int32_t from = shared_from(node);
    __builtin_prefetch(old_data + suffix_array[bounds_of(node).high] + from);
    __builtin_prefetch(old_data + suffix_array[midpoints[node]] + from);
  };
  const auto fill = [&](std::size_t node) {
    const Bounds bounds = bounds_of(node);
    const std::int32_t interval_shared =
        shared_length(old_data, old_length, stretches, suffix_array[bounds.low],
                      suffix_array[bounds.high], shared_from(node), kUnknownShared);
    shared[node] = static_cast<std::uint16_t>(interval_shared);
    const std::int32_t start = suffix_array[midpoints[node]];
    // A search never probes an interval without room between its bounds.
    const bool usable = bounds.high - bounds.low >= 2 &&
                        interval_shared < static_cast<std::int32_t>(kUnknownShared) &&
                        old_length - start - interval_shared >= kTreeHeadBytes;
    nodes[tree_slot(node)] = usable ? tree_head(old_data + start + interval_shared,
                                                old_length - start - interval_shared) |
                                          static_cast<std::uint64_t>(interval_shared)
                                    : kUnknownShared;
  };
  // Ancestors come well before their descendants, except near the root:
  // the first levels go one node at a time.
  const std::size_t direct_end = std::min(node_end, 4 * kTreeFetchAhead);
  for (std::size_t node = 1; node < direct_end; ++node) {
    place(node);
    fill(node);
  }
  for (std::size_t node = direct_end; node < node_end + 2 * kTreeFetchAhead; ++node) {
    if (node < node_end) place(node);
    if (node >= kTreeFetchAhead && node - kTreeFetchAhead >= direct_end &&
        node - kTreeFetchAhead < node_end) {
      fetch(node - kTreeFetchAhead);
    }
    if (node >= 2 * kTreeFetchAhead && node - 2 * kTreeFetchAhead >= direct_end &&
        node - 2 * kTreeFetchAhead < node_end) {
      fill(node - 2 * kTreeFetchAhead);
    }
  }
  tree->blocks = blocks;
  tree->levels = levels;
  return true;
}

}  // namespace

MatchLookahead::MatchLookahead(const SearchAids* aids, const std::int32_t* suffix_array,
                               const std::uint8_t* old_data, std::int32_t old_length,
                               const std::uint8_t* new_data, std::int32_t new_length,
                               const SuffixRank* ranks)
    : aids_(aids),
      suffix_array_(suffix_array),
      old_data_(old_data),
      old_length_(old_length),
      new_data_(new_data),
      new_length_(new_length),
      tree_nodes_(aids != nullptr && aids->tree.levels > 0 ? aids->tree.blocks[0].nodes : nullptr),
      tree_blocks_(tree_nodes_ != nullptr ? tree_block_count(aids->tree.levels) : 0),
      ranks_(ranks) {
  // The high bound starts at the last suffix, which no probe reads.
  last_start_ = suffix_array_[old_length_];
}

Match MatchLookahead::find(std::int32_t position, std::int64_t* long_compared) {
  assert(position >= 0 && position < new_length_);
  const bool next = position == last_position_ + 1;
  last_position_ = position;
  Match match;
  if (position >= first_ && position - first_ < ready_) {
    last_end_ = ends_[position - first_];
    return results_[position - first_];
  }
  if (next && ranks_ != nullptr &&
      continue_search(*ranks_, old_data_, old_length_, new_data_ + position, new_length_ - position,
                      last_end_, &last_end_, &match)) {
    return match;
  }
  long_compared_ = long_compared;
  // The scan went on from the last search: it is likely to go on. Anything
  // else is a jump, after which it may soon jump again.
  batch_ = next ? std::min(2 * batch_, kMaxBatch) : kMinBatch;
  run_batch(position, static_cast<int>(std::min<std::int32_t>(batch_, new_length_ - position)));
  last_end_ = ends_[0];
  return results_[0];
}

void MatchLookahead::run_batch(std::int32_t first, int count) {
  count_ = count;
  int left = count;
  for (int i = 0; i < count; ++i) {
    begin_search(searches_[i], first + i);
    if (searches_[i].stage == Stage::kDone) {
      results_[i] = finish(searches_[i], &ends_[i]);
      --left;
    }
  }
  // Each round moves every search one stage on: what a stage reads was
  // fetched by the stage before, a round earlier, while the other
  // searches worked.
  while (left > 0) {
    for (int i = 0; i < count; ++i) {
      Search& search = searches_[i];
      switch (search.stage) {
        case Stage::kDone:
          continue;
        case Stage::kTree:
          walk_down(search);
          break;
        case Stage::kReadEntry:
          read_entry(search);
          break;
        case Stage::kProbe:
          probe(search);
          break;
      }
      if (search.stage == Stage::kDone) {
        results_[i] = finish(search, &ends_[i]);
        --left;
      }
    }
  }
  first_ = first;
  ready_ = count;
}

// span_from over the new data's stretches. The scan asks for positions in
// ascending order, so a cursor replaces the binary search.
PeriodicSpan MatchLookahead::span_in_new(std::int32_t position) {
  if (aids_ == nullptr) return {};
  const StretchList& list = aids_->new_stretches;
  const Stretch* stretches = list.stretches.get();
  if (stretch_cursor_ > 0 && stretches[stretch_cursor_ - 1].end > position) {
    stretch_cursor_ = static_cast<std::int32_t>(
        std::upper_bound(stretches, stretches + list.count, position,
                         [](std::int32_t at, const Stretch& stretch) { return at < stretch.end; }) -
        stretches);
  }
  while (stretch_cursor_ < list.count && stretches[stretch_cursor_].end <= position) {
    ++stretch_cursor_;
  }
  if (stretch_cursor_ == list.count || stretches[stretch_cursor_].start > position) return {};
  const Stretch& stretch = stretches[stretch_cursor_];
  return {stretch.period, stretch.end - position};
}

void MatchLookahead::begin_search(Search& search, std::int32_t position) {
  search.target = new_data_ + position;
  search.target_length = new_length_ - position;
  search.span = span_in_new(position);
  search.low = 0;
  search.high = old_length_;
  search.low_start = suffix_array_[0];  // the empty suffix: it agrees with nothing
  search.high_start = last_start_;
  search.low_agreement = 0;
  search.high_agreement = 0;  // known to agree that far; finish reads the rest if needed
  search.block = 0;
  search.local = tree_blocks_ > 0 ? 1 : 0;
  search.block_fetched = false;
  walk_down(search);
}

// The exact agreement of the suffix with the target, over the bytes both
// have, knowing the first `known` agree.
std::int32_t MatchLookahead::agreement(const std::uint8_t* suffix, std::int32_t suffix_length,
                                       const Search& search, std::int32_t known) const {
  const std::int32_t compared = std::min(suffix_length, search.target_length);
  assert(known <= compared);
  std::int32_t agreement =
      agreement_from_offset(suffix, search.target, known, std::min(compared, known + kDirectBytes));
  if (agreement == known + kDirectBytes && agreement < compared) {
    // A long agreement: where both lie in stretches of one period, the
    // stretches tell how far it goes.
    std::int32_t read_from = agreement;
    if (search.span.period != 0) {
      read_from = std::max(agreement,
                           agreement_from(span_from(aids_->old_stretches,
                                                    static_cast<std::int32_t>(suffix - old_data_)),
                                          suffix, search.span, search.target));
    }
    agreement = agreement_from_offset(suffix, search.target, read_from, compared);
    // --- Counting for the switch to the mapped search, as the plain search
    // counts: bytes read past the first kLongComparison, those the
    // stretches skipped left out.
    const std::int64_t read = (agreement - read_from) + kDirectBytes;
    if (long_compared_ != nullptr && read > kLongComparison) {
      *long_compared_ += read - kLongComparison;
    }
  }
  return agreement;
}

// Moves the search down to the next probe that needs the suffix array or the
// old data, deciding on the way what the tree decides, and fetches what
// that probe reads first.
void MatchLookahead::walk_down(Search& search) const {
  search.known = -1;
  if (search.local != 0 && !walk_tree(search)) return;
  if (search.high - search.low < 2) {
    search.stage = Stage::kDone;
    return;
  }
  search.midpoint = search.low + (search.high - search.low) / 2;
  if (search.known < 0) search.known = std::min(search.low_agreement, search.high_agreement);
  if (search.local == 0 && search.high - search.low <= kSuffixBlock) {
    if (search.block_fetched) {
      read_entry(search);
      return;
    }
    // The last probes lie in a few lines of the suffix array: fetch them
    // all at once.
    for (std::int32_t i = search.low; i <= search.high; i += 16) {
      __builtin_prefetch(suffix_array_ + i);
    }
    __builtin_prefetch(suffix_array_ + search.high);
    search.block_fetched = true;
  } else {
    __builtin_prefetch(suffix_array_ + search.midpoint);
    if (count_ <= kNarrowBatch) {
      // Too few searches to keep the memory busy: the next probe is at one
      // of two places, so both entries are fetched while this probe runs.
      __builtin_prefetch(suffix_array_ + search.low + (search.midpoint - search.low) / 2);
      __builtin_prefetch(suffix_array_ + search.midpoint + (search.high - search.midpoint) / 2);
    }
  }
  search.stage = Stage::kReadEntry;
}

// The probes that the tree decides, in a loop that keeps the search in
// registers and chooses without branches. Stops at a probe the tree cannot
// decide (setting search.known when a head tied), below the tree, at the
// end, or at a block that is not in the cache: then the search waits a
// round for it, and the result is false.
bool MatchLookahead::walk_tree(Search& search) const {
  std::int32_t low = search.low;
  std::int32_t high = search.high;
  std::int32_t low_start = search.low_start;
  std::int32_t high_start = search.high_start;
  std::int32_t low_agreement = search.low_agreement;
  std::int32_t high_agreement = search.high_agreement;
  std::size_t block = search.block;
  unsigned local = search.local;
  bool waiting = false;
  while (high - low >= 2) {
    // Every suffix of the interval shares `shared` bytes with both bounds;
    // the target shares them too when it agrees that far with either.
    const std::uint64_t node = tree_nodes_[8 * block + local - 1];
    const auto shared = static_cast<std::int32_t>(node & 0xFFFF);
    if (shared == static_cast<std::int32_t>(kUnknownShared) ||
        std::max(low_agreement, high_agreement) < shared ||
        search.target_length - shared < kTreeHeadBytes) {
      break;
    }
    const std::uint64_t target_head =
        tree_head(search.target + shared, search.target_length - shared);
    const std::uint64_t differ = (node ^ target_head) >> 16;
    if (differ == 0) {
      search.known = shared + kTreeHeadBytes;  // the old bytes after the head decide
      break;
    }
    const bool below = node < target_head;
    const std::int32_t agreement = shared + (__builtin_clzll(differ) - 16) / 8;
    const std::int32_t midpoint = low + (high - low) / 2;
    low = below ? midpoint : low;
    high = below ? high : midpoint;
    low_agreement = below ? agreement : low_agreement;
    high_agreement = below ? high_agreement : agreement;
    low_start = below ? -1 : low_start;  // read when needed
    high_start = below ? high_start : -1;
    local = 2 * local + (below ? 1 : 0);
    if (local >= 8) {
      // The eight blocks below block b are 8b + 1 to 8b + 8.
      block = 8 * block + local - 7;
      local = 1;
      if (block >= tree_blocks_) {
        local = 0;
        break;
      }
      if (block >= kHotTreeBlocks) {
        __builtin_prefetch(tree_nodes_ + 8 * block);
        if (count_ <= kNarrowBatch && 8 * block + 8 < tree_blocks_) {
          // Too few searches to keep the memory busy: the next block is one
          // of eight neighbours, fetched with this one.
          for (std::size_t next = 8 * block + 1; next <= 8 * block + 8; ++next) {
            __builtin_prefetch(tree_nodes_ + 8 * next);
          }
        }
        waiting = true;
        break;
      }
    }
  }
  search.low = low;
  search.high = high;
  search.low_start = low_start;
  search.high_start = high_start;
  search.low_agreement = low_agreement;
  search.high_agreement = high_agreement;
  search.block = block;
  search.local = static_cast<std::uint8_t>(local);
  if (waiting) search.stage = Stage::kTree;
  return !waiting;
}

void MatchLookahead::read_entry(Search& search) const {
  search.start = suffix_array_[search.midpoint];
  __builtin_prefetch(old_data_ + search.start + search.known);
  if (count_ <= kNarrowBatch && search.block_fetched && search.high - search.low >= 4) {
    // Too few searches to keep the memory busy, and the suffix-array lines
    // are at hand: the old bytes of both possible next probes are fetched
    // while this one waits.
    const std::int32_t left = search.low + (search.midpoint - search.low) / 2;
    const std::int32_t right = search.midpoint + (search.high - search.midpoint) / 2;
    __builtin_prefetch(old_data_ + suffix_array_[left] + search.known);
    __builtin_prefetch(old_data_ + suffix_array_[right] + search.known);
  }
  search.stage = Stage::kProbe;
}

// The probe at search.start, whose old bytes were fetched a round before:
// find_longest_match's comparison rule, with the bytes skipped that are
// known to agree.
void MatchLookahead::probe(Search& search) const {
  const std::uint8_t* suffix = old_data_ + search.start;
  const std::int32_t suffix_length = old_length_ - search.start;
  const std::int32_t found = agreement(suffix, suffix_length, search, search.known);
  const bool below =
      found < std::min(suffix_length, search.target_length) && suffix[found] < search.target[found];
  if (below) {
    search.low = search.midpoint;
    search.low_start = search.start;
    search.low_agreement = found;
  } else {
    search.high = search.midpoint;
    search.high_start = search.start;
    search.high_agreement = found;
  }
  if (search.local != 0) {
    const unsigned local = 2 * search.local + (below ? 1 : 0);
    search.local = static_cast<std::uint8_t>(local);
    if (local >= 8) {
      search.block = 8 * search.block + local - 7;
      search.local = 1;
      if (search.block >= tree_blocks_) {
        search.local = 0;
      } else if (search.block >= kHotTreeBlocks) {
        __builtin_prefetch(tree_nodes_ + 8 * search.block);
        search.stage = Stage::kTree;
        return;
      }
    }
  }
  walk_down(search);
}

// choose_candidate over the final bounds: the longer match, the high one on
// a tie.
Match MatchLookahead::finish(Search& search, SearchEnd* end) const {
  if (search.high == old_length_) {
    // Never probed: the last suffix's agreement was only known to be 0.
    search.high_agreement =
        agreement(old_data_ + last_start_, old_length_ - last_start_, search, 0);
  }
  // The bounds are neighbours in the suffix array: mostly on one line.
  *end = SearchEnd{search.low,
                   search.high,
                   search.low_start >= 0 ? search.low_start : suffix_array_[search.low],
                   search.high_start >= 0 ? search.high_start : suffix_array_[search.high],
                   search.low_agreement,
                   search.high_agreement};
  return end->low_agreement > end->high_agreement ? Match{end->low_agreement, end->low_start}
                                                  : Match{end->high_agreement, end->high_start};
}

}  // namespace core
