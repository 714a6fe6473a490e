// Suffix sorting: the stages on a small input, known results on edge cases,
// and agreement with a plain sort of all suffixes on many inputs.
#include "delta/suffix_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

#include "test_support.h"

namespace {

using core_test::Bytes;
using core_test::bytes;
using Ints = std::vector<std::int32_t>;

TEST(SuffixArrayStages, BananaPassByPass) {
  const Bytes data = bytes("banana");
  const std::int32_t n = 6;
  Ints suffix_array(n + 1, 99);
  Ints rank(n + 1, 99);
  core::RefineStack pending;

  core::sort_by_first_byte(suffix_array.data(), rank.data(), data.data(), n);
  EXPECT_EQ(suffix_array, (Ints{-1, 1, 3, 5, -1, 2, 4}));
  EXPECT_EQ(rank, (Ints{4, 3, 6, 3, 6, 3, 0}));
  EXPECT_FALSE(core::suffix_array_sorted(suffix_array.data(), n));

  // The group of n-suffixes already sees rank[5] = 1, written by the group of
  // a-suffixes earlier in this pass, so 4 and 2 are told apart here.
  ASSERT_TRUE(core::refine_pass(suffix_array.data(), rank.data(), n, 1, pending));
  EXPECT_EQ(suffix_array, (Ints{-1, -1, 3, 1, -1, -1, -1}));
  EXPECT_EQ(rank, (Ints{4, 3, 6, 3, 5, 1, 0}));
  EXPECT_FALSE(core::suffix_array_sorted(suffix_array.data(), n));

  ASSERT_TRUE(core::refine_pass(suffix_array.data(), rank.data(), n, 2, pending));
  EXPECT_EQ(suffix_array, (Ints{-2, -1, -1, -1, -3, -1, -1}));
  EXPECT_EQ(rank, (Ints{4, 3, 6, 2, 5, 1, 0}));
  EXPECT_FALSE(core::suffix_array_sorted(suffix_array.data(), n));

  // Nothing is left to refine: the pass only merges the runs.
  ASSERT_TRUE(core::refine_pass(suffix_array.data(), rank.data(), n, 4, pending));
  EXPECT_EQ(suffix_array, (Ints{-7, -1, -1, -1, -3, -1, -1}));
  EXPECT_TRUE(core::suffix_array_sorted(suffix_array.data(), n));
  EXPECT_EQ(pending.size(), 0u);

  core::finish_suffix_array(suffix_array.data(), rank.data(), n);
  EXPECT_EQ(suffix_array, (Ints{6, 5, 3, 1, 0, 4, 2}));
  EXPECT_EQ(rank, (Ints{4, 3, 6, 2, 5, 1, 0}));
}

// Suffixes compared as unsigned bytes, a proper prefix first.
Ints plain_suffix_sort(const Bytes& data) {
  const std::size_t n = data.size();
  Ints order(n + 1);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
    const std::size_t common = std::min(n - a, n - b);
    const int order_of_bytes =
        common == 0 ? 0 : std::memcmp(data.data() + a, data.data() + b, common);
    return order_of_bytes != 0 ? order_of_bytes < 0 : n - a < n - b;
  });
  return order;
}

constexpr std::size_t kGuardEntries = 4;

// Builds on arrays that start out full of junk and run on into guard entries
// past index n: neither may change the result, and the guards must survive.
Ints build_on_junk(const Bytes& data, std::mt19937& random) {
  const std::size_t n = data.size();
  std::uniform_int_distribution<std::int32_t> junk(INT32_MIN, INT32_MAX);
  Ints suffix_array(n + 1 + kGuardEntries);
  Ints rank(n + 1 + kGuardEntries);
  for (auto& entry : suffix_array) entry = junk(random);
  for (auto& entry : rank) entry = junk(random);
  const Ints suffix_array_guard(suffix_array.begin() + n + 1, suffix_array.end());
  const Ints rank_guard(rank.begin() + n + 1, rank.end());

  EXPECT_TRUE(core::build_suffix_array(suffix_array.data(), rank.data(), data.data(),
                                       static_cast<std::int32_t>(n)));
  EXPECT_EQ(Ints(suffix_array.begin() + n + 1, suffix_array.end()), suffix_array_guard);
  EXPECT_EQ(Ints(rank.begin() + n + 1, rank.end()), rank_guard);
  suffix_array.resize(n + 1);
  rank.resize(n + 1);
  for (std::size_t k = 0; k <= n; ++k) {
    EXPECT_EQ(rank[suffix_array[k]], static_cast<std::int32_t>(k))
        << "rank is not the inverse at " << k;
  }
  return suffix_array;
}

