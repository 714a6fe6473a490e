// Suffix sorting of the old data by prefix doubling.
//
// Both arrays hold old_length + 1 entries. While the sort runs, a negative
// suffix-array entry -L starts a run of L suffixes already in their final
// places, and rank[p] is the group number of the suffix at p: the
// suffix-array index of the last entry of its group.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

// A group partitioned by refine_group whose equal part and greater part wait
// until its less part has been refined.
struct DeferredPartition {
  std::int64_t equal_start;
  std::int64_t greater_start;
  std::int64_t end;
};

// The pending work of refine_group, kept on the heap rather than the C stack:
// the nesting on less parts can grow with the group length, and diff may run
// on a thread with a small stack. Memory comes from malloc, not from the
// interpreter, because it is taken while the interpreter lock is released.
class RefineStack {
 public:
  RefineStack() = default;
  RefineStack(const RefineStack&) = delete;
  RefineStack& operator=(const RefineStack&) = delete;
  ~RefineStack();

  bool push(const DeferredPartition& partition);  // false when out of memory
  DeferredPartition pop() { return frames_[--size_]; }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kInlineFrames = 64;
  DeferredPartition inline_frames_[kInlineFrames] = {};
  DeferredPartition* frames_ = inline_frames_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInlineFrames;
};

// Which sorter sort_suffixes uses. Every sorter gives the same array: the
// suffix array of all suffixes, the empty one first, is unique.
enum class SuffixSorter {
  kFastest,  // libdivsufsort where the build links it, else the built-in sort
  kBuiltIn,  // build_suffix_array below, with a rank array of its own
};

// True when this build links libdivsufsort (CMake finds it, unless
// CORE_BUILTIN_SORT is set).
#ifdef CORE_HAVE_DIVSUFSORT
constexpr bool kLibrarySorter = true;
#else
constexpr bool kLibrarySorter = false;
#endif

// Fills suffix_array (old_length + 1 entries) with the start of every suffix
// of old_data in ascending order, the empty suffix first. Returns false only
// when memory is short.
bool sort_suffixes(std::int32_t* suffix_array, const std::uint8_t* old_data,
                   std::int32_t old_length, SuffixSorter sorter);

// Sorts the suffixes of old_data[0, old_length) in ascending order, the empty
// suffix first. On success suffix_array[k] is the start of the k-th smallest
// suffix and rank is its inverse. Returns false only when the pending-work
// stack could not grow; the arrays then hold no meaningful order.
bool build_suffix_array(std::int32_t* suffix_array, std::int32_t* rank,
                        const std::uint8_t* old_data, std::int32_t old_length);

// The stages of build_suffix_array, exposed so that a test can watch the
// sort pass by pass.
// Counting sort by first byte: buckets become the first groups, bytes that
// occur once (other than 0) and the empty suffix are marked sorted.
void sort_by_first_byte(std::int32_t* suffix_array, std::int32_t* rank,
                        const std::uint8_t* old_data, std::int32_t old_length);
// True when entry 0 records one sorted run over all old_length + 1 entries.
bool suffix_array_sorted(const std::int32_t* suffix_array, std::int32_t old_length);
// One refinement pass: merges neighbouring sorted runs and refines every
// group at `depth`. Returns false only when `pending` could not grow.
bool refine_pass(std::int32_t* suffix_array, std::int32_t* rank, std::int32_t old_length,
                 std::int32_t depth, RefineStack& pending);
// Writes each suffix's start at its final index: rank[p] for the suffix at p.
void finish_suffix_array(std::int32_t* suffix_array, const std::int32_t* rank,
                         std::int32_t old_length);

// Orders the group suffix_array[group_start, group_start + group_length) by
// the key rank[p + depth] of each member p, splits it into new groups of equal
// key, writes their group numbers into rank and marks single entries -1.
// Keys are read as rank stands at that moment, so earlier rewrites count.
// Returns false only when `pending` could not grow.
bool refine_group(std::int32_t* suffix_array, std::int32_t* rank, std::int32_t group_start,
                  std::int32_t group_length, std::int32_t depth, RefineStack& pending);

}  // namespace core
