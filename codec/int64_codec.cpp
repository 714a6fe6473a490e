#include "codec/int64_codec.h"

#include <cassert>
#include <limits>

namespace core {
namespace {
constexpr std::uint8_t kSignBit = 0x80;
constexpr std::uint8_t kTopMagnitudeBits = 0x7F;
}  // namespace

bool int64_has_form(std::int64_t value) {
  return value != std::numeric_limits<std::int64_t>::min();
}

void encode_int64_form(std::int64_t value, std::uint8_t form[kInt64FormSize]) {
  assert(int64_has_form(value));
  const bool negative = value < 0;
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  for (int k = 0; k < kInt64FormSize; ++k) {
    form[k] = static_cast<std::uint8_t>(magnitude >> (8 * k));
  }
  if (negative) form[kInt64FormSize - 1] |= kSignBit;
}

std::int64_t decode_int64_form(const std::uint8_t form[kInt64FormSize]) {
  std::uint64_t magnitude = form[kInt64FormSize - 1] & kTopMagnitudeBits;
  for (int k = kInt64FormSize - 2; k >= 0; --k) magnitude = (magnitude << 8) | form[k];
  // At most 2^63 - 1, so both signs are representable.
  const auto value = static_cast<std::int64_t>(magnitude);
  return (form[kInt64FormSize - 1] & kSignBit) != 0 ? -value : value;
}

}  // namespace core
