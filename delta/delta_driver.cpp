// The diff driver: sort, aids, scan, and the blocks from the entries.
//
// The scan on two threads. A scan's state between passes decides every
// later pass and entry (delta_scan.h), and a scan started anywhere from any
// state soon falls into step with the scan from the start: the states meet
// at a pass start within a few passes of real data. So the second thread
// scans pieces of the new data ahead, from the last piece backward, each
// from a state of its own, and records each piece's first pass starts. The
// first thread scans from the start, taking every piece nobody has claimed
// as its own; at a piece the second thread scanned, it waits for it and
// looks for its own state among the recorded ones. Where they meet, it stops
// and takes the piece's entries from there on, and the piece's scan in turn
// took over the next piece's where they met, to the end. A piece whose
// states never meet is scanned again by whoever reaches it, so the entries
// are always exactly those of one scan from the start.
#include "delta/delta_driver.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "delta/match_search.h"
#include "delta/suffix_rank.h"

namespace core {
namespace {

// Below this a second thread does not pay for itself.
constexpr std::int32_t kMinPieceLength = 1 << 20;
// Enough pieces that the two threads finish close together.
constexpr int kMaxPieces = 16;
// Scans meet within a few passes of a piece's start on real data, so a
// piece records its first pass starts one by one. Once two scans are in
// step they stay in step, so for the rare pair that meets late every
// kSparsePassStarts-th pass start after that is enough, up to a bound on
// the memory.
constexpr std::size_t kDensePassStarts = 4096;
constexpr std::size_t kSparsePassStarts = 64;
constexpr std::size_t kMaxPassStarts = 1 << 16;

struct PassStart {
  DeltaScan state;
  std::size_t entries_before;  // entries the piece's scan had emitted by then
};

enum PieceStatus : int { kUnclaimed, kClaimed, kDone };

struct Piece {
  std::int32_t start = 0;
  std::atomic<int> status{kUnclaimed};
  // Filled by the second thread while the piece is kClaimed; read by the
  // first only once it is kDone.
  GrowableArray<ControlEntry> entries;
  GrowableArray<PassStart> pass_starts;
  bool usable = false;  // scanned to its end without running short of memory
  int met_piece = -1;   // the later piece whose recorded state the scan met
  std::size_t met_record = 0;
};

struct ScanJob {
  ScanJob(const DeltaInputs& scan_inputs, MappedSearchIndex* mapped_search)
      : inputs(scan_inputs), mapped(mapped_search) {}

