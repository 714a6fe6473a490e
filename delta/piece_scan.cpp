// The scan on several threads: pieces that meet.
//
// A scan's state between passes decides every later pass and entry
// (delta_scan.h), and a scan started anywhere from any state soon falls into
// step with the scan from the start: the states meet at a pass start within
// a few passes of real data. So the new data is cut into pieces, and each
// piece has a scan of its own, from a state of its own at the piece's start
// (the first piece's from the start of the new data), which the threads
// take on in order. A piece's scan records its pass starts as it goes, and
// goes on past its piece's end until its state equals one that the next
// piece's scan recorded: from there both go on alike, so it stops and hands
// over. A piece nobody has begun when a scan reaches it becomes that scan's
// own. The entries are then those of the first piece's scan up to where it
// handed over, then those of the scan it handed over to from that pass
// start on, and so on to the end: exactly those of one scan from the start,
// however the threads took the pieces and whatever the pieces' lengths.
//
// A piece's scan may have to wait for the next one's records to reach its
// own position; the next one is always running, on another thread, or
// done. A scan that has not met the next piece's a piece's length past its
// start gives up, since it would only repeat work, unless the entries are
// known to run through it already: the first piece's scan, and any that an
// earlier scan on the way of the entries has met. A scan that meets one
// that gave up takes its entries over and goes on from where it stopped.
#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "delta/delta_driver.h"
#include "delta/match_search.h"

namespace core {
namespace {

// Below this a piece does not pay for a scan of its own.
constexpr std::int32_t kMinPieceLength = 1 << 20;
// Pieces per thread, so that the threads finish close together.
constexpr int kPiecesPerThread = 4;
constexpr int kMaxPieces = kMaxScanThreads * kPiecesPerThread;
// Scans meet within a few passes of a piece's start on real data, so a
// piece records its first pass starts one by one. Once two scans are in
// step they stay in step, so for the rare pair that meets late every
// kSparsePassStarts-th pass start after that is enough, up to a bound on
// the memory.
constexpr std::size_t kDensePassStarts = 4096;
constexpr std::size_t kSparsePassStarts = 64;
constexpr std::size_t kPassStartChunk = 1024;
constexpr std::size_t kPassStartChunks = 64;  // kMaxPassStarts in all
// How long a waiting scan sleeps before it looks again, should it miss the
// news of a record.
constexpr std::chrono::milliseconds kWaitSlice{1};

struct PassStart {
  DeltaScan state;
  std::size_t entries_before;  // entries the piece's scan had emitted by then
};

// The pass starts a piece's scan records, which other threads read while it
// appends: they live in chunks that never move, and a record is read only
// once `published` counts it.
class PassStartLog {
 public:
  // False when no more can be recorded (the bound, or memory ran short).
  bool append(const PassStart& record) {
    const std::size_t count = published_.load(std::memory_order_relaxed);
    const std::size_t chunk = count / kPassStartChunk;
    if (chunk == kPassStartChunks) return false;
    if (count % kPassStartChunk == 0 && !chunks_[chunk].allocate(kPassStartChunk)) return false;
    chunks_[chunk][count % kPassStartChunk] = record;
    published_.store(count + 1, std::memory_order_release);
    return true;
  }
  std::size_t published() const { return published_.load(std::memory_order_acquire); }
  const PassStart& operator[](std::size_t index) const {
    return chunks_[index / kPassStartChunk][index % kPassStartChunk];
  }

 private:
  HeapArray<PassStart> chunks_[kPassStartChunks];
  std::atomic<std::size_t> published_{0};
};

enum PieceStatus : int {
  kUnclaimed,
  kTakenOn,  // a scan from an earlier piece reached it first
  // The piece's own scan (started at its start):
  kRunning,
  kOnEntries,  // met by a scan the entries run through, so they run through it too
  kGaveUp,
  kEnded,
};

// How a piece's own scan ended: at the end of the new data, met by a
// record of a later piece's scan, given up, or short of memory.
enum class ScanEndKind { kEnd, kMet, kGaveUp, kFailed };

struct ScanEnd {
  ScanEndKind kind = ScanEndKind::kEnd;
  int met_piece = -1;  // kMet: whose record it met
  std::size_t met_record = 0;
  // kGaveUp: the pass start it stopped at, and the entries emitted before.
  DeltaScan resume;
  std::size_t resume_entries = 0;
};

struct Piece {
  std::int32_t start = 0;
  std::atomic<int> status{kUnclaimed};
  PassStartLog pass_starts;
  // Set once no more pass starts will be recorded.
  std::atomic<bool> closed{false};
  // The piece's scan's own, complete once its status is kGaveUp or kEnded.
  GrowableArray<ControlEntry> entries;
  ScanEnd end;
  // Where scans that went on from this piece's records took its entries
  // over after it gave up; written by the taking scan's thread, read once
  // every thread has joined.
  HandOvers taken;
};

// The pieces, in a block of the C heap as every other working array is:
// constructed in it, destroyed and freed with it.
class PieceArray {
 public:
  explicit PieceArray(int count)
      : pieces_(static_cast<Piece*>(std::malloc(sizeof(Piece) * static_cast<std::size_t>(count)))),
        count_(pieces_ != nullptr ? count : 0) {
    for (int i = 0; i < count_; ++i) new (&pieces_[i]) Piece;
  }
  PieceArray(const PieceArray&) = delete;
  PieceArray& operator=(const PieceArray&) = delete;
  ~PieceArray() {
    for (int i = 0; i < count_; ++i) pieces_[i].~Piece();
    std::free(pieces_);
  }
  Piece* get() const { return pieces_; }

