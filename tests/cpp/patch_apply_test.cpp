// Applying control entries: what a Delta rebuilds, and every way an entry or
// a whole Delta is refused.
#include "patch/patch_apply.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using core_test::Bytes;
using core_test::bytes;
using core_test::Outcome;
using core_test::Triple;

struct Case {
  const char* name;
  Bytes old_data;
  std::int32_t new_length;
  std::vector<Triple> entries;
  Bytes diff_block;
  Bytes extra_block;
  Outcome outcome;
  Bytes output;  // checked only when rebuilt
};

TEST(PatchApply, RebuildsOrRefuses) {
  const Bytes abcd = {65, 66, 67, 68};
  const Case cases[] = {
      {"empty delta for empty data", bytes("xyz"), 0, {}, {}, {}, Outcome::kRebuilt, {}},
      {"entries take turns on both blocks",
       bytes("ab"),
       4,
       {{1, 1, 0}, {1, 1, 0}},
       {0, 1},
       bytes("XY"),
       Outcome::kRebuilt,
       bytes("aXcY")},
      {"negative adjustment reads old data again",
       bytes("abc"),
       6,
       {{3, 0, -3}, {3, 0, 0}},
       Bytes(6),
       {},
       Outcome::kRebuilt,
       bytes("abcabc")},
      {"addition wraps", {255}, 1, {{1, 0, 0}}, {2}, {}, Outcome::kRebuilt, {1}},
      // (0, 0, -2) only moves the old position, to before the old data.
      {"old position before the old data",
       abcd,
       4,
       {{0, 0, -2}, {4, 0, 0}},
       Bytes(4),
       {},
       Outcome::kRebuilt,
       {0, 0, 65, 66}},
      {"old position past the old data",
       bytes("AB"),
       3,
       {{0, 0, 1}, {3, 0, 0}},
       {1, 1, 1},
       {},
       Outcome::kRebuilt,
       {67, 1, 1}},
      {"empty old data", {}, 3, {{3, 0, 0}}, {7, 8, 9}, {}, Outcome::kRebuilt, {7, 8, 9}},

      {"no entries for 5 bytes", abcd, 5, {}, {}, {}, Outcome::kUnderflow, {}},
      {"output left short", abcd, 3, {{1, 1, 0}}, {0}, {1}, Outcome::kUnderflow, {}},
      {"diff byte left over", abcd, 1, {{1, 0, 0}}, {0, 0}, {}, Outcome::kUnderflow, {}},
      {"extra byte left over", abcd, 1, {{0, 1, 0}}, {}, {1, 2}, Outcome::kUnderflow, {}},
      {"new length -1, no entries", abcd, -1, {}, {}, {}, Outcome::kUnderflow, {}},

      // Each run alone fits; together they do not.
      {"runs together past the output",
       abcd,
       4,
       {{2, 3, 0}},
       Bytes(2),
       Bytes(3),
       Outcome::kOverflow,
       {}},
      {"diff run past its block", abcd, 4, {{4, 0, 0}}, Bytes(3), Bytes(1), Outcome::kOverflow, {}},
      {"extra run past its block",
       abcd,
       4,
       {{0, 4, 0}},
       Bytes(1),
       Bytes(3),
       Outcome::kOverflow,
       {}},
      {"second entry past the output",
       abcd,
       4,
       {{1, 0, 0}, {4, 0, 0}},
       Bytes(5),
       {},
       Outcome::kOverflow,
       {}},
      {"new length -1, an empty entry", abcd, -1, {{0, 0, 0}}, {}, {}, Outcome::kOverflow, {}},

      // Sums that only a negative length brings within bounds.
      {"negative diff length", abcd, 1, {{-1, 2, 0}}, {}, Bytes(2), Outcome::kNegativeLength, {}},
      {"negative extra length", abcd, 1, {{2, -1, 0}}, Bytes(2), {}, Outcome::kNegativeLength, {}},
      {"negative length after a good entry",
       abcd,
       2,
       {{1, 0, 0}, {0, -1, 0}},
       {0},
       {1},
       Outcome::kNegativeLength,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const core_test::Applied applied =
        core_test::apply_delta(c.old_data, c.new_length, c.entries, c.diff_block, c.extra_block);
    EXPECT_EQ(applied.outcome, c.outcome);
    if (c.outcome == Outcome::kRebuilt) {
      EXPECT_EQ(applied.output, c.output);
    }
  }
}

// Positions and lengths near 2^31, where a sum formed in 32 bits would wrap
// to a small or negative number and pass. No block is read by the check, so
// the block lengths can be as large as the format allows.
TEST(PatchApply, BoundsSumsDoNotWrap) {
  constexpr std::int32_t kMax = INT32_MAX;
  struct Case {
    const char* name;
    std::int64_t new_position, diff_position, extra_position;
    Triple entry;
    core::EntryFit fit;
  } const cases[] = {
      {"diff length 2^31-1 after one byte", 1, 0, 1, {kMax, 0, 0}, core::EntryFit::kOverflow},
      {"extra length 2^31-1 after one byte", 1, 1, 0, {0, kMax, 0}, core::EntryFit::kOverflow},
      {"two halves of 2^31", 0, 0, 0, {1 << 30, 1 << 30, 0}, core::EntryFit::kOverflow},
      {"last byte of the largest output", kMax - 1, kMax - 1, 0, {1, 0, 0}, core::EntryFit::kFits},
      {"largest output in one entry", 0, 0, 0, {kMax - 7, 7, -5}, core::EntryFit::kFits},
  };
  const core::PatchInputs inputs{nullptr, 0, kMax, nullptr, kMax, nullptr, kMax};
  for (const Case& c : cases) {
    core::PatchCursor cursor;
    cursor.new_position = c.new_position;
    cursor.diff_position = c.diff_position;
    cursor.extra_position = c.extra_position;
    EXPECT_EQ(core::check_control_entry(cursor, core_test::control_entry(c.entry), inputs), c.fit)
        << c.name;
  }
}

TEST(PatchApply, CompleteOnlyWhenOutputAndBothBlocksAreUsedUp) {
  const core::PatchInputs inputs{nullptr, 0, 5, nullptr, 3, nullptr, 2};
  struct Case {
    std::int64_t new_position, diff_position, extra_position;
    bool complete;
  } const cases[] = {
      {5, 3, 2, true}, {4, 3, 2, false}, {5, 2, 2, false}, {5, 3, 1, false}, {0, 0, 0, false},
  };
  for (const Case& c : cases) {
    core::PatchCursor cursor;
    cursor.new_position = c.new_position;
    cursor.diff_position = c.diff_position;
    cursor.extra_position = c.extra_position;
    EXPECT_EQ(core::patch_complete(cursor, inputs), c.complete)
        << c.new_position << ", " << c.diff_position << ", " << c.extra_position;
  }
}

}  // namespace
