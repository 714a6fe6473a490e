// The common-prefix index of the old suffixes, and the agreeing runs that
// the entries' extensions read through it, against byte-by-byte answers.
#include "delta/suffix_lcp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

#include "delta/mapped_agreement.h"
#include "test_support.h"

namespace {

using core_test::Bytes;

// Inputs where suffixes share long prefixes, and where they share none:
// repeats of several periods, runs of one byte, random bytes, two values.
Bytes sample(int kind, std::size_t size, std::mt19937& random) {
  Bytes data(size);
  const std::size_t period = kind == 0 ? 1 + random() % 300 : 0;
  for (std::size_t i = 0; i < size; ++i) {
    switch (kind) {
      case 0:
        data[i] = i < period ? static_cast<std::uint8_t>(random()) : data[i - period];
        break;
      case 1:
        data[i] = i > 0 && random() % 50 != 0 ? data[i - 1] : static_cast<std::uint8_t>(random());
        break;
      case 2:
        data[i] = static_cast<std::uint8_t>(random());
        break;
      default:
        data[i] = static_cast<std::uint8_t>(random() % 2);
        break;
    }
  }
  return data;
}

std::int32_t bytewise_prefix(const Bytes& data, std::int32_t a, std::int32_t b) {
  std::int32_t length = 0;
  const auto size = static_cast<std::int32_t>(data.size());
  while (a + length < size && b + length < size && data[a + length] == data[b + length]) ++length;
  return length;
}

// Sizes around a block (32 entries) and beyond the superblocks' table
// (32 blocks a superblock), where queries take every path. The index is
// built both on ranks of its own and on the rank array the scan holds.
TEST(SuffixLcpIndex, AgreesWithBytewisePrefixes) {
  std::mt19937 random(31);
  for (const std::size_t size : {0, 1, 2, 31, 32, 33, 64, 700, 4000, 9000}) {
    for (int kind = 0; kind < 8; ++kind) {
      SCOPED_TRACE(testing::Message() << "size " << size << " kind " << kind);
      const Bytes data = sample(kind % 4, size, random);
      const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(data);
      const auto n = static_cast<std::int32_t>(size);
      std::vector<std::int32_t> ranks(size + 1);
      for (std::int32_t i = 0; i <= n; ++i) ranks[suffix_array[i]] = i;
      core::SuffixLcpIndex index;
      ASSERT_TRUE(core::build_suffix_lcp_index(suffix_array.data(), data.data(), n, &index,
                                               kind < 4 ? nullptr : ranks.data()));
      for (std::int32_t i = 0; i <= n; ++i) {
        ASSERT_EQ(index.rank[suffix_array[i]], i);
        ASSERT_EQ(index.adjacent[i],
                  i == 0 ? 0 : bytewise_prefix(data, suffix_array[i - 1], suffix_array[i]));
      }
      for (int round = 0; round < 2000 && n > 0; ++round) {
        const auto a = static_cast<std::int32_t>(random() % (size + 1));
        // Near ranks stay inside a block or two; far ones cross superblocks.
        const std::int32_t reach = round % 2 == 0 ? 70 : n + 1;
        const std::int32_t b = std::clamp<std::int32_t>(
            a - reach + static_cast<std::int32_t>(random() % (2 * reach + 1)), 0, n);
        if (a == b) continue;
        ASSERT_EQ(core::lcp_of_ranks(index, a, b),
                  bytewise_prefix(data, suffix_array[a], suffix_array[b]))
            << "ranks " << a << ", " << b;
      }
    }
  }
}

// The runs of the entries' extensions, forward and backward, at alignments
// that repeats and an insertion make long, with one set of maps kept over
// every query as a scanner keeps it: later queries land on earlier runs.
TEST(MappedAgreeingRun, AgreesWithBytewiseRuns) {
  std::mt19937 random(37);
  for (int round = 0; round < 40; ++round) {
    const int kind = round % 4;
    const Bytes old_data = sample(kind, 500 + random() % 6000, random);
    Bytes new_data = old_data;
    const std::size_t cut = random() % old_data.size();
    new_data.insert(new_data.begin() + cut, static_cast<std::uint8_t>(random()));
    if (round % 3 == 0) new_data[random() % new_data.size()] ^= 1;
    const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
    const auto old_length = static_cast<std::int32_t>(old_data.size());
    const auto new_length = static_cast<std::int32_t>(new_data.size());
    core::SuffixLcpIndex index;
    ASSERT_TRUE(
        core::build_suffix_lcp_index(suffix_array.data(), old_data.data(), old_length, &index));
    core::AgreementMaps maps;
    for (int query = 0; query < 400; ++query) {
      SCOPED_TRACE(testing::Message() << "round " << round << " query " << query);
      const std::int32_t shift =
          std::array<std::int32_t, 4>{0, -1, static_cast<std::int32_t>(random() % 600) - 300,
                                      static_cast<std::int32_t>(random() % 3) - 1}[random() % 4];
      const auto new_position = static_cast<std::int32_t>(random() % new_length);
      const std::int32_t old_position = std::clamp(new_position + shift, 0, old_length - 1);
      // Extensions stop where the entry's window ends, often inside a run.
      std::int32_t limit = std::min(old_length - old_position, new_length - new_position);
      if (query % 3 == 0) limit = static_cast<std::int32_t>(random() % (limit + 1));
      std::int32_t expected = 0;
      while (expected < limit &&
             old_data[old_position + expected] == new_data[new_position + expected]) {
        ++expected;
      }
      ASSERT_EQ(core::mapped_agreeing_run(index, &maps, old_data.data(), new_data.data(),
                                          old_position, new_position, limit),
                expected);
      // Backward from the same places, which then are ends.
      std::int32_t before = std::min(old_position, new_position);
      if (query % 3 == 1) before = static_cast<std::int32_t>(random() % (before + 1));
      expected = 0;
      while (expected < before &&
             old_data[old_position - 1 - expected] == new_data[new_position - 1 - expected]) {
        ++expected;
      }
      ASSERT_EQ(core::mapped_agreeing_run_before(index, &maps, old_data.data(), new_data.data(),
                                                 old_position, new_position, before),
                expected);
    }
  }
}

}  // namespace