struct EdgeCase {
  const char* name;
  Bytes data;
  Ints suffix_array;
  int passes;  // refinement passes before the array is one sorted run; -1: not checked
};

TEST(SuffixArray, EdgeCases) {
  const EdgeCase cases[] = {
      {"empty", {}, {0}, 0},
      {"one byte other than 0", {7}, {1, 0}, 1},
      // The lone 0 byte is not marked by the first-byte sort: one pass marks
      // it, the next merges.
      {"one zero byte", {0}, {1, 0}, 2},
      {"equal bytes", bytes("aaaaa"), {5, 4, 3, 2, 1, 0}, -1},
      {"distinct bytes", {9, 255, 1, 128}, {4, 2, 0, 3, 1}, 1},
      {"distinct bytes with a 0", {3, 0, 200, 1}, {4, 1, 3, 0, 2}, 2},
      {"high bytes after low ones", {200, 100, 200, 100}, {4, 3, 1, 2, 0}, -1},
      {"high bytes after low ones, repeated",
       {128, 127, 128, 127, 255, 0},
       {6, 5, 1, 3, 0, 2, 4},
       -1},
  };
  std::mt19937 random(1);
  for (const EdgeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(build_on_junk(c.data, random), c.suffix_array);
    EXPECT_EQ(plain_suffix_sort(c.data), c.suffix_array);  // the table itself is right

    const auto n = static_cast<std::int32_t>(c.data.size());
    Ints suffix_array(n + 1), rank(n + 1);
    core::RefineStack pending;
    core::sort_by_first_byte(suffix_array.data(), rank.data(), c.data.data(), n);
    int passes = 0;
    for (std::int32_t depth = 1; !core::suffix_array_sorted(suffix_array.data(), n) && passes < 30;
         depth *= 2, ++passes) {
      ASSERT_TRUE(core::refine_pass(suffix_array.data(), rank.data(), n, depth, pending));
    }
    if (c.passes >= 0) {
      EXPECT_EQ(passes, c.passes);
    }
  }
}

// Inputs that stress prefix doubling in different ways.
Bytes random_input(std::mt19937& random, int family) {
  std::uniform_int_distribution<int> byte(0, 255);
  const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 3000)(random);
  Bytes data;
  data.reserve(length);
  switch (family) {
    case 0: {  // random over a small or full alphabet of arbitrary byte values
      static const int kAlphabetSizes[] = {1, 2, 3, 4, 16, 256};
      Bytes alphabet(kAlphabetSizes[random() % 6]);
      for (auto& b : alphabet) b = static_cast<std::uint8_t>(byte(random));
      while (data.size() < length) data.push_back(alphabet[random() % alphabet.size()]);
      break;
    }
    case 1:  // runs of one byte value
      while (data.size() < length) {
        data.insert(data.end(), 1 + random() % 200, static_cast<std::uint8_t>(byte(random) % 3));
      }
      break;
    case 2: {  // periodic, sometimes with a few bytes changed
      Bytes period(1 + random() % 40);
      for (auto& b : period) b = static_cast<std::uint8_t>(byte(random));
      for (std::size_t i = 0; i < length; ++i) data.push_back(period[i % period.size()]);
      for (int flips = random() % 3; flips > 0 && length > 0; --flips) {
        data[random() % length] ^= 0x80;
      }
      break;
    }
    default:  // random, then long stretches copied from earlier on
      while (data.size() < std::min<std::size_t>(length, 64)) {
        data.push_back(static_cast<std::uint8_t>(byte(random) % 4));
      }
      while (data.size() < length) {
        const std::size_t from = random() % data.size();
        const std::size_t count = std::min<std::size_t>(1 + random() % 500, data.size() - from);
        for (std::size_t i = 0; i < count; ++i) data.push_back(data[from + i]);
      }
      break;
  }
  data.resize(std::min(data.size(), length));
  data.shrink_to_fit();  // no slack: an over-read must leave the buffer
  return data;
}