  const DeltaInputs& inputs;
  bool lookahead = true;
  MappedSearchIndex* mapped;
  Piece pieces[kMaxPieces];
  int piece_count = 1;
  std::atomic<bool> cancelled{false};
  std::mutex mutex;
  std::condition_variable piece_done;
};

// Where a scan of a piece starts: as if the piece lined up with the old data
// at the same position. Any state in bounds would do; this one is often
// right for two versions of one file.
DeltaScan piece_start_state(std::int32_t start, std::int32_t old_length) {
  DeltaScan state;
  state.scan_position = start;
  state.new_anchor = start;
  state.old_anchor = std::min(start, old_length);
  state.anchor_offset = state.old_anchor - start;
  return state;
}

// Where a scan ended: at the end of the new data, or where it met a state
// that the scan of a later piece recorded.
struct ScanEnd {
  // False when memory ran short, or the scan was called off or gave up.
  bool complete = true;
  int met_piece = -1;
  std::size_t met_record = 0;
};

// Scans from `scan` on, appending entries, and, when pass_starts is given,
// recording pass starts. `may_wait` is for the scan from the start: it
// claims the pieces it reaches first, and waits for a piece that the other
// thread is still scanning. A scan ahead gives up where it would only
// repeat work: a piece's scan that has not met the next piece's scan a
// piece's length past its start never will in time to pay, and a single
// pass that long (data with no match to stop it) cannot be met at all.
// `searcher` is the thread's own.
ScanEnd scan_from(ScanJob& job, int piece, DeltaScan scan, GrowableArray<ControlEntry>* entries,
                  GrowableArray<PassStart>* pass_starts, bool may_wait, ScanSearcher& searcher) {
  const DeltaInputs& in = job.inputs;
  const std::int32_t give_up_at =
      may_wait || piece + 1 >= job.piece_count
          ? INT32_MAX
          : static_cast<std::int32_t>(std::min<std::int64_t>(
                INT32_MAX, static_cast<std::int64_t>(job.pieces[piece + 1].start) +
                               (job.pieces[piece + 1].start - job.pieces[piece].start)));
  ScanEnd end;
  int next_piece = piece + 1;
  int candidate = -1;  // a later piece whose recorded states this scan may meet
  std::size_t record = 0;
  std::size_t passes = 0;
  while (!scan_finished(scan, in)) {
    if (!may_wait && job.cancelled.load(std::memory_order_relaxed)) {
      end.complete = false;
      return end;
    }
    while (next_piece < job.piece_count && scan.scan_position >= job.pieces[next_piece].start) {
      Piece& later = job.pieces[next_piece];
      int unclaimed = kUnclaimed;
      if (may_wait && !later.status.compare_exchange_strong(unclaimed, kClaimed)) {
        // Claimed by the other thread, which finishes what it claims.
        std::unique_lock<std::mutex> lock(job.mutex);
        job.piece_done.wait(lock, [&] { return later.status.load() == kDone; });
      }
      // Unclaimed, it is now the scan from the start's own. The other
      // thread's scans only meet pieces it has scanned itself, and those
      // are done.
      if (later.status.load() == kDone && later.usable) {
        candidate = next_piece;
        record = 0;
      }
      ++next_piece;
    }
    if (candidate >= 0) {
      const GrowableArray<PassStart>& recorded = job.pieces[candidate].pass_starts;
      // Pass starts move strictly forward, in both scans.
      while (record < recorded.size() &&
             recorded[record].state.scan_position < scan.scan_position) {
        ++record;
      }
      if (record == recorded.size()) {
        candidate = -1;
      } else if (recorded[record].state == scan) {
        end.met_piece = candidate;
        end.met_record = record;
        return end;
      }
    }
    if (pass_starts != nullptr && pass_starts->size() < kMaxPassStarts &&
        (passes < kDensePassStarts || passes % kSparsePassStarts == 0) &&
        !pass_starts->push_back(PassStart{scan, entries->size()})) {
      end.complete = false;
      return end;
    }
    ++passes;
    const PassEnd pass = run_scan_pass_until(scan, in, give_up_at, &searcher);
    if (pass == PassEnd::kGaveUp ||
        (pass == PassEnd::kEmit && !entries->push_back(emit_control_entry(scan, in, &searcher)))) {
      end.complete = false;
      return end;
    }
  }
  return end;
}

// The second thread: claims pieces from the last one backward, until it
// meets a piece the first thread has claimed.
void scan_pieces_ahead(ScanJob& job) {
  const DeltaInputs& in = job.inputs;
  MatchLookahead lookahead(in.search_aids, in.suffix_array, in.old_data, in.old_length, in.new_data,
                           in.new_length, in.suffix_rank);
  ScanSearcher searcher;
  searcher.shared = job.mapped;
  if (job.lookahead) searcher.lookahead = &lookahead;
  for (int index = job.piece_count - 1; index > 0; --index) {
    Piece& piece = job.pieces[index];
    int unclaimed = kUnclaimed;
    if (job.cancelled.load() || !piece.status.compare_exchange_strong(unclaimed, kClaimed)) {
      return;
    }
    const ScanEnd end = scan_from(job, index, piece_start_state(piece.start, job.inputs.old_length),
                                  &piece.entries, &piece.pass_starts, /*may_wait=*/false, searcher);
    {
      const std::lock_guard<std::mutex> lock(job.mutex);
      piece.usable = end.complete;
      piece.met_piece = end.met_piece;
      piece.met_record = end.met_record;
      piece.status.store(kDone);
    }
    job.piece_done.notify_all();
  }
}

// Appends what the pieces' scans emitted from where the first scan met
// them, following each piece to the piece it met in turn.
bool append_met_pieces(const ScanJob& job, ScanEnd end, GrowableArray<ControlEntry>* entries) {
  while (end.met_piece >= 0) {
    const Piece& piece = job.pieces[end.met_piece];
    assert(piece.status.load() == kDone && piece.usable);
    const std::size_t from = piece.pass_starts[end.met_record].entries_before;
    if (!entries->append(piece.entries.data() + from, piece.entries.size() - from)) return false;
    end.met_piece = piece.met_piece;
    end.met_record = piece.met_record;
  }
  return true;
}

int thread_count(const ScanSettings& settings) {
  if (settings.threads > 0) return std::min(settings.threads, 2);
  return std::thread::hardware_concurrency() >= 2 ? 2 : 1;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool scan_delta(const DeltaInputs& inputs, const ScanSettings& settings,
                GrowableArray<ControlEntry>* entries, MappedSearchIndex* mapped) {
  ScanJob job(inputs, mapped);
  job.lookahead = settings.lookahead;
  const std::int32_t piece_length = settings.piece_length > 0
                                        ? settings.piece_length
                                        : std::max(kMinPieceLength, inputs.new_length / kMaxPieces);
  if (thread_count(settings) > 1) {
    job.piece_count = static_cast<int>(
        std::min<std::int64_t>(kMaxPieces, std::max(1, inputs.new_length / piece_length)));
  }
  for (int index = 0; index < job.piece_count; ++index) {
    job.pieces[index].start =
        static_cast<std::int32_t>(static_cast<std::int64_t>(index) * piece_length);
  }
  job.pieces[0].status.store(kClaimed);

  std::thread ahead;
  if (job.piece_count > 1) {
    try {
      ahead = std::thread(scan_pieces_ahead, std::ref(job));
    } catch (const std::system_error&) {
      // No second thread: the first claims every piece in turn.
    }
  }
  // Each scan runs its own searches ahead.
  MatchLookahead lookahead(inputs.search_aids, inputs.suffix_array, inputs.old_data,
                           inputs.old_length, inputs.new_data, inputs.new_length,
                           inputs.suffix_rank);
  ScanSearcher searcher;
  searcher.shared = mapped;
  if (settings.lookahead) searcher.lookahead = &lookahead;
  ScanEnd end = scan_from(job, 0, DeltaScan{}, entries, nullptr, /*may_wait=*/true, searcher);
  job.cancelled.store(true);
  if (ahead.joinable()) ahead.join();
  return end.complete && append_met_pieces(job, end, entries);
}

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
  HeapArray<std::int32_t> suffix_array;
  if (!suffix_array.allocate(static_cast<std::size_t>(old_length) + 1)) return false;
  // The periodic stretches of both inputs need no suffix array: where a
  // second core is there, they are found while the suffixes are sorted.
  SearchAids search_aids;
  const bool want_aids = settings.search_aids && new_length > 0;
  bool stretches_found = false;
  std::thread stretch_finder;
  if (want_aids && thread_count(settings.scan) > 1 &&
      static_cast<std::int64_t>(old_length) + new_length >= kMinPieceLength) {
    try {
      stretch_finder = std::thread([&] {
        stretches_found =
            find_input_stretches(old_data, old_length, new_data, new_length, &search_aids);
      });
    } catch (const std::system_error&) {
      // Found after the sort instead.
    }
  }
  const bool sorted = sort_suffixes(suffix_array.get(), old_data, old_length, settings.sorter);
  const bool stretches_ahead = stretch_finder.joinable();
  if (stretches_ahead) stretch_finder.join();
  if (!sorted) return false;
  if (timings != nullptr) timings->sort_seconds = seconds_since(start);

  start = std::chrono::steady_clock::now();
  // Without the aids the scan only reads more.
  if (want_aids && !stretches_ahead) {
    stretches_found =
        find_input_stretches(old_data, old_length, new_data, new_length, &search_aids);
  }
  const bool aided = stretches_found &&
                     complete_search_aids(suffix_array.get(), old_data, old_length, &search_aids);
  // Where the rank array cannot be had, the searches go on without it.
  SuffixRank suffix_rank;
  const bool ranked = settings.suffix_rank && new_length > 0 &&
                      build_suffix_rank(suffix_array.get(), old_data, old_length,
                                        thread_count(settings.scan), &suffix_rank);
  const DeltaInputs inputs{old_data,
                           old_length,
                           new_data,
                           new_length,
                           suffix_array.get(),
                           aided ? &search_aids : nullptr,
                           ranked ? &suffix_rank : nullptr};
  MappedSearchIndex mapped(suffix_array.get(), old_data, old_length, new_length,
                           settings.mapped_search, ranked ? suffix_rank.rank.get() : nullptr);
  const bool scanned = scan_delta(inputs, settings.scan, entries, &mapped);
  if (timings != nullptr) {
    timings->scan_seconds = seconds_since(start);
    timings->index_built = mapped.built();
  }
  return scanned;
}

}  // namespace core
