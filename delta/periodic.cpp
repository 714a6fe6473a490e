#include "delta/periodic.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "delta/byte_compare.h"

namespace core {
namespace {

// Every stretch worth listing holds two positions this far apart at which
// data[i] == data[i + p]; testing only those keeps the search for stretches
// to a few loads per sample on data that has none.
constexpr std::int32_t kSampleStep = kMinStretch / 2;

// Calls found(start, end) for every maximal stretch of the period that is
// at least kMinStretch long, in ascending order.
template <typename Found>
void visit_stretches(const std::uint8_t* data, std::int32_t length, std::int32_t period,
                     Found found) {
  std::int32_t i = 0;
  std::int32_t done = 0;  // equal pairs before this were already looked at
  while (static_cast<std::int64_t>(i) + kSampleStep + period < length) {
    if (data[i] != data[i + period] || data[i + kSampleStep] != data[i + kSampleStep + period]) {
      i += kSampleStep;
      continue;
    }
    std::int32_t first = i;
    while (first > done && data[first - 1] == data[first - 1 + period]) --first;
    const std::int32_t last = i + common_prefix_length(data + i, length - period - i,
                                                       data + i + period, length - period - i);
    // data[k] == data[k + period] for first <= k < last.
    if (last - first + period >= std::max(kMinStretch, 2 * period)) {
      found(first, last + period);
    }
    done = last;
    i = last + 1;
  }
}

// Keeps of each stretch, taken by start and the shorter period first, only
// what lies past the stretches kept before it: a tail of a periodic stretch
// is periodic too. Returns the number kept.
std::int32_t merge_stretches(const Stretch* a, std::int32_t a_count, const Stretch* b,
                             std::int32_t b_count, Stretch* out) {
  std::int32_t kept = 0;
  std::int32_t covered = 0;
  std::int32_t i = 0;
  std::int32_t j = 0;
  while (i < a_count || j < b_count) {
    const bool take_a =
        j == b_count || (i < a_count && (a[i].start != b[j].start ? a[i].start < b[j].start
                                                                  : a[i].period <= b[j].period));
    Stretch stretch = take_a ? a[i++] : b[j++];
    stretch.start = std::max(stretch.start, covered);
    if (stretch.end - stretch.start < std::max(kMinStretch, 2 * stretch.period)) continue;
    out[kept++] = stretch;
    covered = stretch.end;
  }
  return kept;
}

}  // namespace

// Period by period, merged into the list as it goes, so that memory stays
// in proportion to the stretches kept: each period's own stretches do not
// overlap much, and a repeat of a shorter period, found again for all its
// multiples, is dropped at once. One walk of the data per period.
bool find_stretches(const std::uint8_t* data, std::int32_t length, StretchList* list) {
  list->count = 0;
  if (!list->stretches.allocate(0)) return false;
  GrowableArray<Stretch> found;
  for (std::int32_t period = 1; period <= kMaxPeriod; ++period) {
    found.clear();
    bool enough_memory = true;
    visit_stretches(data, length, period, [&](std::int32_t start, std::int32_t end) {
      enough_memory = enough_memory && found.push_back(Stretch{start, end, period});
    });
    if (!enough_memory) return false;
    if (found.size() == 0) continue;
    HeapArray<Stretch> merged;
    if (!merged.allocate(static_cast<std::size_t>(list->count) + found.size())) return false;
    list->count = merge_stretches(list->stretches.get(), list->count, found.data(),
                                  static_cast<std::int32_t>(found.size()), merged.get());
    list->stretches = std::move(merged);
  }
  return true;
}

namespace {

// The stretch that holds position, or null.
const Stretch* stretch_holding(const StretchList& list, std::int32_t position) {
  const Stretch* first = list.stretches.get();
  const Stretch* after =
      std::upper_bound(first, first + list.count, position,
                       [](std::int32_t at, const Stretch& stretch) { return at < stretch.start; });
  if (after == first || position >= (after - 1)->end) return nullptr;
  return after - 1;
}

}  // namespace

PeriodicSpan span_from(const StretchList& list, std::int32_t position) {
  const Stretch* stretch = stretch_holding(list, position);
  if (stretch == nullptr) return {};
  return {stretch->period, stretch->end - position};
}

PeriodicSpan span_before(const StretchList& list, std::int32_t end) {
  const Stretch* stretch = stretch_holding(list, end - 1);
  if (stretch == nullptr) return {};
  return {stretch->period, end - stretch->start};
}

// Past the first period, each byte equals the one a period back on both
// sides, so agreement carries on to the nearer end.
std::int32_t agreement_from(PeriodicSpan a_span, const std::uint8_t* a, PeriodicSpan b_span,
                            const std::uint8_t* b) {
  const std::int32_t period = a_span.period;
  if (period == 0 || period != b_span.period || a_span.bytes < period || b_span.bytes < period ||
      std::memcmp(a, b, static_cast<std::size_t>(period)) != 0) {
    return 0;
  }
  return std::min(a_span.bytes, b_span.bytes);
}

std::int32_t agreement_before(PeriodicSpan a_span, const std::uint8_t* a_end, PeriodicSpan b_span,
                              const std::uint8_t* b_end) {
  const std::int32_t period = a_span.period;
  if (period == 0 || period != b_span.period || a_span.bytes < period || b_span.bytes < period ||
      std::memcmp(a_end - period, b_end - period, static_cast<std::size_t>(period)) != 0) {
    return 0;
  }
  return std::min(a_span.bytes, b_span.bytes);
}

}  // namespace core
