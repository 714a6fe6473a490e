// Group refinement on groups whose sort keys lie apart from the members' own
// rank entries, so that no key changes while a group is refined.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "test_support.h"

namespace {

using Ints = std::vector<std::int32_t>;

// Members are the positions 0 .. L-1 and the depth is L, so member p's key is
// rank[L + p] and the members' own entries rank[0 .. L-1] are free to change.
struct Group {
  Ints suffix_array;  // the group fills entries start .. start + L - 1
  Ints rank;
  std::int32_t start;
  std::int32_t length;
};

Group make_group(std::int32_t start, const Ints& members_in_order, const Ints& keys) {
  const auto length = static_cast<std::int32_t>(keys.size());
  Group group{Ints(start, -99), Ints(2 * keys.size(), 99), start, length};
  group.suffix_array.insert(group.suffix_array.end(), members_in_order.begin(),
                            members_in_order.end());
  std::copy(keys.begin(), keys.end(), group.rank.begin() + length);
  return group;
}

bool refine(Group& group) {
  core::RefineStack pending;
  const bool refined = core::refine_group(group.suffix_array.data(), group.rank.data(), group.start,
                                          group.length, group.length, pending);
  EXPECT_EQ(pending.size(), 0u);
  return refined;
}

// Ascending key order, each member's rank entry the last index of its new
// group, a group of one marked -1, and nothing outside the group touched.
testing::AssertionResult refined_in_key_order(const Group& group, const Ints& keys) {
  const std::int32_t start = group.start;
  Ints sorted_keys = keys;
  std::sort(sorted_keys.begin(), sorted_keys.end());
  for (std::int32_t p = 0; p < group.length; ++p) {
    const std::int32_t last =
        start - 1 +
        static_cast<std::int32_t>(
            std::upper_bound(sorted_keys.begin(), sorted_keys.end(), keys[p]) -
            sorted_keys.begin());
    if (group.rank[p] != last) {
      return testing::AssertionFailure()
             << "rank of member " << p << " is " << group.rank[p] << ", expected " << last;
    }
    if (group.rank[group.length + p] != keys[p]) {
      return testing::AssertionFailure() << "key entry of member " << p << " was written";
    }
  }
  std::vector<bool> placed(keys.size());
  for (std::int32_t i = 0; i < group.length; ++i) {
    const auto same_key = std::equal_range(sorted_keys.begin(), sorted_keys.end(), sorted_keys[i]);
    const std::int32_t entry = group.suffix_array[start + i];
    if (same_key.second - same_key.first == 1) {
      if (entry != -1) return testing::AssertionFailure() << "entry " << start + i << " not marked";
    } else if (entry < 0 || entry >= group.length || placed[entry] ||
               keys[entry] != sorted_keys[i]) {
      return testing::AssertionFailure()
             << "entry " << start + i << " holds " << entry << ", out of key order";
    } else {
      placed[entry] = true;
    }
  }
  for (std::int32_t i = 0; i < start; ++i) {
    if (group.suffix_array[i] != -99)
      return testing::AssertionFailure() << "entry " << i << " written";
  }
  return testing::AssertionSuccess();
}

TEST(RefineGroup, SixteenEntriesArePartitionedOnTheMiddleKey) {
  // Members A .. P are the positions 0 .. 15; the pivot key 5 is I's.
  const Ints keys = {5, 9, 1, 5, 7, 3, 5, 9, 5, 2, 8, 5, 1, 6, 4, 5};
  Ints members(16);
  std::iota(members.begin(), members.end(), 0);
  Group group = make_group(0, members, keys);
  ASSERT_TRUE(refine(group));
  enum { A, B, C, D, E, F, G, H, I, J, K, L, M, N, O, P };
  // The equal part keeps the order that the two sweeps left it in.
  EXPECT_EQ(group.suffix_array, (Ints{M, C, -1, -1, -1, A, L, G, D, I, P, -1, -1, -1, H, B}));
  EXPECT_EQ(Ints(group.rank.begin(), group.rank.begin() + 16),
            (Ints{10, 15, 1, 10, 12, 3, 10, 15, 10, 2, 13, 10, 1, 11, 4, 10}));
  EXPECT_TRUE(refined_in_key_order(group, keys));
}

TEST(RefineGroup, FourEntriesAreSortedBySelection) {
  Group group = make_group(0, {0, 1, 2, 3}, {3, 1, 3, 1});
  ASSERT_TRUE(refine(group));
  EXPECT_EQ(group.suffix_array, (Ints{1, 3, 2, 0}));
  EXPECT_EQ(Ints(group.rank.begin(), group.rank.begin() + 4), (Ints{3, 1, 3, 1}));
}

TEST(RefineGroup, GroupOfOneIsMarkedAtItsStart) {
  Group group = make_group(5, {0}, {42});
  ASSERT_TRUE(refine(group));
  EXPECT_EQ(group.suffix_array, (Ints{-99, -99, -99, -99, -99, -1}));
  EXPECT_EQ(group.rank, (Ints{5, 42}));
}

TEST(RefineGroup, EmptyGroupChangesNothing) {
  // The entry at the start holds junk that must not be taken for a member.
  Ints suffix_array = {7, 1 << 30, 7};
  Ints rank = {1, 2, 3};
  core::RefineStack pending;
  ASSERT_TRUE(core::refine_group(suffix_array.data(), rank.data(), 1, 0, 1, pending));
  EXPECT_EQ(suffix_array, (Ints{7, 1 << 30, 7}));
  EXPECT_EQ(rank, (Ints{1, 2, 3}));
}

TEST(RefineGroup, LargeGroupOfEqualKeysKeepsItsOrder) {
  Ints members(40);
  std::iota(members.begin(), members.end(), 0);
  std::shuffle(members.begin(), members.end(), std::mt19937(3));
  Group group = make_group(3, members, Ints(40, 7));
  ASSERT_TRUE(refine(group));
  EXPECT_EQ(Ints(group.suffix_array.begin() + 3, group.suffix_array.end()), members);
  EXPECT_EQ(Ints(group.rank.begin(), group.rank.begin() + 40), Ints(40, 3 + 40 - 1));
}

TEST(RefineGroup, RandomGroupsEndInKeyOrder) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    const std::int32_t length = static_cast<std::int32_t>(random() % (round < 100 ? 40 : 2000));
    const int distinct_keys = 1 + static_cast<int>(random() % (round % 3 == 0 ? 4 : 5000));
    Ints keys(length);
    for (auto& key : keys) key = static_cast<std::int32_t>(random() % distinct_keys);
    Ints members(length);
    std::iota(members.begin(), members.end(), 0);
    std::shuffle(members.begin(), members.end(), random);
    Group group = make_group(static_cast<std::int32_t>(random() % 4), members, keys);
    ASSERT_TRUE(refine(group));
    ASSERT_TRUE(refined_in_key_order(group, keys)) << "round " << round;
  }
}