 private:
  Piece* pieces_;
  int count_;
};

struct ScanJob {
  const DeltaInputs* inputs = nullptr;
  MappedSearchIndex* mapped = nullptr;
  SharedSuffixRank* ranks = nullptr;
  bool lookahead = true;
  std::int32_t piece_length = 0;
  int piece_count = 0;
  Piece* pieces = nullptr;
  std::atomic<int> next_piece{0};
  std::atomic<bool> failed{false};
  std::atomic<std::int64_t> searches{0};  // of the threads that are done
  // Scans waiting for records sleep here.
  std::mutex mutex;
  std::condition_variable recorded;
  std::atomic<int> waiting{0};

  // After a record or the end of a scan is published. The fence orders
  // that against the read of `waiting`, as the waiter's count orders its
  // own read of the records: one of the two sees the other.
  void notify() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (waiting.load(std::memory_order_relaxed) > 0) {
      const std::lock_guard<std::mutex> lock(mutex);
      recorded.notify_all();
    }
  }
};

// One thread's search state, used by each scan it runs in turn.
struct ThreadSearch {
  explicit ThreadSearch(const ScanJob& job)
      : lookahead(job.inputs->search_aids, job.inputs->suffix_array, job.inputs->old_data,
                  job.inputs->old_length, job.inputs->new_data, job.inputs->new_length) {
    searcher.shared = job.mapped;
    searcher.ranks = job.ranks;
    if (job.lookahead) searcher.lookahead = &lookahead;
  }
  MatchLookahead lookahead;
  ScanSearcher searcher;
};

// Where a piece's own scan starts: as if the piece lined up with the old
// data at the same position. Any state in bounds would do; this one is often
// right for two versions of one file.
DeltaScan piece_start_state(std::int32_t start, std::int32_t old_length) {
  DeltaScan state;
  state.scan_position = start;
  state.new_anchor = start;
  state.old_anchor = std::min(start, old_length);
  state.anchor_offset = state.old_anchor - start;
  return state;
}

enum class Meeting { kMet, kNotHere, kNever };

// Looks, at a pass start of `scan`, for the same state among the records of
// the piece `candidate`, from *cursor on (pass starts move strictly
// forward in both scans). Waits while that piece's scan has not recorded
// so far yet.
Meeting meet(ScanJob& job, int candidate, std::size_t* cursor, const DeltaScan& scan) {
  const Piece& piece = job.pieces[candidate];
  for (;;) {
    // Read `closed` first: once set, every record is published.
    const bool closed = piece.closed.load(std::memory_order_acquire);
    const std::size_t published = piece.pass_starts.published();
    while (*cursor < published &&
           piece.pass_starts[*cursor].state.scan_position < scan.scan_position) {
      ++*cursor;
    }
    if (*cursor < published) {
      return piece.pass_starts[*cursor].state == scan ? Meeting::kMet : Meeting::kNotHere;
    }
    if (closed || job.failed.load(std::memory_order_relaxed)) return Meeting::kNever;
    job.waiting.fetch_add(1, std::memory_order_seq_cst);
    {
      std::unique_lock<std::mutex> lock(job.mutex);
      job.recorded.wait_for(lock, kWaitSlice, [&] {
        return piece.closed.load(std::memory_order_acquire) ||
               piece.pass_starts.published() > *cursor;
      });
    }
    job.waiting.fetch_sub(1, std::memory_order_acq_rel);
  }
}

// The piece's own scan, from `scan` on, until it meets a later piece's
// scan or the end of the new data, appending entries. It records its pass
// starts (the first piece's need not: no scan reaches it from before),
// takes on the pieces nobody has begun, and gives up where it would only
// repeat work, unless the entries run through it.
ScanEnd scan_piece(ScanJob& job, int own, DeltaScan scan, ThreadSearch& search) {
  const DeltaInputs& in = *job.inputs;
  Piece& piece = job.pieces[own];
  GrowableArray<ControlEntry>* entries = &piece.entries;
  ScanEnd end;
  int next_piece = own + 1;  // the first piece whose start the scan has not passed
  int candidate = -1;        // the later piece whose records the scan may meet
  std::size_t cursor = 0;
  // Where a pass gives up: a piece's length past the start of the piece
  // whose records the scan may meet, or else of the first piece it has not
  // reached. A pass that long is data with nothing to stop it; it never
  // comes back to a pass start to meet a scan or take a piece on, and
  // without the bound every piece's scan would run to the end of the new
  // data, the work growing with the square of the pieces.
  const auto give_up_past = [&job](int later) {
    return later < job.piece_count
               ? static_cast<std::int32_t>(std::min<std::int64_t>(
                     INT32_MAX,
                     static_cast<std::int64_t>(job.pieces[later].start) + job.piece_length))
               : INT32_MAX;
  };
  std::size_t passes = 0;
  bool recording = own > 0;
  while (!scan_finished(scan, in)) {
    if (job.failed.load(std::memory_order_relaxed)) {
      end.kind = ScanEndKind::kFailed;
      break;
    }
    while (next_piece < job.piece_count && scan.scan_position >= job.pieces[next_piece].start) {
      Piece& later = job.pieces[next_piece];
      int status = later.status.load(std::memory_order_acquire);
      if (status == kUnclaimed && candidate < 0 &&
          later.status.compare_exchange_strong(status, kTakenOn, std::memory_order_acq_rel)) {
        // Nobody has begun it: it is this scan's own from here.
      } else if (status != kUnclaimed && status != kTakenOn) {
        candidate = next_piece;
        cursor = 0;
      }
      ++next_piece;
    }
    if (candidate >= 0) {
      const Meeting meeting = meet(job, candidate, &cursor, scan);
      if (meeting == Meeting::kMet) {
        Piece& met = job.pieces[candidate];
        int running = kRunning;
        if (met.status.compare_exchange_strong(running, kOnEntries, std::memory_order_acq_rel) ||
            running != kGaveUp) {
          // It goes on, or went on, to its own end: hand over.
          end.kind = ScanEndKind::kMet;
          end.met_piece = candidate;
          end.met_record = cursor;
          break;
        }
        // It gave up: its entries from the record on are this scan's, and
        // this scan goes on from where it stopped.
        const std::size_t from = met.pass_starts[cursor].entries_before;
        met.taken.add(cursor);
        if (!entries->append(met.entries.data() + from, met.end.resume_entries - from)) {
          end.kind = ScanEndKind::kFailed;
          break;
        }
        scan = met.end.resume;
        candidate = -1;
        continue;
      }
      if (meeting == Meeting::kNever) {
        // Its records end before this scan got here: nothing to meet.
        candidate = -1;
      }
    }
    if (recording && (passes < kDensePassStarts || passes % kSparsePassStarts == 0)) {
      recording = piece.pass_starts.append(PassStart{scan, entries->size()});
      job.notify();
    }
    ++passes;
    const DeltaScan pass_start = scan;
    const bool on_entries = piece.status.load(std::memory_order_acquire) == kOnEntries;
    const std::int32_t give_up_at =
        on_entries ? INT32_MAX : give_up_past(candidate >= 0 ? candidate : next_piece);
    PassEnd pass = run_scan_pass_until(scan, in, give_up_at, &search.searcher);
    if (pass == PassEnd::kGaveUp) {
      int running = kRunning;
      end.resume = pass_start;
      end.resume_entries = entries->size();
      piece.end = end;
      piece.end.kind = ScanEndKind::kGaveUp;
      if (piece.status.compare_exchange_strong(running, kGaveUp, std::memory_order_acq_rel)) {
        end = piece.end;
        break;
      }
      // Met meanwhile by a scan the entries run through: the pass again,
      // in full.
      scan = pass_start;
      pass = run_scan_pass_until(scan, in, INT32_MAX, &search.searcher);
    }
    if (pass == PassEnd::kEmit &&
        !entries->push_back(emit_control_entry(scan, in, &search.searcher))) {
      end.kind = ScanEndKind::kFailed;
      break;
    }
  }
  if (end.kind == ScanEndKind::kFailed) job.failed.store(true);
  if (end.kind != ScanEndKind::kGaveUp) {
    piece.end = end;
    piece.status.store(kEnded, std::memory_order_release);
  }
  piece.closed.store(true, std::memory_order_release);
  job.notify();
  return end;
}

// A thread's work: the scans of the pieces it takes on, in order.
void scan_pieces(ScanJob& job) {
  ThreadSearch search(job);
  for (;;) {
    const int index = job.next_piece.fetch_add(1, std::memory_order_acq_rel);
    if (index >= job.piece_count || job.failed.load(std::memory_order_relaxed)) break;
    Piece& piece = job.pieces[index];
    int unclaimed = kUnclaimed;
    // The entries run through the first piece's scan from the start.
    const int status = index == 0 ? kOnEntries : kRunning;
    if (!piece.status.compare_exchange_strong(unclaimed, status, std::memory_order_acq_rel)) {
      continue;  // an earlier scan took it on
    }
    const DeltaScan start =
        index == 0 ? DeltaScan{} : piece_start_state(piece.start, job.inputs->old_length);
    scan_piece(job, index, start, search);
  }
  job.searches.fetch_add(search.searcher.searches, std::memory_order_relaxed);
}

// The entries of one scan from the start: the first piece's scan's up to
// where it handed over, then those of the scan it handed over to from that
// pass start on, and so on. A scan the entries run through never gave up.
bool gather_entries(const ScanJob& job, GrowableArray<ControlEntry>* entries,
                    HandOvers* hand_overs) {
  int piece = 0;
  std::size_t from = 0;
  bool on_entries[kMaxPieces] = {};
  for (;;) {
    on_entries[piece] = true;
    const Piece& scan = job.pieces[piece];
    const ScanEnd& end = scan.end;
    assert(scan.status.load() == kEnded && end.kind != ScanEndKind::kGaveUp);
    if (end.kind == ScanEndKind::kFailed ||
        !entries->append(scan.entries.data() + from, scan.entries.size() - from)) {
      return false;
    }
    if (end.kind == ScanEndKind::kEnd) break;
    piece = end.met_piece;
    from = job.pieces[piece].pass_starts[end.met_record].entries_before;
    hand_overs->add(end.met_record);
  }
  // What the entries did not run through: pieces scanned on their own that
  // no scan met, and the hand-overs from pieces that gave up.
  for (int index = 1; index < job.piece_count; ++index) {
    const Piece& scanned = job.pieces[index];
    if (scanned.taken.count > 0) {
      hand_overs->count += scanned.taken.count;
      hand_overs->earliest_record =
          std::min(hand_overs->earliest_record, scanned.taken.earliest_record);
      hand_overs->latest_record = std::max(hand_overs->latest_record, scanned.taken.latest_record);
    } else if (!on_entries[index] && scanned.status.load() == kEnded) {
      ++hand_overs->unmet_pieces;
    }
  }
  return true;
}

}  // namespace

