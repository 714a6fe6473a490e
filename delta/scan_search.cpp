#include "delta/scan_search.h"

#include "delta/periodic.h"

namespace core {

MappedSearchIndex::MappedSearchIndex(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                                     std::int32_t old_length, std::int32_t new_length,
                                     MappedSearchUse use, const std::int32_t* ranks)
    : suffix_array_(suffix_array),
      old_data_(old_data),
      old_length_(old_length),
      ranks_(ranks),
      use_(use),
      long_compared_bound_(kLongComparedPerInputByte *
                           (static_cast<std::int64_t>(old_length) + new_length)) {}

const SuffixLcpIndex* MappedSearchIndex::get() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!tried_) {
    tried_ = true;
    // On failure the index holds nothing and the scanners search plainly.
    build_suffix_lcp_index(suffix_array_, old_data_, old_length_, &index_, ranks_);
  }
  return index_.rank != nullptr ? &index_ : nullptr;
}

bool MappedSearchIndex::built() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return index_.rank != nullptr;
}

std::int32_t search_for_scan(ScanSearcher& searcher, const SearchAids* aids,
                             const std::int32_t* suffix_array, const std::uint8_t* old_data,
                             std::int32_t old_length, const std::uint8_t* new_data,
                             std::int32_t new_length, std::int32_t position,
                             std::int32_t* match_position) {
  MappedSearchIndex* shared = searcher.shared;
  if (searcher.index == nullptr && shared != nullptr && shared->use() != MappedSearchUse::kNever &&
      (shared->use() == MappedSearchUse::kAlways ||
       searcher.long_compared > shared->long_compared_bound())) {
    searcher.index = shared->get();
    // Whether or not the index could be had, this scanner has decided.
    searcher.shared = nullptr;
  }
  if (searcher.index != nullptr) {
    return find_longest_match_mapped(*searcher.index, aids, suffix_array, old_data, old_length,
                                     new_data, new_length, position, &searcher.mapping,
                                     match_position);
  }
  std::int64_t* counter =
      searcher.shared != nullptr && searcher.shared->use() == MappedSearchUse::kAuto
          ? &searcher.long_compared
          : nullptr;
  if (searcher.lookahead != nullptr) {
    const Match match = searcher.lookahead->find(position, counter);
    *match_position = match.position;
    return match.length;
  }
  const std::uint8_t* target = new_data + position;
  const std::int32_t target_length = new_length - position;
  return aids != nullptr
             ? find_longest_match_aided(*aids, suffix_array, old_data, old_length, target,
                                        target_length, span_from(aids->new_stretches, position),
                                        match_position, counter)
             : find_longest_match(suffix_array, old_data, old_length, target, target_length, 0,
                                  old_length, match_position, counter);
}

}  // namespace core