// A group of a million entries whose less part is an adversarial chain: keys
// chosen so that every partition's pivot (the entry at start + length/2)
// holds the largest key of its group, so the less part is all the rest and a
// version that recursed on less parts would nest once per partition. The
// chain follows the partition step by step: the pivot is the only key equal
// to the pivot key, so the first sweep swaps it with the group's last entry
// and leaves everything else in place for the next, one shorter, group.
//
// The chain fills entries 0 .. kChain - 1 with keys below the pivot key of
// the whole group, and every other entry has a key above it, so the whole
// group's first partition leaves the chain in place as its less part.
// Nesting n deep costs at least n^2/2 key reads whatever the keys, so the
// chain is sized for a quick test; it still nests far beyond the small stack:
// kChain - 15 nested frames of even 32 bytes each (return address and a few
// saved registers; a real frame is larger) need 1 MiB, four times the 256 KiB
// the thread has.
TEST(RefineGroup, AdversarialPivotsNestDeeplyOnSmallStack) {
  constexpr std::int32_t kGroup = 1 << 20;
  constexpr std::int32_t kChain = 1 << 15;
  Ints arrangement(kChain);
  std::iota(arrangement.begin(), arrangement.end(), 0);
  Ints keys(kGroup);
  for (std::int32_t length = kChain; length >= 16; --length) {
    keys[arrangement[length / 2]] = length;  // above every key given after it
    std::swap(arrangement[length / 2], arrangement[length - 1]);
  }
  // The last 15 entries go to selection; pairs of equal keys stay unmarked.
  for (std::int32_t i = 0; i < 15; ++i) keys[arrangement[i]] = i / 2;
  constexpr std::int32_t kGroupPivotKey = kChain + 1;
  std::mt19937 random(11);
  for (std::int32_t p = kChain; p < kGroup; ++p) {
    keys[p] = kGroupPivotKey + 1 + static_cast<std::int32_t>(random() % kGroup);
  }
  keys[kGroup / 2] = kGroupPivotKey;

  Ints members(kGroup);
  std::iota(members.begin(), members.end(), 0);
  Group group = make_group(0, members, keys);
  bool refined = false;
  ASSERT_TRUE(core_test::run_on_small_stack([&] { refined = refine(group); }));
  ASSERT_TRUE(refined);
  EXPECT_TRUE(refined_in_key_order(group, keys));
}

}  // namespace
