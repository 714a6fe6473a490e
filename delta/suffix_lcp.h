// The longest common prefix of any two suffixes of the old data, without
// reading their bytes.
//
// Built from the finished suffix array: the rank of every suffix (the
// inverse of the suffix array), the common prefix of each pair of suffixes
// adjacent in the order, and minima of that array over blocks, so that the
// common prefix of the suffixes at any two ranks, the least adjacent one
// between them, takes a few short scans and two table reads. About 8.2 bytes
// per old byte: 4 for the ranks, 4 for the adjacent prefixes, 1/8 for the
// block minima and a few hundredths for the table over superblocks; 4
// fewer where the ranks are there already (delta/suffix_rank.h), which the
// index then reads instead of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/heap_array.h"

namespace core {

struct SuffixLcpIndex {
  std::int32_t old_length = 0;
  // rank[p]: index of the suffix at p in the suffix array; old_length + 1
  // entries, the empty suffix's rank is 0. Either own_rank's or one the
  // index was given; null when the index holds nothing.
  const std::int32_t* rank = nullptr;
  HeapArray<std::int32_t> own_rank;
  // adjacent[i] for 1 <= i <= old_length: common prefix of the suffixes at
  // ranks i - 1 and i; adjacent[0] is 0.
  HeapArray<std::int32_t> adjacent;
  // Minimum of adjacent over each block of kLcpBlock entries.
  HeapArray<std::int32_t> block_minima;
  // Row k, from k * superblock_count on: minimum of the superblocks from i
  // to i + 2^k - 1, for every i where they all exist.
  HeapArray<std::int32_t> superblock_table;
  std::size_t superblock_count = 0;
};

// Builds the index for the finished suffix array of old_data (old_length + 1
// entries), with `ranks` (its inverse, old_length + 1 entries, which must
// outlive the index) where they are at hand. Returns false when memory is
// short; the index then holds nothing.
bool build_suffix_lcp_index(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                            std::int32_t old_length, SuffixLcpIndex* index,
                            const std::int32_t* ranks = nullptr);

// Common prefix length of the suffixes at ranks a and b, which differ.
std::int32_t lcp_of_ranks(const SuffixLcpIndex& index, std::int32_t a, std::int32_t b);

}  // namespace core
