// The diff driver: sort, aids, scan (delta/piece_scan.cpp), and the blocks
// from the entries.
#include "delta/delta_driver.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <ctime>
#include <system_error>
#include <thread>

#include "delta/match_search.h"

namespace core {
namespace {

// Below this much data a second thread does not pay for itself.
constexpr std::int64_t kMinThreadedBytes = 1 << 20;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double cpu_seconds_since(std::clock_t start) {
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

// Processor time of the calling thread where the platform keeps it (POSIX);
// 0 elsewhere, where only the benchmark's split of it would miss it.
double thread_cpu_seconds() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  timespec now;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == 0) return now.tv_sec + now.tv_nsec * 1e-9;
#endif
  return 0;
}

}  // namespace

BlockLengths block_lengths(const ControlEntry* entries, std::size_t count) {
  BlockLengths lengths;
  for (std::size_t i = 0; i < count; ++i) {
    lengths.diff += entries[i].diff_length;
    lengths.extra += entries[i].extra_length;
  }
  return lengths;
}

void write_delta_blocks(const std::uint8_t* old_data, std::int32_t old_length,
                        const std::uint8_t* new_data, std::int32_t new_length,
                        const ControlEntry* entries, std::size_t count, std::uint8_t* diff_block,
                        std::uint8_t* extra_block) {
  std::int64_t new_position = 0;
  std::int64_t old_position = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const ControlEntry& entry = entries[i];
    // diff's own entries: their runs tile the new data and read old bytes
    // only inside the old data.
    assert(entry.diff_length >= 0 && entry.extra_length >= 0);
    assert(new_position + entry.diff_length + entry.extra_length <= new_length);
    assert(entry.diff_length == 0 ||
           (old_position >= 0 && old_position + entry.diff_length <= old_length));
    (void)old_length;
    (void)new_length;
    const std::uint8_t* new_run = new_data + new_position;
    const std::uint8_t* old_run = old_data + old_position;
    for (std::int32_t k = 0; k < entry.diff_length; ++k) {
      diff_block[k] = static_cast<std::uint8_t>(new_run[k] - old_run[k]);
    }
    std::copy(new_run + entry.diff_length, new_run + entry.diff_length + entry.extra_length,
              extra_block);
    diff_block += entry.diff_length;
    extra_block += entry.extra_length;
    new_position += static_cast<std::int64_t>(entry.diff_length) + entry.extra_length;
    old_position += static_cast<std::int64_t>(entry.diff_length) + entry.old_adjustment;
  }
}

bool compute_delta(const std::uint8_t* old_data, std::int32_t old_length,
                   const std::uint8_t* new_data, std::int32_t new_length,
                   const DiffSettings& settings, GrowableArray<ControlEntry>* entries,
                   DiffTimings* timings) {
  auto start = std::chrono::steady_clock::now();
  std::clock_t cpu_start = std::clock();
  HeapArray<std::int32_t> suffix_array;
  if (!suffix_array.allocate(static_cast<std::size_t>(old_length) + 1)) return false;
  // The periodic stretches of both inputs need no suffix array: where a
  // second core is there, they are found while the suffixes are sorted.
  SearchAids search_aids;
  const bool want_aids = settings.search_aids && new_length > 0;
  bool stretches_found = false;
  double stretches_cpu_seconds = 0;  // an aid's: the scan's stage is charged with them
  std::thread stretch_finder;
  if (want_aids && scan_threads(settings.scan) > 1 &&
      static_cast<std::int64_t>(old_length) + new_length >= kMinThreadedBytes) {
    try {
      stretch_finder = std::thread([&] {
        const double begun = thread_cpu_seconds();
        stretches_found =
            find_input_stretches(old_data, old_length, new_data, new_length, &search_aids);
        stretches_cpu_seconds = thread_cpu_seconds() - begun;
      });
    } catch (const std::system_error&) {
      // Found after the sort instead.
    }
  }
  const bool sorted = sort_suffixes(suffix_array.get(), old_data, old_length, settings.sorter);
  const bool stretches_ahead = stretch_finder.joinable();
  if (stretches_ahead) stretch_finder.join();
  if (!sorted) return false;
  if (settings.after_sort != nullptr) settings.after_sort(settings.after_sort_context);
  if (timings != nullptr) {
    timings->sort_seconds = seconds_since(start);
    timings->sort_cpu_seconds = cpu_seconds_since(cpu_start) - stretches_cpu_seconds;
  }

  start = std::chrono::steady_clock::now();
  cpu_start = std::clock();
  // Without the aids the scan only reads more.
  if (want_aids && !stretches_ahead) {
    stretches_found =
        find_input_stretches(old_data, old_length, new_data, new_length, &search_aids);
  }
  const bool aided = stretches_found &&
                     complete_search_aids(suffix_array.get(), old_data, old_length, &search_aids);
  // Where the rank array cannot be had, the searches go on without it.
  const SuffixRankUse rank_use = new_length > 0 ? settings.suffix_rank : SuffixRankUse::kNever;
  SharedSuffixRank ranks(suffix_array.get(), old_data, old_length, rank_use,
                         scan_threads(settings.scan));
  const DeltaInputs inputs{old_data,   old_length,         new_data,
                           new_length, suffix_array.get(), aided ? &search_aids : nullptr};
  MappedSearchIndex mapped(suffix_array.get(), old_data, old_length, new_length,
                           settings.mapped_search, &ranks);
  // Where it is never to be built, the scanners need not count their
  // searches for it.
  const bool scanned = scan_delta(inputs, settings.scan, entries, &mapped,
                                  rank_use != SuffixRankUse::kNever ? &ranks : nullptr,
                                  timings != nullptr ? &timings->hand_overs : nullptr);
  if (timings != nullptr) {
    timings->rank_built = ranks.get() != nullptr;
    timings->scan_seconds = seconds_since(start);
    timings->scan_cpu_seconds = cpu_seconds_since(cpu_start) + stretches_cpu_seconds;
    timings->index_built = mapped.built();
  }
  return scanned;
}

}  // namespace core