TEST(SuffixArray, EqualsPlainSortOfAllSuffixes) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 240; ++round) {
    const Bytes data = random_input(random, round % 4);
    SCOPED_TRACE(testing::Message() << "round " << round << ", length " << data.size());
    const Ints expected = plain_suffix_sort(data);
    ASSERT_EQ(build_on_junk(data, random), expected);
    // Every sorter gives the one suffix array, the library's where the
    // build links it.
    for (const core::SuffixSorter sorter :
         {core::SuffixSorter::kFastest, core::SuffixSorter::kBuiltIn}) {
      Ints sorted(data.size() + 1, -7);
      ASSERT_TRUE(core::sort_suffixes(sorted.data(), data.data(),
                                      static_cast<std::int32_t>(data.size()), sorter));
      ASSERT_EQ(sorted, expected) << (sorter == core::SuffixSorter::kFastest && core::kLibrarySorter
                                          ? "library sorter"
                                          : "built-in sorter");
    }
  }
}

// With every byte value occurring at one residue of the period, the suffix
// at p is its period's bytes followed by the suffix at p + period: each
// suffix has the one a period later as a prefix, so a bucket lists its
// positions in descending order.
Ints periodic_suffix_array(const Bytes& period, std::size_t n) {
  Ints expected{static_cast<std::int32_t>(n)};
  Bytes values = period;
  std::sort(values.begin(), values.end());
  for (std::uint8_t value : values) {
    const std::size_t residue = std::find(period.begin(), period.end(), value) - period.begin();
    for (std::size_t p = n; p-- > 0;) {
      if (p % period.size() == residue) expected.push_back(static_cast<std::int32_t>(p));
    }
  }
  return expected;
}

// The small-stack tests prove something only where the thread's stack is
// small indeed, and smaller than the test's own.
TEST(SuffixArray, SmallStackIsSmall) {
  std::size_t left = 0;
  ASSERT_TRUE(core_test::run_on_small_stack([&] { left = core_test::stack_bytes_left(); }));
  EXPECT_GT(left, 0u);
  EXPECT_LE(left, core_test::small_stack_bound());
  EXPECT_GT(core_test::stack_bytes_left(), core_test::small_stack_bound());
}

TEST(SuffixArray, LargeRepetitiveInputOnSmallStack) {
  const Bytes periods[] = {{42}, {7, 255, 0, 3, 128, 1, 64}};
  const std::size_t n = (1u << 20) + 3;
  for (const Bytes& period : periods) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = period[i % period.size()];
    Ints suffix_array(n + 1), rank(n + 1);
    bool built = false;
    ASSERT_TRUE(core_test::run_on_small_stack([&] {
      built = core::build_suffix_array(suffix_array.data(), rank.data(), data.data(),
                                       static_cast<std::int32_t>(n));
    }));
    ASSERT_TRUE(built);
    const Ints expected = periodic_suffix_array(period, n);
    EXPECT_EQ(suffix_array, expected) << "period " << period.size();
    ASSERT_TRUE(core::sort_suffixes(suffix_array.data(), data.data(), static_cast<std::int32_t>(n),
                                    core::SuffixSorter::kFastest));
    EXPECT_EQ(suffix_array, expected) << "period " << period.size() << ", fastest sorter";
  }
}

}  // namespace
