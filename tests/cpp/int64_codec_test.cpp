// The 8-byte sign-and-magnitude form of signed 64-bit integers.
#include "codec/int64_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

namespace {

using Form = std::array<std::uint8_t, core::kInt64FormSize>;

Form encode(std::int64_t value) {
  Form form;
  form.fill(0xAA);  // every byte must be written
  core::encode_int64_form(value, form.data());
  return form;
}

std::int64_t decode(const Form& form) { return core::decode_int64_form(form.data()); }

TEST(Int64Codec, KnownForms) {
  struct Case {
    std::int64_t value;
    Form form;
    std::int64_t decoded;
  } const cases[] = {
      {0, {0, 0, 0, 0, 0, 0, 0, 0}, 0},
      {1, {1, 0, 0, 0, 0, 0, 0, 0}, 1},
      {-1, {1, 0, 0, 0, 0, 0, 0, 0x80}, -1},
      {256, {0, 1, 0, 0, 0, 0, 0, 0}, 256},
      {-256, {0, 1, 0, 0, 0, 0, 0, 0x80}, -256},
      {0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}, 0x0102030405060708},
      {-0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 0x81}, -0x0102030405060708},
      {INT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, INT64_MAX},
      {-INT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, -INT64_MAX},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(core::int64_has_form(c.value)) << c.value;
    EXPECT_EQ(encode(c.value), c.form) << c.value;
    EXPECT_EQ(decode(c.form), c.decoded) << c.value;
  }
}

TEST(Int64Codec, LowestValueHasNoForm) {
  // Its magnitude, 2^63, would set only the sign bit: the negative-zero form,
  // which reads back as 0.
  EXPECT_FALSE(core::int64_has_form(INT64_MIN));
  EXPECT_TRUE(core::int64_has_form(INT64_MIN + 1));
  EXPECT_EQ(decode({0, 0, 0, 0, 0, 0, 0, 0x80}), 0);
}

TEST(Int64Codec, RoundTrips) {
  std::mt19937_64 random(9);
  for (int round = 0; round < 20000; ++round) {
    // Spread over every magnitude, not just the large ones a uniform draw gives.
    std::int64_t value = static_cast<std::int64_t>(random() >> (1 + random() % 63));
    if (random() % 2 == 0) value = -value;
    ASSERT_EQ(decode(encode(value)), value);

    Form form;
    for (auto& b : form) b = static_cast<std::uint8_t>(random() % 2 == 0 ? random() : 0);
    const Form negative_zero = {0, 0, 0, 0, 0, 0, 0, 0x80};
    ASSERT_EQ(encode(decode(form)), form == negative_zero ? Form{} : form);
  }
  EXPECT_EQ(encode(decode({0, 0, 0, 0, 0, 0, 0, 0x80})), Form{});
}

}  // namespace
