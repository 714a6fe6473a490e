// The rank array and the search that continues the last one. Sizes are
// size_t: the array holds old_length + 1 entries, up to 2^31.
#include "delta/suffix_rank.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>

#include "delta/byte_compare.h"

namespace core {
namespace {

// How many entries ahead the rank fill fetches the place it will write.
constexpr std::size_t kFetchAhead = 32;

// rank[suffix_array[i]] = i for i in [from, end): every write lands at a
// place nothing predicts, so the places a few entries on are fetched first.
void fill_ranks(const std::int32_t* suffix_array, std::int32_t* rank, std::size_t from,
                std::size_t end) {
  for (std::size_t i = from; i < end; ++i) {
    if (i + kFetchAhead < end) __builtin_prefetch(rank + suffix_array[i + kFetchAhead], 1);
    rank[suffix_array[i]] = static_cast<std::int32_t>(i);
  }
}

// The threads write disjoint places, each a share of the suffix array.
void fill_ranks_on_threads(const std::int32_t* suffix_array, std::int32_t* rank, std::size_t count,
                           int threads) {
  constexpr int kMaxThreads = 16;
  threads = std::max(1, std::min({threads, kMaxThreads, static_cast<int>(count / (1 << 16) + 1)}));
  std::thread helpers[kMaxThreads];
  const auto share_start = [&](int share) { return count / threads * share; };
  int started = 1;
  for (; started < threads; ++started) {
    try {
      helpers[started] = std::thread(fill_ranks, suffix_array, rank, share_start(started),
                                     started + 1 == threads ? count : share_start(started + 1));
    } catch (const std::system_error&) {
      break;  // the calling thread takes over the shares left
    }
  }
  fill_ranks(suffix_array, rank, 0, threads == 1 ? count : share_start(1));
  if (started < threads) fill_ranks(suffix_array, rank, share_start(started), count);
  for (int i = 1; i < started; ++i) helpers[i].join();
}

// The final high bounds for which the search's path turns right at the
// tree node whose midpoint is `midpoint`: those in its upper half. Every
// index from 1 to old_length - 1 is the midpoint of exactly one node.
RepeatedTail turning_highs_at(std::int32_t midpoint, std::int32_t old_length) {
  assert(midpoint >= 1 && midpoint < old_length);
  std::int32_t low = 0;
  std::int32_t high = old_length;
  for (;;) {
    const std::int32_t node = low + (high - low) / 2;
    if (node == midpoint) return RepeatedTail{midpoint + 1, high};
    if (midpoint < node) {
      high = node;
    } else {
      low = node;
    }
  }
}

// Lists every tail of the old data that occurs once more, up to
// kMaxListedTails bytes. A tail occurs again when the suffix after it in
// the order starts with it; a tail that does not, has no longer one that
// does (the longer one's next occurrence would hold this one too).
bool list_repeated_tails(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                         std::int32_t old_length, SuffixRank* aid) {
  std::int32_t repeated = 0;
  aid->tails_known_to = INT32_MAX;
  for (std::int32_t length = 1; length < old_length; ++length) {
    const std::int32_t rank = aid->rank[static_cast<std::size_t>(old_length - length)];
    if (rank == old_length) break;  // the last suffix in the order: none starts with it
    const std::int32_t next = suffix_array[rank + 1];
    if (common_prefix_length(old_data + old_length - length, length, old_data + next,
                             old_length - next) < length) {
      break;
    }
    if (length > kMaxListedTails) {
      aid->tails_known_to = kMaxListedTails;
      break;
    }
    repeated = length;
  }
  if (!aid->tails.allocate(static_cast<std::size_t>(repeated)) ||
      !aid->turning_highs.allocate(static_cast<std::size_t>(repeated))) {
    return false;
  }
  for (std::int32_t length = 1; length <= repeated; ++length) {
    aid->tails[length - 1] =
        turning_highs_at(aid->rank[static_cast<std::size_t>(old_length - length)], old_length);
  }
  aid->tail_count = repeated;
  // The ranges of a tree's nodes nest or lie apart: sorted by their first
  // high bound, each either lies inside the merged range before it or
  // starts a new one.
  RepeatedTail* merged = aid->turning_highs.get();
  std::copy(aid->tails.get(), aid->tails.get() + repeated, merged);
  std::sort(merged, merged + repeated, [](const RepeatedTail& a, const RepeatedTail& b) {
    return a.first_high < b.first_high;
  });
  std::int32_t count = 0;
  for (std::int32_t i = 0; i < repeated; ++i) {
    if (count > 0 && merged[i].first_high <= merged[count - 1].last_high + 1) {
      merged[count - 1].last_high = std::max(merged[count - 1].last_high, merged[i].last_high);
    } else {
      merged[count++] = merged[i];
    }
  }
  aid->turning_count = count;
  return true;
}

}  // namespace

bool build_suffix_rank(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                       std::int32_t old_length, int threads, SuffixRank* aid) {
  assert(old_length >= 0);
  const auto count = static_cast<std::size_t>(old_length) + 1;
  aid->old_length = old_length;
  if (!aid->rank.allocate(count)) {
    *aid = SuffixRank{};
    return false;
  }
  fill_ranks_on_threads(suffix_array, aid->rank.get(), count, threads);
  if (!list_repeated_tails(suffix_array, old_data, old_length, aid)) {
    *aid = SuffixRank{};
    return false;
  }
  return true;
}

bool may_turn_at_tail(const SuffixRank& aid, const std::uint8_t* old_data, std::int32_t high,
                      std::int32_t agreement, const std::uint8_t* target,
                      std::int32_t target_length) {
  if (agreement > aid.tails_known_to) return true;
  const RepeatedTail* ranges = aid.turning_highs.get();
  const RepeatedTail* after = std::upper_bound(
      ranges, ranges + aid.turning_count, high,
      [](std::int32_t at, const RepeatedTail& range) { return at < range.first_high; });
  if (after == ranges || high > after[-1].last_high) return false;
  // A proper prefix of the target is shorter than it.
  const std::int32_t longest = std::min({agreement, aid.tail_count, target_length - 1});
  for (std::int32_t length = 1; length <= longest; ++length) {
    const RepeatedTail& tail = aid.tails[length - 1];
    if (tail.first_high <= high && high <= tail.last_high &&
        std::memcmp(old_data + aid.old_length - length, target, length) == 0) {
      return true;
    }
  }
  return false;
}

bool continue_search(const SuffixRank& aid, const std::uint8_t* old_data, std::int32_t old_length,
                     const std::uint8_t* target, std::int32_t target_length,
                     const SearchEnd& before, SearchEnd* end, Match* match) {
  assert(aid.old_length == old_length && target_length >= 1);
  // The earlier target starts one byte before; a target is never longer
  // than the new data, so its length still fits.
  const std::uint8_t* earlier = target - 1;
  const std::int32_t earlier_length = target_length + 1;
  // Both bounds must share the earlier target's first byte: dropping it
  // keeps the order of the three.
  if (before.low_agreement < 1 || before.high_agreement < 1) return false;
  // The low bound moved up only at probes that found its suffix strictly
  // before the target, at a byte that differs, so the suffix one byte on
  // orders strictly before this target. The high bound orders at or after
  // the earlier target, unless it is a proper prefix of it (the comparison
  // rule moves the high bound there too) or was never probed.
  // Checked, not assumed, as is every other fact about the bytes below: a
  // file diff reads in place may change under it after the sort, and then
  // the search is made in full, which reads within bounds whatever it finds.
  if (before.low_agreement >= std::min(old_length - before.low_start, earlier_length) ||
      old_data[before.low_start + before.low_agreement] >= earlier[before.low_agreement]) {
    return false;
  }
  const std::int32_t high_agreement = before.high_agreement;
  if (high_agreement > std::min(old_length - before.high_start, earlier_length)) return false;
  if (high_agreement < earlier_length &&
      (high_agreement == old_length - before.high_start ||
       old_data[before.high_start + high_agreement] < earlier[high_agreement])) {
    return false;
  }
  const std::int32_t low_start = before.low_start + 1;
  const std::int32_t high_start = before.high_start + 1;
  const std::int32_t lower = aid.rank[static_cast<std::size_t>(low_start)];
  const std::int32_t upper = aid.rank[static_cast<std::size_t>(high_start)];
  if (lower >= upper) return false;
  // Neighbours: every probe on the search's path lies at or below the one
  // or at or above the other, and turns as the order says, so the path
  // ends between them; unless it met a repeated tail that is a proper
  // prefix of the target below the lower one.
  if (upper - lower != 1 ||
      may_turn_at_tail(aid, old_data, upper, before.low_agreement - 1, target, target_length)) {
    return false;
  }
  *end =
      SearchEnd{lower, upper, low_start, high_start, before.low_agreement - 1, high_agreement - 1};
  *match = end->low_agreement > end->high_agreement ? Match{end->low_agreement, low_start}
                                                    : Match{end->high_agreement, high_start};
  // The search after this one mostly continues it in turn: its ranks lie
  // just after these.
  __builtin_prefetch(aid.rank.get() + low_start + 1);
  __builtin_prefetch(aid.rank.get() + high_start + 1);
  return true;
}

}  // namespace core
