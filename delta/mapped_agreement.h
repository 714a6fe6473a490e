// Agreeing runs of new and old bytes, decided from the common-prefix index
// where earlier runs mapped the new bytes onto the old.
//
// An entry's extensions compare the new bytes since the last entry with the
// old data at two alignments. Where data repeats with a long period, entries
// can follow each other a period apart while the last entry's start stays
// where it is, and every extension would read everything since then again,
// at an alignment a period away. A run that was read maps those new bytes
// onto old ones, so the next comparison over them compares two old ranges:
// forward, one index query; backward, a few, since common suffixes follow
// from common prefixes by a search over the length.
#pragma once

#include <cstdint>

#include "delta/mapped_search.h"
#include "delta/suffix_lcp.h"

namespace core {

// The longest runs read lately; each a MatchMapping. A scanner keeps one.
struct AgreementMaps {
  static constexpr int kCapacity = 4;
  MatchMapping maps[kCapacity];
  int count = 0;
};

// The bytes from old_position and new_position on that agree, at most
// limit, which both ranges must hold.
std::int32_t mapped_agreeing_run(const SuffixLcpIndex& index, AgreementMaps* maps,
                                 const std::uint8_t* old_data, const std::uint8_t* new_data,
                                 std::int32_t old_position, std::int32_t new_position,
                                 std::int32_t limit);

// The same going backward from just before old_end and new_end.
std::int32_t mapped_agreeing_run_before(const SuffixLcpIndex& index, AgreementMaps* maps,
                                        const std::uint8_t* old_data, const std::uint8_t* new_data,
                                        std::int32_t old_end, std::int32_t new_end,
                                        std::int32_t limit);

}  // namespace core
