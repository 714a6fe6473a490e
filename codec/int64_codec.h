// The 8-byte sign-and-magnitude form of a signed 64-bit integer: magnitude
// least significant byte first in 63 bits, the sign in the top bit of byte 7.
#pragma once

#include <cstdint>

namespace core {

constexpr int kInt64FormSize = 8;

// -2^63 has no form of its own: its magnitude sets bit 63 alone, which lands
// on the sign bit, so it encodes to the negative-zero form.
void encode_int64_form(std::int64_t value, std::uint8_t form[kInt64FormSize]);

// The negative-zero form decodes to 0.
std::int64_t decode_int64_form(const std::uint8_t form[kInt64FormSize]);

}  // namespace core
