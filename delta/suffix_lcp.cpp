// The common-prefix index of the old data's suffixes. Sizes are size_t: the
// arrays hold old_length + 1 entries, up to 2^31.
#include "delta/suffix_lcp.h"

#include <algorithm>
#include <cassert>
#include <climits>

#include "delta/byte_compare.h"

namespace core {
namespace {

// Entries per block of the adjacent array, and blocks per superblock. A
// query scans at most two partial blocks of entries and two partial
// superblocks of block minima, each 128 bytes: a few cache lines, which
// cost less than a finer table would in memory.
constexpr std::size_t kLcpBlock = 32;
constexpr std::size_t kBlocksPerSuperblock = 32;
// How many steps ahead the build fetches what a step will read or write.
constexpr std::int32_t kFetchAhead = 32;

std::size_t floor_log2(std::size_t value) {
  assert(value > 0);
  std::size_t log = 0;
  while (value >>= 1) ++log;
  return log;
}

// Least of values[from, end); INT32_MAX when the range is empty. A plain
// loop, which the compiler turns into vector minima.
std::int32_t scan_min(const std::int32_t* values, std::size_t from, std::size_t end) {
  std::int32_t least = INT32_MAX;
  for (std::size_t i = from; i < end; ++i) least = std::min(least, values[i]);
  return least;
}

// Least of the block minima over blocks [first, end).
std::int32_t blocks_min(const SuffixLcpIndex& index, std::size_t first, std::size_t end) {
  const std::int32_t* minima = index.block_minima.get();
  if (end - first <= 2 * kBlocksPerSuperblock) return scan_min(minima, first, end);
  // At least one whole superblock lies inside.
  const std::size_t first_whole = (first + kBlocksPerSuperblock - 1) / kBlocksPerSuperblock;
  const std::size_t end_whole = end / kBlocksPerSuperblock;
  assert(first_whole < end_whole && end_whole <= index.superblock_count);
  std::int32_t least = std::min(scan_min(minima, first, first_whole * kBlocksPerSuperblock),
                                scan_min(minima, end_whole * kBlocksPerSuperblock, end));
  const std::size_t level = floor_log2(end_whole - first_whole);
  const std::int32_t* row = index.superblock_table.get() + level * index.superblock_count;
  least = std::min(least, row[first_whole]);
  return std::min(least, row[end_whole - (std::size_t{1} << level)]);
}

// Least of adjacent[from, end), a non-empty range.
std::int32_t range_min(const SuffixLcpIndex& index, std::size_t from, std::size_t end) {
  assert(from < end);
  const std::int32_t* adjacent = index.adjacent.get();
  if (end - from <= 2 * kLcpBlock) return scan_min(adjacent, from, end);
  const std::size_t first_whole = (from + kLcpBlock - 1) / kLcpBlock;
  const std::size_t end_whole = end / kLcpBlock;
  const std::int32_t least = std::min(scan_min(adjacent, from, first_whole * kLcpBlock),
                                      scan_min(adjacent, end_whole * kLcpBlock, end));
  return std::min(least, blocks_min(index, first_whole, end_whole));
}

// The common prefix of the suffix at p with `other`, the one just before it
// in the order, given that they share `known` bytes already: the step that
// both ways of filling the adjacent array take in text order.
std::int32_t prefix_with_before(const std::uint8_t* old_data, std::int32_t old_length,
                                std::int32_t p, std::int32_t other, std::int32_t known) {
  if (other == old_length) return 0;  // just after the empty suffix
  return known + common_prefix_length(old_data + p + known, old_length - p - known,
                                      old_data + other + known, old_length - other - known);
}

// The adjacent array by way of each suffix's common prefix with the one
// before it in the order, taken in text order: that one is at most one
// shorter than the previous position's, so the bytes read add up to at
// most twice the old length. `rank`'s memory holds the predecessors, then
// those prefixes, then the ranks.
//
// Every step reads one place in the old data that nothing predicts, and in
// text order each step waits for the one before, so the places a few steps
// ahead are fetched early; likewise for the scattered writes and reads of
// the other passes.
void fill_rank_and_adjacent(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                            std::int32_t old_length, std::int32_t* rank, std::int32_t* adjacent) {
  const auto count = static_cast<std::size_t>(old_length) + 1;
  std::int32_t* before = rank;  // before[p]: the suffix just before p in the order
  for (std::size_t i = 1; i < count; ++i) {
    if (i + kFetchAhead < count) __builtin_prefetch(before + suffix_array[i + kFetchAhead], 1);
    before[suffix_array[i]] = suffix_array[i - 1];
  }
  std::int32_t* prefix = rank;  // prefix[p]: common prefix with before[p], written over it
  std::int32_t known = 0;
  for (std::int32_t p = 0; p < old_length; ++p) {
    if (old_length - p > kFetchAhead) {
      // Known shrinks by at most one a step, and mostly by exactly one.
      const std::int32_t later = before[p + kFetchAhead];
      __builtin_prefetch(old_data + later + std::max(0, known - kFetchAhead));
    }
    known = prefix_with_before(old_data, old_length, p, before[p], known);
    prefix[p] = known;
    if (known > 0) --known;
  }
  prefix[old_length] = 0;
  // Each place is read as a prefix, then written as a rank.
  for (std::size_t i = 0; i < count; ++i) {
    if (i + kFetchAhead < count) __builtin_prefetch(prefix + suffix_array[i + kFetchAhead], 1);
    adjacent[i] = prefix[suffix_array[i]];
    rank[suffix_array[i]] = static_cast<std::int32_t>(i);
  }
}

// The adjacent array from ranks already at hand: each suffix's common
// prefix with the one before it, taken in text order as above, written at
// its rank.
void fill_adjacent(const std::int32_t* suffix_array, const std::int32_t* rank,
                   const std::uint8_t* old_data, std::int32_t old_length, std::int32_t* adjacent) {
  std::int32_t known = 0;
  for (std::int32_t p = 0; p < old_length; ++p) {
    if (old_length - p > kFetchAhead) {
      const std::int32_t later_rank = rank[p + kFetchAhead];
      __builtin_prefetch(adjacent + later_rank, 1);
      __builtin_prefetch(suffix_array + later_rank - 1);
    }
    const std::int32_t place = rank[p];
    known = prefix_with_before(old_data, old_length, p, suffix_array[place - 1], known);
    adjacent[place] = known;
    if (known > 0) --known;
  }
  adjacent[0] = 0;
}

}  // namespace

bool build_suffix_lcp_index(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                            std::int32_t old_length, SuffixLcpIndex* index,
                            const std::int32_t* ranks) {
  assert(old_length >= 0);
  const auto count = static_cast<std::size_t>(old_length) + 1;
  const std::size_t block_count = count / kLcpBlock;
  const std::size_t superblock_count = block_count / kBlocksPerSuperblock;
  const std::size_t levels = superblock_count > 0 ? floor_log2(superblock_count) + 1 : 0;
  index->old_length = old_length;
  index->superblock_count = superblock_count;
  if ((ranks == nullptr && !index->own_rank.allocate(count)) || !index->adjacent.allocate(count) ||
      !index->block_minima.allocate(block_count) ||
      !array_size_fits(superblock_count, levels == 0 ? 1 : levels) ||
      !index->superblock_table.allocate(superblock_count * levels)) {
    *index = SuffixLcpIndex{};
    return false;
  }
  if (ranks != nullptr) {
    fill_adjacent(suffix_array, ranks, old_data, old_length, index->adjacent.get());
    index->rank = ranks;
  } else {
    fill_rank_and_adjacent(suffix_array, old_data, old_length, index->own_rank.get(),
                           index->adjacent.get());
    index->rank = index->own_rank.get();
  }
  // Only whole blocks and superblocks are summarized; queries scan the rest.
  for (std::size_t b = 0; b < block_count; ++b) {
    index->block_minima[b] = scan_min(index->adjacent.get(), b * kLcpBlock, (b + 1) * kLcpBlock);
  }
  std::int32_t* table = index->superblock_table.get();
  for (std::size_t s = 0; s < superblock_count; ++s) {
    table[s] = scan_min(index->block_minima.get(), s * kBlocksPerSuperblock,
                        (s + 1) * kBlocksPerSuperblock);
  }
  for (std::size_t level = 1; level < levels; ++level) {
    const std::size_t half = std::size_t{1} << (level - 1);
    const std::int32_t* below = table + (level - 1) * superblock_count;
    std::int32_t* row = table + level * superblock_count;
    for (std::size_t s = 0; s + 2 * half <= superblock_count; ++s) {
      row[s] = std::min(below[s], below[s + half]);
    }
  }
  return true;
}

std::int32_t lcp_of_ranks(const SuffixLcpIndex& index, std::int32_t a, std::int32_t b) {
  assert(a != b && a >= 0 && b >= 0 && a <= index.old_length && b <= index.old_length);
  const auto low = static_cast<std::size_t>(std::min(a, b));
  const auto high = static_cast<std::size_t>(std::max(a, b));
  return range_min(index, low + 1, high + 1);
}

}  // namespace core
