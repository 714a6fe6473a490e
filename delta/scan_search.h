// The search the scan makes at each position, and when it switches from the
// plain search to the mapped one (delta/mapped_search.h).
//
// The mapped search needs an index of about 8 bytes per old byte that takes
// time in proportion to the old data to build, which ordinary data must not
// pay. So a scanner starts with the plain search, which counts the bytes it
// compares in long comparisons, and switches once they pass a bound in
// proportion to the input sizes: the work done before the switch stays in
// proportion to the inputs too. Both searches give the same answers, so
// when, or whether, a scanner switches changes no byte of the Delta.
#pragma once

#include <cstdint>
#include <mutex>

#include "delta/mapped_agreement.h"
#include "delta/mapped_search.h"
#include "delta/suffix_lcp.h"

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

// What the scanners of one diff share: the inputs and the index, built by
// the first scanner that switches, on the ranks of the old suffixes where
// they are given (delta/suffix_rank.h), which it then need not hold twice.
class MappedSearchIndex {
 public:
  MappedSearchIndex(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                    std::int32_t old_length, std::int32_t new_length, MappedSearchUse use,
                    const std::int32_t* ranks = nullptr);
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
  const std::int32_t* ranks_;
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