int scan_threads(const ScanSettings& settings) {
  if (settings.threads > 0) return std::min(settings.threads, kMaxScanThreads);
  // hardware_concurrency may not know, and then says 0.
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, static_cast<unsigned>(kMaxScanThreads)));
}

bool scan_delta(const DeltaInputs& inputs, const ScanSettings& settings,
                GrowableArray<ControlEntry>* entries, MappedSearchIndex* mapped,
                SharedSuffixRank* ranks, HandOvers* hand_overs) {
  const int threads = scan_threads(settings);
  ScanJob job;
  job.inputs = &inputs;
  job.mapped = mapped;
  job.ranks = ranks;
  job.lookahead = settings.lookahead;
  job.piece_length =
      settings.piece_length > 0
          ? settings.piece_length
          : std::max(kMinPieceLength, inputs.new_length / (threads * kPiecesPerThread));
  job.piece_count = threads == 1
                        ? 1
                        : static_cast<int>(std::min<std::int64_t>(
                              kMaxPieces, std::max(1, inputs.new_length / job.piece_length)));
  const PieceArray pieces(job.piece_count);
  if (pieces.get() == nullptr) return false;
  job.pieces = pieces.get();
  for (int index = 0; index < job.piece_count; ++index) {
    job.pieces[index].start =
        static_cast<std::int32_t>(static_cast<std::int64_t>(index) * job.piece_length);
  }
  std::thread helpers[kMaxScanThreads];
  int started = 1;
  for (; started < std::min(threads, job.piece_count); ++started) {
    try {
      helpers[started] = std::thread(scan_pieces, std::ref(job));
    } catch (const std::system_error&) {
      break;  // fewer threads: the ones there take every piece
    }
  }
  scan_pieces(job);
  for (int i = 1; i < started; ++i) helpers[i].join();
  HandOvers unused;
  HandOvers* account = hand_overs != nullptr ? hand_overs : &unused;
  account->searches = job.searches.load(std::memory_order_relaxed);
  return !job.failed.load() && gather_entries(job, entries, account);
}

}  // namespace core
