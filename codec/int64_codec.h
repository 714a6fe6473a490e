// The 8-byte sign-and-magnitude form of a signed 64-bit integer: magnitude
// least significant byte first in 63 bits, the sign in the top bit of byte 7.
#pragma once

#include <cstdint>

namespace core {

constexpr int kInt64FormSize = 8;

// Every value but -2^63 has a form: its magnitude, 2^63, needs bit 63, which
// is the sign bit.
bool int64_has_form(std::int64_t value);

// value must have a form (int64_has_form).
void encode_int64_form(std::int64_t value, std::uint8_t form[kInt64FormSize]);

// The negative-zero form, which no value encodes to but another writer may
// have produced, decodes to 0.
std::int64_t decode_int64_form(const std::uint8_t form[kInt64FormSize]);

}  // namespace core
