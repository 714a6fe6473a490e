// Periodic stretches of a byte range, and the agreement they let us know
// without reading it.
//
// A stretch [start, end) with period p repeats its first p bytes:
// data[i] == data[i + p] for start <= i < end - p. Runs of zeros, repeated
// lines and records are such stretches. Two positions in stretches of one
// period whose next p bytes agree go on agreeing up to the nearer stretch
// end, so comparing them costs p bytes instead of the whole stretch.
#pragma once

#include <cstdint>

#include "module/heap_array.h"

namespace core {

constexpr std::int32_t kMaxPeriod = 64;
// Shorter stretches are not worth a lookup.
constexpr std::int32_t kMinStretch = 64;

struct Stretch {
  std::int32_t start;
  std::int32_t end;
  std::int32_t period;
};

// Non-overlapping, in ascending order.
struct StretchList {
  HeapArray<Stretch> stretches;  // the first `count` are the list
  std::int32_t count = 0;
};

// A position's place in the list: the period of the stretch that holds it
// and how many of the stretch's bytes lie on that side of it; period 0
// when no stretch holds it.
struct PeriodicSpan {
  std::int32_t period = 0;
  std::int32_t bytes = 0;
};

// Finds the stretches of periods 1 to kMaxPeriod that are at least
// kMinStretch long. Returns false when memory for the list is short.
bool find_stretches(const std::uint8_t* data, std::int32_t length, StretchList* list);

// The span from position on to the end of its stretch.
PeriodicSpan span_from(const StretchList& list, std::int32_t position);
// The span from the start of the stretch that holds end - 1 up to end.
PeriodicSpan span_before(const StretchList& list, std::int32_t end);

// Bytes from a and b on known to agree: both spans of one period, and the
// next period bytes of both agree. 0 when that is not so.
std::int32_t agreement_from(PeriodicSpan a_span, const std::uint8_t* a, PeriodicSpan b_span,
                            const std::uint8_t* b);
// The same going backward from just before a_end and b_end.
std::int32_t agreement_before(PeriodicSpan a_span, const std::uint8_t* a_end, PeriodicSpan b_span,
                              const std::uint8_t* b_end);

}  // namespace core
