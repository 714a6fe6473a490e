// diff from start to end over plain arrays: the one driver that the module,
// the benchmark, the fuzzers and the tests all run. Nothing here touches the
// interpreter, so the module runs all of it with the interpreter lock
// released; all working memory comes from the C++ heap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "delta/delta_scan.h"
#include "delta/suffix_array.h"
#include "module/delta.h"
#include "module/heap_array.h"

namespace core {

// Threads that scan side by side, at most.
constexpr int kMaxScanThreads = 16;

struct ScanSettings {
  // Threads that scan side by side: 1 scans on the calling thread alone, 0
  // lets the driver choose (one per core, up to kMaxScanThreads).
  int threads = 0;
  // Where threads scan, the new data is cut into pieces of about this many
  // bytes; 0 lets the driver choose. Tests set it small to cut small inputs.
  std::int32_t piece_length = 0;
  // Each scan runs the searches of the positions just ahead of it together
  // (MatchLookahead); without, one at a time, with the same results.
  bool lookahead = true;
};

// How the scans of one diff handed over to one another, for the tests that
// must reach every case: a hand-over is a scan that met a later piece's
// recorded state and took the piece's entries over from there; a piece
// scanned ahead that no scan met is scanned again or its entries go unused.
struct HandOvers {
  int count = 0;
  // What the pieces cost: the searches of all the scans together, where one
  // scan from the start makes one per position it searches.
  std::int64_t searches = 0;
  // The recorded pass starts of their pieces they happened at, the earliest
  // and the latest, counted from 0: each piece records its first pass starts
  // one by one, later ones sparsely.
  std::size_t earliest_record = SIZE_MAX;
  std::size_t latest_record = 0;
  int unmet_pieces = 0;

  void add(std::size_t record) {
    ++count;
    if (record < earliest_record) earliest_record = record;
    if (record > latest_record) latest_record = record;
  }
};

// The number of threads the settings ask for: settings.threads, at most
// kMaxScanThreads, or where it is 0 the machine's cores (1 where the
// machine does not say).
int scan_threads(const ScanSettings& settings);

// Runs the whole scan over the new data and appends every control entry, in
// order, to `entries`. On several threads, the new data is cut into pieces,
// each scanned from a state of its own at its start until its scan meets
// the next piece's (delta/piece_scan.cpp); the entries are exactly those of
// one scan from the start, whatever the threads and pieces. Returns false
// when memory ran short. With `mapped`, each thread's scanner may switch to
// the mapped search (delta/scan_search.h).
// With `ranks`, the searches that run ahead start where the last one ended
// once the rank array is there. With `hand_overs`, says how the scans met.
bool scan_delta(const DeltaInputs& inputs, const ScanSettings& settings,
                GrowableArray<ControlEntry>* entries, MappedSearchIndex* mapped = nullptr,
                SharedSuffixRank* ranks = nullptr, HandOvers* hand_overs = nullptr);

// Byte lengths of the two blocks of the Delta made of these entries.
struct BlockLengths {
  std::int64_t diff = 0;
  std::int64_t extra = 0;
};
BlockLengths block_lengths(const ControlEntry* entries, std::size_t count);

// Writes the diff block and the extra block of the Delta that diff made of
// these entries: block_lengths() bytes each. Every entry's diff run is the
// new bytes less the old bytes it lines up with, and its extra run the new
// bytes after them, at the places the entries before it determine.
void write_delta_blocks(const std::uint8_t* old_data, std::int32_t old_length,
                        const std::uint8_t* new_data, std::int32_t new_length,
                        const ControlEntry* entries, std::size_t count, std::uint8_t* diff_block,
                        std::uint8_t* extra_block);

struct DiffSettings {
  SuffixSorter sorter = SuffixSorter::kFastest;
  // The search's aids only save time: without them the Delta is the same.
  bool search_aids = true;
  // Nor does the rank array (delta/suffix_rank.h), 4 bytes per old byte,
  // done without where it cannot be had. It is not built unless asked for:
  // measured on two builds of a stripped library and of one with debug
  // info, the searches it settles save no more than building it costs (the
  // scan as fast without it, or faster), so it would only add its memory.
  // kAuto builds it once the scan's searches suggest it may pay
  // (delta/scan_search.h).
  SuffixRankUse suffix_rank = SuffixRankUse::kNever;
  // Nor does the mapped search, nor when the scan switches to it: kAlways
  // and kNever are for tests and measurements.
  MappedSearchUse mapped_search = MappedSearchUse::kAuto;
  ScanSettings scan;
  // Called once the old data's suffixes are sorted, before anything reads
  // the inputs again. The module reads a file mapped for reading in place,
  // and another process may write the file meanwhile: tests stand for that
  // process here, so that the scan is shown to stay in bounds and to return
  // whatever the bytes it finds.
  void (*after_sort)(void* context) = nullptr;
  void* after_sort_context = nullptr;
};

// Seconds spent in the suffix sort and in the rest (aids and scan), on the
// clock and in processor time (std::clock: where the benchmark runs, the
// time of every thread of the process; the periodic stretches, an aid found
// beside the sort where threads may scan, count with the scan), and whether
// the scan built the mapped search's index and the rank array, and how its
// threads handed over.
struct DiffTimings {
  double sort_seconds = 0;
  double scan_seconds = 0;
  double sort_cpu_seconds = 0;
  double scan_cpu_seconds = 0;
  bool index_built = false;
  bool rank_built = false;
  HandOvers hand_overs;
};

// Every control entry of diff(old, new): sorts the suffixes of the old data,
// builds the search's aids and scans. Returns false when memory ran short.
bool compute_delta(const std::uint8_t* old_data, std::int32_t old_length,
                   const std::uint8_t* new_data, std::int32_t new_length,
                   const DiffSettings& settings, GrowableArray<ControlEntry>* entries,
                   DiffTimings* timings = nullptr);

}  // namespace core
