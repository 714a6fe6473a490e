#include "delta/mapped_agreement.h"

#include <algorithm>
#include <cassert>
#include <climits>

#include "delta/byte_compare.h"

namespace core {
namespace {

// Runs are read this far before the maps are consulted: most runs are
// shorter, and reading them costs less than a query.
constexpr std::int32_t kDirectBytes = 64;
// Shorter runs are not worth a place among the maps.
constexpr std::int32_t kMinKeptRun = 256;

std::int64_t end_of(const MatchMapping& map) {
  return static_cast<std::int64_t>(map.new_start) + map.length;
}

// The map that holds new[position] and reaches furthest after it, or null.
const MatchMapping* reaching_forward(const AgreementMaps& maps, std::int32_t position) {
  const MatchMapping* best = nullptr;
  for (int i = 0; i < maps.count; ++i) {
    const MatchMapping& map = maps.maps[i];
    if (map.new_start <= position && position < end_of(map) &&
        (best == nullptr || end_of(map) > end_of(*best))) {
      best = &map;
    }
  }
  return best;
}

// The map that holds new[end - 1] and reaches furthest before it, or null.
const MatchMapping* reaching_back(const AgreementMaps& maps, std::int32_t end) {
  const MatchMapping* best = nullptr;
  for (int i = 0; i < maps.count; ++i) {
    const MatchMapping& map = maps.maps[i];
    if (map.new_start < end && end <= end_of(map) &&
        (best == nullptr || map.new_start < best->new_start)) {
      best = &map;
    }
  }
  return best;
}

// Where reading forward from position reaches the next map, or INT64_MAX.
std::int64_t next_map_start(const AgreementMaps& maps, std::int32_t position) {
  std::int64_t next = INT64_MAX;
  for (int i = 0; i < maps.count; ++i) {
    if (maps.maps[i].new_start > position)
      next = std::min<std::int64_t>(next, maps.maps[i].new_start);
  }
  return next;
}

// Where reading backward from end reaches the previous map, or further back
// than any run goes.
std::int64_t previous_map_end(const AgreementMaps& maps, std::int32_t end) {
  std::int64_t previous = INT32_MIN;
  for (int i = 0; i < maps.count; ++i) {
    if (end_of(maps.maps[i]) < end) previous = std::max(previous, end_of(maps.maps[i]));
  }
  return previous;
}

// Keeps a run that was read. Maps of new bytes inside another's tell
// nothing more, whatever old bytes they map to; when all places are taken,
// the map that ends first goes, since the scan only moves forward.
void keep(AgreementMaps* maps, const MatchMapping& run) {
  if (run.length < kMinKeptRun) return;
  int kept = 0;
  for (int i = 0; i < maps->count; ++i) {
    const MatchMapping& map = maps->maps[i];
    if (map.new_start <= run.new_start && end_of(run) <= end_of(map)) return;
    if (!(run.new_start <= map.new_start && end_of(map) <= end_of(run))) maps->maps[kept++] = map;
  }
  maps->count = kept;
  if (maps->count == AgreementMaps::kCapacity) {
    int first_end = 0;
    for (int i = 1; i < maps->count; ++i) {
      if (end_of(maps->maps[i]) < end_of(maps->maps[first_end])) first_end = i;
    }
    maps->maps[first_end] = maps->maps[--maps->count];
  }
  maps->maps[maps->count++] = run;
}

// Common prefix of the old suffixes at a and b.
std::int32_t old_common_prefix(const SuffixLcpIndex& index, std::int32_t a, std::int32_t b) {
  if (a == b) return index.old_length - a;
  return lcp_of_ranks(index, index.rank[a], index.rank[b]);
}

// Common suffix of old[0, a) and old[0, b), at most cap. They share r
// bytes exactly when the suffixes r bytes before the ends share a prefix
// of r bytes: true up to the answer, false past it, so the answer is found
// by doubling and halving r.
std::int32_t old_common_suffix(const SuffixLcpIndex& index, const std::uint8_t* old_data,
                               std::int32_t a, std::int32_t b, std::int32_t cap) {
  assert(cap <= a && cap <= b);
  if (a == b) return cap;
  const auto shares = [&](std::int32_t r) { return old_common_prefix(index, a - r, b - r) >= r; };
  if (shares(cap)) return cap;
  const std::int32_t direct = std::min(cap, kDirectBytes);
  std::int32_t good = common_suffix_length(old_data + a, old_data + b, direct);
  if (good < direct) return good;
  std::int32_t bad = cap;  // the ends do not share `bad` bytes
  while (static_cast<std::int64_t>(good) * 2 < bad) {
    if (!shares(good * 2)) {
      bad = good * 2;
      break;
    }
    good *= 2;
  }
  while (bad - good > 1) {
    const std::int32_t middle = good + (bad - good) / 2;
    if (shares(middle)) {
      good = middle;
    } else {
      bad = middle;
    }
  }
  return good;
}

}  // namespace

std::int32_t mapped_agreeing_run(const SuffixLcpIndex& index, AgreementMaps* maps,
                                 const std::uint8_t* old_data, const std::uint8_t* new_data,
                                 std::int32_t old_position, std::int32_t new_position,
                                 std::int32_t limit) {
  const std::int32_t direct = std::min(limit, kDirectBytes);
  std::int32_t agreed =
      common_prefix_length(old_data + old_position, direct, new_data + new_position, direct);
  if (agreed < direct) return agreed;
  while (agreed < limit) {
    const std::int32_t at = new_position + agreed;
    if (const MatchMapping* map = reaching_forward(*maps, at)) {
      // new[at, at + cap) is old bytes from mapped_at on.
      const std::int32_t into = at - map->new_start;
      const std::int32_t cap = std::min(map->length - into, limit - agreed);
      const std::int32_t common =
          old_common_prefix(index, map->old_start + into, old_position + agreed);
      if (common < cap) {
        agreed += common;
        break;
      }
      agreed += cap;
      continue;
    }
    const auto span = static_cast<std::int32_t>(
        std::min<std::int64_t>(limit - agreed, next_map_start(*maps, at) - at));
    const std::int32_t read =
        common_prefix_length(old_data + old_position + agreed, span, new_data + at, span);
    agreed += read;
    if (read < span) break;
  }
  keep(maps, MatchMapping{new_position, old_position, agreed});
  return agreed;
}

std::int32_t mapped_agreeing_run_before(const SuffixLcpIndex& index, AgreementMaps* maps,
                                        const std::uint8_t* old_data, const std::uint8_t* new_data,
                                        std::int32_t old_end, std::int32_t new_end,
                                        std::int32_t limit) {
  const std::int32_t direct = std::min(limit, kDirectBytes);
  std::int32_t agreed = common_suffix_length(old_data + old_end, new_data + new_end, direct);
  if (agreed < direct) return agreed;
  while (agreed < limit) {
    const std::int32_t at = new_end - agreed;  // the run so far is new[at, new_end)
    if (const MatchMapping* map = reaching_back(*maps, at)) {
      // new[at - cap, at) is old bytes up to mapped_end.
      const std::int32_t into = at - map->new_start;
      const std::int32_t cap = std::min(into, limit - agreed);
      const std::int32_t common =
          old_common_suffix(index, old_data, map->old_start + into, old_end - agreed, cap);
      if (common < cap) {
        agreed += common;
        break;
      }
      agreed += cap;
      continue;
    }
    const auto span = static_cast<std::int32_t>(
        std::min<std::int64_t>(limit - agreed, at - previous_map_end(*maps, at)));
    const std::int32_t read =
        common_suffix_length(old_data + old_end - agreed, new_data + at, span);
    agreed += read;
    if (read < span) break;
  }
  keep(maps, MatchMapping{new_end - agreed, old_end - agreed, agreed});
  return agreed;
}

}  // namespace core
