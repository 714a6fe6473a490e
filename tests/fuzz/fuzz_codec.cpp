// Proves that the two directions of the 8-byte form invert each other for
// every input. The first 8 input bytes are taken once as a form and once as
// a value. Every form comes back from its decoded value, except the
// negative-zero form, which decodes to 0 and so comes back as eight zero
// bytes; every value but -2^63, which alone has no form, comes back from its
// form. The sign lives in the top bit alone: the forms of v and -v differ
// there and nowhere else. UBSan watches the negations and the shifts on the
// way.
#include <cstdint>
#include <cstring>
#include <limits>

#include "codec/int64_codec.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr std::uint8_t kSignBit = 0x80;
constexpr std::uint8_t kNegativeZero[core::kInt64FormSize] = {0, 0, 0, 0, 0, 0, 0, kSignBit};
constexpr std::uint8_t kZero[core::kInt64FormSize] = {};
constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();

void check_form(const std::uint8_t form[core::kInt64FormSize]) {
  const std::int64_t value = core::decode_int64_form(form);
  FUZZ_REQUIRE(core::int64_has_form(value));
  std::uint8_t again[core::kInt64FormSize];
  core::encode_int64_form(value, again);
  const bool negative_zero = std::memcmp(form, kNegativeZero, sizeof kNegativeZero) == 0;
  FUZZ_REQUIRE(std::memcmp(again, negative_zero ? kZero : form, sizeof again) == 0);
}

void check_value(std::int64_t value) {
  FUZZ_REQUIRE(core::int64_has_form(value) == (value != kLowest));
  if (value == kLowest) return;
  std::uint8_t form[core::kInt64FormSize];
  core::encode_int64_form(value, form);
  FUZZ_REQUIRE(core::decode_int64_form(form) == value);
  FUZZ_REQUIRE(((form[core::kInt64FormSize - 1] & kSignBit) != 0) == (value < 0));
  if (value == 0) return;

  std::uint8_t negated[core::kInt64FormSize];
  core::encode_int64_form(-value, negated);
  negated[core::kInt64FormSize - 1] ^= kSignBit;
  FUZZ_REQUIRE(std::memcmp(form, negated, sizeof form) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < core::kInt64FormSize) return 0;
  std::uint8_t form[core::kInt64FormSize];
  std::memcpy(form, data, sizeof form);
  check_form(form);

  std::int64_t value;
  std::memcpy(&value, data, sizeof value);
  check_value(value);
  return 0;
}
