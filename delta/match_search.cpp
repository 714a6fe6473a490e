// Binary search over the suffix array for a long match with a target range.
#include "delta/match_search.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <iterator>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace core {
namespace {

constexpr int kHeadBytes = 8;
// A probe compares this many bytes before it asks the periodic stretches.
constexpr std::int32_t kDirectBytes = 64;

// The target of one search, with what is known of it beyond its bytes.
struct Target {
  const std::uint8_t* bytes;
  std::int32_t length;
  PeriodicSpan span;                 // of the target's start in the new data
  const StretchList* old_stretches;  // null in an unaided search
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
  return compared > skip && std::memcmp(old_data + start + skip, target.bytes + skip,
                                        static_cast<std::size_t>(compared - skip)) < 0;
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
  return skip + common_prefix_length(old_data + start + skip, compared - skip, target.bytes + skip,
                                     compared - skip);
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

// Up to eight bytes as a big-endian number, so that comparing two heads
// compares their bytes in order.
std::uint64_t read_head(const std::uint8_t* bytes, std::int32_t length) {
  std::uint64_t head = 0;
  const std::int32_t count = std::min(length, kHeadBytes);
  for (std::int32_t i = 0; i < count; ++i) {
    head |= static_cast<std::uint64_t>(bytes[i]) << (8 * (kHeadBytes - 1 - i));
  }
  return head;
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

}  // namespace

std::int32_t common_prefix_length(const std::uint8_t* a, std::int32_t a_length,
                                  const std::uint8_t* b, std::int32_t b_length) {
  const std::int32_t length = std::min(a_length, b_length);
  std::int32_t i = 0;
  // The final candidates of a search often agree with the target for
  // thousands of bytes: compare 16 at a time where the machine allows.
#if defined(__SSE2__)
  for (; i + 16 <= length; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const auto equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
    if (equal != 0xFFFFu) return i + __builtin_ctz(~equal);
  }
#endif
  while (i < length && a[i] == b[i]) ++i;
  return i;
}

std::int32_t find_longest_match(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                                std::int32_t old_length, const std::uint8_t* target,
                                std::int32_t target_length, std::int32_t low, std::int32_t high,
                                std::int32_t* match_position) {
  const Target plain{target, target_length, PeriodicSpan{}, nullptr};
  search_below_top(suffix_array, old_data, old_length, plain, &low, &high);
  return choose_candidate(suffix_array, old_data, old_length, plain, low, high, match_position);
}

std::unique_ptr<SearchAids> make_search_aids(const std::int32_t* suffix_array,
                                             const std::uint8_t* old_data, std::int32_t old_length,
                                             const std::uint8_t* new_data,
                                             std::int32_t new_length) {
  std::unique_ptr<SearchAids> aids(new (std::nothrow) SearchAids);
  if (!aids || !find_stretches(old_data, old_length, &aids->old_stretches) ||
      !find_stretches(new_data, new_length, &aids->new_stretches)) {
    return nullptr;
  }
  fill_top(suffix_array, old_data, old_length, aids->top, std::size(aids->top), 0, old_length, 1);
  return aids;
}

std::int32_t find_longest_match_aided(const SearchAids& aids, const std::int32_t* suffix_array,
                                      const std::uint8_t* old_data, std::int32_t old_length,
                                      const std::uint8_t* target, std::int32_t target_length,
                                      PeriodicSpan target_span, std::int32_t* match_position) {
  const Target aided{target, target_length, target_span, &aids.old_stretches};
  const std::uint64_t target_head = read_head(target, target_length);
  std::int32_t low = 0;
  std::int32_t high = old_length;
  std::size_t node = 1;
  while (high - low >= 2 && node < std::size(aids.top)) {
    const TopProbe& probe = aids.top[node];
    const std::int32_t compared = std::min(old_length - probe.start, target_length);
    bool below = false;
    if (compared > 0) {
      // Only the first min(compared, 8) bytes take part in the heads'
      // comparison; when those tie, the bytes after them decide.
      const int unused_bits = 8 * (kHeadBytes - std::min(compared, kHeadBytes));
      const std::uint64_t old_head = probe.head >> unused_bits;
      const std::uint64_t new_head = target_head >> unused_bits;
      below = old_head != new_head
                  ? old_head < new_head
                  : probe_below(old_data, old_length, probe.start, aided, kHeadBytes);
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

}  // namespace

MatchLookahead::MatchLookahead(const SearchAids* aids, const std::int32_t* suffix_array,
                               const std::uint8_t* old_data, std::int32_t old_length,
                               const std::uint8_t* new_data, std::int32_t new_length)
    : aids_(aids),
      suffix_array_(suffix_array),
      old_data_(old_data),
      old_length_(old_length),
      new_data_(new_data),
      new_length_(new_length) {}

Match MatchLookahead::find(std::int32_t position) {
  assert(position >= 0 && position < new_length_);
  if (position >= first_ && position - first_ < ready_) return results_[position - first_];
  // The scan consumed the whole batch: it is likely to go on. Anything else
  // is a jump, after which it may soon jump again.
  batch_ = position == first_ + ready_ ? std::min(2 * batch_, kMaxBatch) : kMinBatch;
  run_batch(position, static_cast<int>(std::min<std::int32_t>(batch_, new_length_ - position)));
  return results_[0];
}

void MatchLookahead::run_batch(std::int32_t first, int count) {
  count_ = count;
  int left = count;
  for (int i = 0; i < count; ++i) {
    begin_search(searches_[i], first + i);
    if (searches_[i].done) {  // old data too short for any probe
      results_[i] = finish(searches_[i]);
      --left;
    }
  }
  // Each round reads the suffix-array entries fetched in the round before
  // and fetches the old bytes they point at, then makes the probes whose
  // old bytes were fetched: a miss of each search is in flight while the
  // others work.
  while (left > 0) {
    for (int i = 0; i < count; ++i) {
      Search& search = searches_[i];
      if (search.done || search.start >= 0) continue;
      search.start = suffix_array_[search.midpoint];
      const std::int32_t skip = std::min(search.low_agreement, search.high_agreement);
      __builtin_prefetch(old_data_ + search.start + skip);
    }
    for (int i = 0; i < count; ++i) {
      Search& search = searches_[i];
      if (search.done) continue;
      probe(search);
      if (search.done) {
        results_[i] = finish(search);
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
  search.head = read_head(search.target, search.target_length);
  search.low = 0;
  search.high = old_length_;
  search.low_start = suffix_array_[0];
  search.high_start = old_length_;
  search.low_agreement = 0;
  search.high_agreement = 0;
  search.high_probed = false;
  search.node = aids_ != nullptr ? 1 : 0;
  search.done = false;
  walk_down(search);
}

// Moves down to the next probe that needs the old data: through the top
// table while its heads decide, fetching what that probe reads.
void MatchLookahead::walk_down(Search& search) const {
  for (;;) {
    if (search.high - search.low < 2) {
      search.done = true;
      return;
    }
    search.midpoint = search.low + (search.high - search.low) / 2;
    if (search.node == 0 || search.node >= std::size(aids_->top)) break;
    const TopProbe& top = aids_->top[search.node];
    // The table is a heap: the great-grandchildren of a node fill two
    // cache lines, fetched three levels before they are read.
    if (8 * search.node < std::size(aids_->top)) {
      __builtin_prefetch(aids_->top + 8 * search.node);
      __builtin_prefetch(aids_->top + 8 * search.node + 4);
    }
    const std::int32_t compared = std::min(old_length_ - top.start, search.target_length);
    const std::int32_t head_bytes = std::min(compared, kHeadBytes);
    const std::uint64_t differ = top.head ^ search.head;
    const std::int32_t first_difference =
        differ != 0 ? __builtin_clzll(differ) / 8 : kHeadBytes;  // the first byte is the highest
    if (compared >= kHeadBytes && first_difference == kHeadBytes) {
      // The heads tie: the old bytes after them decide.
      search.start = top.start;
      __builtin_prefetch(old_data_ + top.start + kHeadBytes);
      return;
    }
    const bool below = first_difference < head_bytes && top.head < search.head;
    const std::int32_t agreement = std::min(first_difference, head_bytes);
    if (below) {
      search.low = search.midpoint;
      search.low_start = top.start;
      search.low_agreement = agreement;
    } else {
      search.high = search.midpoint;
      search.high_start = top.start;
      search.high_agreement = agreement;
      search.high_probed = true;
    }
    search.node = 2 * search.node + (below ? 1 : 0);
  }
  search.node = 0;
  search.start = -1;
  __builtin_prefetch(suffix_array_ + search.midpoint);
  if (count_ <= kNarrowBatch) {
    // Too few searches to keep the memory busy: the next probe is at one of
    // two places, so both entries are fetched while this probe runs.
    __builtin_prefetch(suffix_array_ + search.low + (search.midpoint - search.low) / 2);
    __builtin_prefetch(suffix_array_ + search.midpoint + (search.high - search.midpoint) / 2);
  }
}

// The probe at search.start, whose old bytes were fetched a step before:
// find_longest_match's comparison rule, with the bytes skipped that both
// bounds are known to share with the target.
void MatchLookahead::probe(Search& search) const {
  const std::int32_t start = search.start;
  const std::uint8_t* suffix = old_data_ + start;
  const std::int32_t compared = std::min(old_length_ - start, search.target_length);
  std::int32_t skip = std::min(search.low_agreement, search.high_agreement);
  if (search.node != 0) skip = std::max(skip, kHeadBytes);  // a tie of the heads
  assert(skip <= compared);
  std::int32_t agreement =
      agreement_from_offset(suffix, search.target, skip, std::min(compared, skip + kDirectBytes));
  if (agreement == skip + kDirectBytes && agreement < compared) {
    // A long agreement: where both lie in stretches of one period, the
    // stretches tell how far it goes. Looking that up costs more than
    // comparing a few bytes, so short agreements never do.
    if (search.span.period != 0) {
      agreement = std::max(agreement, agreement_from(span_from(aids_->old_stretches, start), suffix,
                                                     search.span, search.target));
    }
    agreement = agreement_from_offset(suffix, search.target, agreement, compared);
  }
  const bool below = agreement < compared && suffix[agreement] < search.target[agreement];
  if (below) {
    search.low = search.midpoint;
    search.low_start = start;
    search.low_agreement = agreement;
  } else {
    search.high = search.midpoint;
    search.high_start = start;
    search.high_agreement = agreement;
    search.high_probed = true;
  }
  if (search.node != 0) search.node = 2 * search.node + (below ? 1 : 0);
  walk_down(search);
}

// choose_candidate over the final bounds, whose match lengths the probes
// found, but for a high bound never moved from the last entry.
Match MatchLookahead::finish(Search& search) const {
  if (!search.high_probed) {
    search.high_start = suffix_array_[search.high];
    const std::int32_t compared = std::min(old_length_ - search.high_start, search.target_length);
    search.high_agreement = compared > 0 ? common_prefix_length(old_data_ + search.high_start,
                                                                compared, search.target, compared)
                                         : 0;
  }
  if (search.low_agreement > search.high_agreement) {
    return Match{search.low_agreement, search.low_start};
  }
  return Match{search.high_agreement, search.high_start};
}

}  // namespace core
