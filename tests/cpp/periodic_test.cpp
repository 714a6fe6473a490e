// Periodic stretches: what is found, and the agreement they promise.
#include "delta/periodic.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using core_test::Bytes;

Bytes repeat(const std::string& unit, std::size_t length) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i)
    out[i] = static_cast<std::uint8_t>(unit[i % unit.size()]);
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Each stretch is found with its smallest period and, where stretches
// touch, the later one starts where the earlier ends; too short ones and
// periods beyond the limit are left out.
TEST(FindStretches, ListsLongStretchesWithTheirPeriods) {
  const std::string nul(1, '\0');
  const Bytes data = concat({repeat("q", 1), repeat(nul, 100), repeat("abc", 99), repeat("xyz", 30),
                             repeat(std::string(65, 'p') + "P", 200), repeat("k", 70)});
  core::StretchList list;
  ASSERT_TRUE(core::find_stretches(data.data(), static_cast<std::int32_t>(data.size()), &list));
  // "xyz" * 10 is too short; "p" * 65 + "P" repeats with a period beyond
  // the limit, but its runs of p are stretches of period 1.
  const std::vector<std::array<std::int32_t, 3>> expected = {
      {1, 101, 1}, {101, 200, 3}, {230, 295, 1}, {296, 361, 1}, {362, 427, 1}, {430, 500, 1}};
  std::vector<std::array<std::int32_t, 3>> found;
  for (std::int32_t k = 0; k < list.count; ++k) {
    const core::Stretch& s = list.stretches[k];
    found.push_back({s.start, s.end, s.period});
  }
  EXPECT_EQ(found, expected);
}

// Every promise of agreement must hold byte for byte, forward and backward,
// on data full of stretches that differ only now and then.
TEST(Agreement, NeverClaimsABytePastTheFirstDifference) {
  std::mt19937 random(41);
  for (int round = 0; round < 200; ++round) {
    const std::string units[] = {std::string(1, '\0'), "ab", "The quick brown fox. ", "0123456789"};
    Bytes a = repeat(units[random() % 4], 200 + random() % 2000);
    Bytes b = repeat(units[random() % 4], 200 + random() % 2000);
    for (int edits = 0; edits < 4; ++edits) {
      a[random() % a.size()] ^= 1;
      b[random() % b.size()] ^= 1;
    }
    core::StretchList a_list, b_list;
    ASSERT_TRUE(core::find_stretches(a.data(), static_cast<std::int32_t>(a.size()), &a_list));
    ASSERT_TRUE(core::find_stretches(b.data(), static_cast<std::int32_t>(b.size()), &b_list));
    for (int probe = 0; probe < 50; ++probe) {
      const auto x = static_cast<std::int32_t>(random() % a.size());
      const auto y = static_cast<std::int32_t>(random() % b.size());
      const std::int32_t forward = core::agreement_from(core::span_from(a_list, x), a.data() + x,
                                                        core::span_from(b_list, y), b.data() + y);
      ASSERT_LE(x + forward, static_cast<std::int32_t>(a.size()));
      ASSERT_LE(y + forward, static_cast<std::int32_t>(b.size()));
      for (std::int32_t i = 0; i < forward; ++i) ASSERT_EQ(a[x + i], b[y + i]) << round;
      const std::int32_t backward =
          core::agreement_before(core::span_before(a_list, x + 1), a.data() + x + 1,
                                 core::span_before(b_list, y + 1), b.data() + y + 1);
      ASSERT_LE(backward, x + 1);
      ASSERT_LE(backward, y + 1);
      for (std::int32_t j = 1; j <= backward; ++j) ASSERT_EQ(a[x + 1 - j], b[y + 1 - j]) << round;
    }
  }
}

}  // namespace
