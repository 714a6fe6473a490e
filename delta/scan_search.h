// The search the scan makes at each position, when it switches from the
// plain search to the mapped one (delta/mapped_search.h), and when the
// scanners build the rank array that lets a search start where the last one
// ended (delta/suffix_rank.h).
//
// The mapped search needs an index of about 8 bytes per old byte that takes
// time in proportion to the old data to build, which ordinary data must not
// pay. So a scanner starts with the plain search, which counts the bytes it
// compares in long comparisons, and switches once they pass a bound in
// proportion to the input sizes: the work done before the switch stays in
// proportion to the inputs too. Both searches give the same answers, so
// when, or whether, a scanner switches changes no byte of the Delta.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "delta/mapped_agreement.h"
#include "delta/mapped_search.h"
#include "delta/suffix_lcp.h"
#include "delta/suffix_rank.h"

namespace core {

enum class MappedSearchUse {
  kAuto,    // once the plain search has compared too many bytes
  kAlways,  // from the first search, where the index can be built
  kNever,
};

// Long comparisons a scanner may make, per byte of old and new data, before
// it switches. The benchmark corpus pairs make under one (binaries, source,
// a tar of many files, copies within random data); 65 bytes of random data
// repeated to 1 MiB passes it within a few searches.
constexpr std::int64_t kLongComparedPerInputByte = 32;

enum class SuffixRankUse {
  kAuto,    // once the searches that could start where the last one ended add up
  kAlways,  // from the first search, where the array can be had
  kNever,
};

// Searches at the position after the last one, per old byte, before the
// scanners build the rank array. The array costs a write per old byte, at
// places nothing predicts, and repays it only where the scan searches most
// positions of the new data: binaries, whose changed parts it searches
// position by position, pass the bound within the first fifth of their
// scan; text, random data and repeats, whose matches it mostly skips, never
// do, and never pay for it.
constexpr std::int64_t kOldBytesPerContinuedSearch = 8;

// The rank array the scanners of one diff share: built by the first
// scanner whose searches pass the bound (on as many threads as scan), while
// the others search on without it until it is there. Whether it is there
// changes no answer of any search.
class SharedSuffixRank {
 public:
  // With kAlways the array is built here; either way on up to `threads`
  // threads.
  SharedSuffixRank(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                   std::int32_t old_length, SuffixRankUse use, int threads);
  SharedSuffixRank(const SharedSuffixRank&) = delete;
  SharedSuffixRank& operator=(const SharedSuffixRank&) = delete;

  // The array once built; null before it is, and always when memory for it
  // was short. Any thread may call it.
  const SuffixRank* get() const { return ready_.load(std::memory_order_acquire); }
  // A scanner made `searches` more searches at the position after its last
  // one: builds the array once they add up to the bound.
  void add_continued(std::int64_t searches);

 private:
  void build(int threads);

  const std::int32_t* suffix_array_;
  const std::uint8_t* old_data_;
  std::int32_t old_length_;
  std::int64_t bound_;
  int threads_;
  std::atomic<std::int64_t> continued_{0};
  std::atomic<const SuffixRank*> ready_{nullptr};
  std::mutex mutex_;
  bool tried_ = false;
  SuffixRank aid_;
};

// What the scanners of one diff share: the inputs and the index, built by
// the first scanner that switches, on the rank array where the scanners
// have built it, which it then need not hold twice.
class MappedSearchIndex {
 public:
  MappedSearchIndex(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                    std::int32_t old_length, std::int32_t new_length, MappedSearchUse use,
                    const SharedSuffixRank* ranks = nullptr);
  MappedSearchIndex(const MappedSearchIndex&) = delete;
  MappedSearchIndex& operator=(const MappedSearchIndex&) = delete;

  MappedSearchUse use() const { return use_; }
  std::int64_t long_compared_bound() const { return long_compared_bound_; }
  // The index, built on the first call; null, on every call, when memory
  // for it was short. Any thread may call it.
  const SuffixLcpIndex* get();
  bool built();

 private:
  const std::int32_t* suffix_array_;
  const std::uint8_t* old_data_;
  std::int32_t old_length_;
  const SharedSuffixRank* ranks_;
  MappedSearchUse use_;
  std::int64_t long_compared_bound_;
  std::mutex mutex_;
  bool tried_ = false;
  SuffixLcpIndex index_;
};

// One scanner's search state: one per thread that scans.
struct ScanSearcher {
  // Runs the plain searches ahead of the scan in batches; null: one at a
  // time, with the same results.
  MatchLookahead* lookahead = nullptr;
  MappedSearchIndex* shared = nullptr;  // null: the plain search alone, uncounted
  std::int64_t long_compared = 0;
  // The rank array, handed to the lookahead once it is there; null: none.
  SharedSuffixRank* ranks = nullptr;
  std::int32_t last_position = -1;        // of the latest search
  std::int64_t searches = 0;              // made, for the account of the scans' work
  std::int64_t continued = 0;             // searches at the position after the last, not yet added
  bool ranked = false;                    // the lookahead has the array
  const SuffixLcpIndex* index = nullptr;  // set once the scanner has switched
  MatchMapping mapping;                   // the searches'
  AgreementMaps agreements;               // the entries' extensions'
};

// The search at `position` of the new data, as find_longest_match from
// bounds 0 and old_length gives it, by whichever search the scanner uses.
std::int32_t search_for_scan(ScanSearcher& searcher, const SearchAids* aids,
                             const std::int32_t* suffix_array, const std::uint8_t* old_data,
                             std::int32_t old_length, const std::uint8_t* new_data,
                             std::int32_t new_length, std::int32_t position,
                             std::int32_t* match_position);

}  // namespace core
