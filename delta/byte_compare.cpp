#include "delta/byte_compare.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace core {
namespace {

constexpr std::int32_t kVectorBytes = 16;

}  // namespace

// The final candidates of a search often agree with the target for
// thousands of bytes: compare 16 at a time where the machine allows. The
// loops test what is left, never i + 16, which would overflow for ranges
// near 2^31 bytes.
std::int32_t common_prefix_length(const std::uint8_t* a, std::int32_t a_length,
                                  const std::uint8_t* b, std::int32_t b_length) {
  const std::int32_t length = std::max(0, std::min(a_length, b_length));
  std::int32_t i = 0;
#if defined(__SSE2__)
  for (; length - i >= kVectorBytes; i += kVectorBytes) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const auto equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
    if (equal != 0xFFFFu) return i + __builtin_ctz(~equal);
  }
#endif
  while (i < length && a[i] == b[i]) ++i;
  return i;
}

std::int32_t common_suffix_length(const std::uint8_t* a_end, const std::uint8_t* b_end,
                                  std::int32_t limit) {
  std::int32_t i = 0;
#if defined(__SSE2__)
  for (; limit - i >= kVectorBytes; i += kVectorBytes) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a_end - i - kVectorBytes));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b_end - i - kVectorBytes));
    const auto equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
    // The byte nearest the ends is bit 15: count the agreeing bits from there down.
    if (equal != 0xFFFFu) return i + __builtin_clz(~equal << 16);
  }
#endif
  while (i < limit && a_end[-i - 1] == b_end[-i - 1]) ++i;
  return i;
}

}  // namespace core
