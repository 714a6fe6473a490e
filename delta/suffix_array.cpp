// Prefix doubling: a counting sort by first byte, then passes that refine
// every unfinished group by the group number of the suffix `depth` bytes on,
// doubling depth after each pass. Group numbers live in one rank array that
// is rewritten in place, so a group refined later in a pass already sees what
// earlier refinements of the same pass wrote.
//
// Indices that may reach old_length + 1 (an exclusive end) are held in 64
// bits: with old_length = 2^31 - 1 that bound no longer fits in 32.
#include "delta/suffix_array.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <type_traits>
#include <utility>

#ifdef CORE_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

#include "module/heap_array.h"

namespace core {
namespace {

constexpr std::int32_t kSortedMarker = -1;
// Below this many entries a group is sorted by repeated selection, which
// beats counting and partitioning on tiny groups.
constexpr std::int64_t kSmallGroup = 16;
constexpr int kByteValues = 256;

inline std::int32_t sort_key(const std::int32_t* suffix_array, const std::int32_t* rank,
                             std::int64_t index, std::int32_t depth) {
  // Only group members have keys: a sorted run's entries are never compared.
  assert(suffix_array[index] >= 0);
  return rank[suffix_array[index] + depth];
}

// Repeated selection of the smallest key for a group below kSmallGroup.
void select_small_group(std::int32_t* suffix_array, std::int32_t* rank, std::int64_t group_start,
                        std::int64_t group_length, std::int32_t depth) {
  const std::int64_t end = group_start + group_length;
  std::int64_t k = group_start;
  while (k < end) {
    std::int32_t smallest = sort_key(suffix_array, rank, k, depth);
    std::int64_t count = 1;
    for (std::int64_t i = k + 1; i < end; ++i) {
      const std::int32_t key = sort_key(suffix_array, rank, i, depth);
      if (key < smallest) {
        smallest = key;
        count = 0;
      }
      if (key == smallest) {
        std::swap(suffix_array[k + count], suffix_array[i]);
        ++count;
      }
    }
    // The new group is numbered before the next selection reads any key.
    const auto group_number = static_cast<std::int32_t>(k + count - 1);
    for (std::int64_t i = k; i < k + count; ++i) rank[suffix_array[i]] = group_number;
    if (count == 1) suffix_array[k] = kSortedMarker;
    k += count;
  }
}

// Three-way partition on the key of the middle entry: less part, equal part,
// greater part, in that order.
DeferredPartition partition_group(std::int32_t* suffix_array, const std::int32_t* rank,
                                  std::int64_t group_start, std::int64_t group_length,
                                  std::int32_t depth) {
  const std::int64_t end = group_start + group_length;
  const std::int32_t pivot = sort_key(suffix_array, rank, group_start + group_length / 2, depth);

  std::int64_t less_count = 0;
  std::int64_t equal_count = 0;
  for (std::int64_t i = group_start; i < end; ++i) {
    const std::int32_t key = sort_key(suffix_array, rank, i, depth);
    if (key < pivot)
      ++less_count;
    else if (key == pivot)
      ++equal_count;
  }
  const std::int64_t equal_start = group_start + less_count;
  const std::int64_t greater_start = equal_start + equal_count;

  // The counts fix every part's bounds, so each misplaced entry is swapped
  // straight into the next free slot of its own part. The entry swapped in
  // is examined next, which is why i stays put after a swap.
  std::int64_t equal_fill = 0;
  std::int64_t greater_fill = 0;
  std::int64_t i = group_start;
  while (i < equal_start) {
    const std::int32_t key = sort_key(suffix_array, rank, i, depth);
    if (key < pivot) {
      ++i;
    } else if (key == pivot) {
      std::swap(suffix_array[i], suffix_array[equal_start + equal_fill]);
      ++equal_fill;
    } else {
      std::swap(suffix_array[i], suffix_array[greater_start + greater_fill]);
      ++greater_fill;
    }
  }
  while (equal_start + equal_fill < greater_start) {
    const std::int64_t at = equal_start + equal_fill;
    if (sort_key(suffix_array, rank, at, depth) == pivot) {
      ++equal_fill;
    } else {
      std::swap(suffix_array[at], suffix_array[greater_start + greater_fill]);
      ++greater_fill;
    }
  }
  return DeferredPartition{equal_start, greater_start, end};
}

// Numbers the equal part once its less part is done. Returns true, with the
// greater part as the next group, when there is a greater part left.
bool settle_partition(std::int32_t* suffix_array, std::int32_t* rank, const DeferredPartition& part,
                      std::int64_t& group_start, std::int64_t& group_length) {
  const auto group_number = static_cast<std::int32_t>(part.greater_start - 1);
  for (std::int64_t i = part.equal_start; i < part.greater_start; ++i) {
    rank[suffix_array[i]] = group_number;
  }
  if (part.equal_start == part.greater_start - 1) {
    suffix_array[part.equal_start] = kSortedMarker;
  }
  if (part.greater_start == part.end) return false;
  group_start = part.greater_start;
  group_length = part.end - part.greater_start;
  return true;
}

}  // namespace

RefineStack::~RefineStack() {
  if (frames_ != inline_frames_) std::free(frames_);
}

bool RefineStack::push(const DeferredPartition& partition) {
  if (size_ == capacity_) {
    const std::size_t capacity = capacity_ * 2;
    void* grown = frames_ == inline_frames_
                      ? std::malloc(capacity * sizeof(DeferredPartition))
                      : std::realloc(frames_, capacity * sizeof(DeferredPartition));
    if (grown == nullptr) return false;
    auto* frames = static_cast<DeferredPartition*>(grown);
    if (frames_ == inline_frames_) {
      for (std::size_t i = 0; i < size_; ++i) frames[i] = inline_frames_[i];
    }
    frames_ = frames;
    capacity_ = capacity;
  }
  frames_[size_++] = partition;
  return true;
}

// Each partition's less part is refined completely before its equal part is
// numbered, and the greater part comes last. Instead of a nested call per
// less part, the partition waits on `pending`, so the order of steps is that
// of the recursive method while the C stack stays flat.
bool refine_group(std::int32_t* suffix_array, std::int32_t* rank, std::int32_t group_start,
                  std::int32_t group_length, std::int32_t depth, RefineStack& pending) {
  const std::size_t outer_frames = pending.size();
  std::int64_t start = group_start;
  std::int64_t length = group_length;
  for (;;) {
    if (length >= kSmallGroup) {
      const DeferredPartition part = partition_group(suffix_array, rank, start, length, depth);
      if (part.equal_start > start) {
        if (!pending.push(part)) return false;
        length = part.equal_start - start;
        continue;
      }
      if (settle_partition(suffix_array, rank, part, start, length)) continue;
    } else {
      select_small_group(suffix_array, rank, start, length, depth);
    }
    // The group at hand is finished: resume the innermost waiting partition.
    for (;;) {
      if (pending.size() == outer_frames) return true;
      if (settle_partition(suffix_array, rank, pending.pop(), start, length)) break;
    }
  }
}

void sort_by_first_byte(std::int32_t* suffix_array, std::int32_t* rank,
                        const std::uint8_t* old_data, std::int32_t old_length) {
  const std::int64_t n = old_length;
  // Bucket b takes entries count[b-1] + 1 .. count[b], in ascending position
  // order; entry 0 is the empty suffix.
  std::int32_t count[kByteValues] = {};
  for (std::int64_t p = 0; p < n; ++p) ++count[old_data[p]];
  for (int b = 1; b < kByteValues; ++b) count[b] += count[b - 1];
  for (int b = kByteValues - 1; b > 0; --b) count[b] = count[b - 1];
  count[0] = 0;
  for (std::int64_t p = 0; p < n; ++p) {
    suffix_array[++count[old_data[p]]] = static_cast<std::int32_t>(p);
  }
  // count[b] is now the index of bucket b's last entry: its group number.
  for (std::int64_t p = 0; p < n; ++p) rank[p] = count[old_data[p]];
  rank[n] = 0;
  // A byte value that occurs once is already sorted. Value 0 is left out;
  // its lone suffix is marked by the first refinement pass instead.
  for (int b = 1; b < kByteValues; ++b) {
    if (count[b] == count[b - 1] + 1) suffix_array[count[b]] = kSortedMarker;
  }
  suffix_array[0] = kSortedMarker;
}

bool suffix_array_sorted(const std::int32_t* suffix_array, std::int32_t old_length) {
  // -(n + 1) fits in 32 bits even for n = 2^31 - 1.
  return suffix_array[0] == static_cast<std::int32_t>(-static_cast<std::int64_t>(old_length) - 1);
}

bool refine_pass(std::int32_t* suffix_array, std::int32_t* rank, std::int32_t old_length,
                 std::int32_t depth, RefineStack& pending) {
  const std::int64_t n = old_length;
  std::int64_t i = 0;
  std::int64_t sorted_run = 0;
  while (i <= n) {
    const std::int32_t entry = suffix_array[i];
    if (entry < 0) {
      sorted_run -= entry;
      i -= entry;
      continue;
    }
    // Runs met since the last group become one, so later passes step over
    // the finished part in one move.
    if (sorted_run != 0) {
      suffix_array[i - sorted_run] = static_cast<std::int32_t>(-sorted_run);
    }
    // Read before refine_group rewrites the group's rank entries.
    const std::int32_t group_last = rank[entry];
    if (!refine_group(suffix_array, rank, static_cast<std::int32_t>(i),
                      static_cast<std::int32_t>(group_last - i + 1), depth, pending)) {
      return false;
    }
    i = static_cast<std::int64_t>(group_last) + 1;
    sorted_run = 0;
  }
  if (sorted_run != 0) {
    suffix_array[i - sorted_run] = static_cast<std::int32_t>(-sorted_run);
  }
  return true;
}

void finish_suffix_array(std::int32_t* suffix_array, const std::int32_t* rank,
                         std::int32_t old_length) {
  for (std::int64_t p = 0; p <= old_length; ++p) {
    suffix_array[rank[p]] = static_cast<std::int32_t>(p);
  }
}

bool build_suffix_array(std::int32_t* suffix_array, std::int32_t* rank,
                        const std::uint8_t* old_data, std::int32_t old_length) {
  sort_by_first_byte(suffix_array, rank, old_data, old_length);
  RefineStack pending;
  // Held in 64 bits: the last, merge-only pass may come at depth 2^31. No
  // group is left by then, since no string of 2^30 bytes occurs twice.
  for (std::int64_t depth = 1; !suffix_array_sorted(suffix_array, old_length); depth *= 2) {
    const auto group_depth = static_cast<std::int32_t>(std::min<std::int64_t>(depth, INT32_MAX));
    if (!refine_pass(suffix_array, rank, old_length, group_depth, pending)) return false;
  }
  finish_suffix_array(suffix_array, rank, old_length);
  return true;
}

bool sort_suffixes(std::int32_t* suffix_array, const std::uint8_t* old_data,
                   std::int32_t old_length, SuffixSorter sorter) {
#ifdef CORE_HAVE_DIVSUFSORT
  if (sorter == SuffixSorter::kFastest) {
    // The library sorts the non-empty suffixes; the empty one is smallest.
    suffix_array[0] = old_length;
    if (old_length == 0) return true;
    static_assert(std::is_same_v<saidx_t, std::int32_t>, "the library's 32-bit index build");
    // It fails only when its own working memory cannot be had.
    return divsufsort(old_data, suffix_array + 1, old_length) == 0;
  }
#endif
  (void)sorter;
  HeapArray<std::int32_t> rank;
  if (!rank.allocate(static_cast<std::size_t>(old_length) + 1)) return false;
  return build_suffix_array(suffix_array, rank.get(), old_data, old_length);
}

}  // namespace core
