// The comparisons, the periodic stretches and the scan's stages at the
// largest length the module accepts, 2^31 - 1 bytes, where a 32-bit index
// formed as i + 16 or a sum of two positions would wrap. They need several
// GiB and a minute, so they are disabled in the ordinary run; tools/run-limits
// runs them under UndefinedBehaviorSanitizer (`make limits`).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

#include "delta/byte_compare.h"
#include "delta/delta_driver.h"
#include "delta/periodic.h"

namespace {

constexpr std::int32_t kLargest = std::numeric_limits<std::int32_t>::max();

// Zero bytes straight from the kernel: untouched pages cost no time.
struct ZeroBuffer {
  explicit ZeroBuffer(std::size_t size)
      : bytes(static_cast<std::uint8_t*>(std::calloc(size, 1)), &std::free) {}
  std::unique_ptr<std::uint8_t, decltype(&std::free)> bytes;
};

TEST(Limits, DISABLED_ComparisonsOfTheLargestRanges) {
  const ZeroBuffer a(kLargest);
  const ZeroBuffer b(kLargest);
  ASSERT_TRUE(a.bytes && b.bytes) << "needs 4 GiB";
  EXPECT_EQ(core::common_prefix_length(a.bytes.get(), kLargest, b.bytes.get(), kLargest), kLargest);
  EXPECT_EQ(
      core::common_suffix_length(a.bytes.get() + kLargest, b.bytes.get() + kLargest, kLargest),
      kLargest);
  // A difference in the last byte: the loops must go all the way.
  b.bytes.get()[kLargest - 1] = 1;
  EXPECT_EQ(core::common_prefix_length(a.bytes.get(), kLargest, b.bytes.get(), kLargest),
            kLargest - 1);
  b.bytes.get()[kLargest - 1] = 0;
  b.bytes.get()[0] = 1;
  EXPECT_EQ(
      core::common_suffix_length(a.bytes.get() + kLargest, b.bytes.get() + kLargest, kLargest),
      kLargest - 1);
}

TEST(Limits, DISABLED_StretchesOfTheLargestRun) {
  const ZeroBuffer zeros(kLargest);
  ASSERT_TRUE(zeros.bytes) << "needs 2 GiB";
  core::StretchList list;
  ASSERT_TRUE(core::find_stretches(zeros.bytes.get(), kLargest, &list));
  ASSERT_EQ(list.count, 1);
  EXPECT_EQ(list.stretches[0].start, 0);
  EXPECT_EQ(list.stretches[0].end, kLargest);
  const core::PeriodicSpan from = core::span_from(list, 0);
  const core::PeriodicSpan before = core::span_before(list, kLargest);
  EXPECT_EQ(from.bytes, kLargest);
  EXPECT_EQ(before.bytes, kLargest);
  EXPECT_EQ(core::agreement_from(from, zeros.bytes.get(), from, zeros.bytes.get()), kLargest);
}

// The whole diff of the largest new data against empty old data: one entry
// of nothing but verbatim bytes, and the blocks written from it.
TEST(Limits, DISABLED_DeltaOfTheLargestNewData) {
  const ZeroBuffer zeros(kLargest);
  ASSERT_TRUE(zeros.bytes) << "needs 2 GiB";
  core::GrowableArray<core::ControlEntry> entries;
  ASSERT_TRUE(
      core::compute_delta(nullptr, 0, zeros.bytes.get(), kLargest, core::DiffSettings{}, &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].diff_length, 0);
  EXPECT_EQ(entries[0].extra_length, kLargest);
  const core::BlockLengths lengths = core::block_lengths(entries.data(), entries.size());
  EXPECT_EQ(lengths.extra, kLargest);
}

}  // namespace
