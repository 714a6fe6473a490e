#include "delta/scan_search.h"

#include "delta/periodic.h"

namespace core {
namespace {

// A scanner adds its searches to the shared count this many at a time.
constexpr std::int64_t kContinuedBatch = 256;

}  // namespace

SharedSuffixRank::SharedSuffixRank(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                                   std::int32_t old_length, SuffixRankUse use, int threads)
    : suffix_array_(suffix_array),
      old_data_(old_data),
      old_length_(old_length),
      bound_(use == SuffixRankUse::kAuto ? old_length / kOldBytesPerContinuedSearch : INT64_MAX) {
  if (use == SuffixRankUse::kAlways) build(threads);
}

void SharedSuffixRank::add_continued(std::int64_t searches) {
  const std::int64_t before = continued_.fetch_add(searches, std::memory_order_relaxed);
  // The scanner whose searches pass the bound builds it; the others go on.
  if (before < bound_ && before + searches >= bound_) build(threads_);
}

void SharedSuffixRank::build(int threads) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (tried_) return;
  tried_ = true;
  // On failure the aid holds nothing and the searches go on without it.
  if (build_suffix_rank(suffix_array_, old_data_, old_length_, threads, &aid_)) {
    ready_.store(&aid_, std::memory_order_release);
  }
}

MappedSearchIndex::MappedSearchIndex(const std::int32_t* suffix_array, const std::uint8_t* old_data,
                                     std::int32_t old_length, std::int32_t new_length,
                                     MappedSearchUse use, const SharedSuffixRank* ranks)
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
    const SuffixRank* ranks = ranks_ != nullptr ? ranks_->get() : nullptr;
    build_suffix_lcp_index(suffix_array_, old_data_, old_length_, &index_,
                           ranks != nullptr ? ranks->rank.get() : nullptr);
  }
  return index_.rank != nullptr ? &index_ : nullptr;
}

bool MappedSearchIndex::built() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return index_.rank != nullptr;
}

// Counts the searches that could start where the last one ended, adds them
// to the shared count now and then, and hands the rank array to the
// lookahead once it is there.
void note_continuation(ScanSearcher& searcher, std::int32_t position) {
  const bool first = searcher.last_position < 0;
  if (position == searcher.last_position + 1) ++searcher.continued;
  searcher.last_position = position;
  if (searcher.continued < kContinuedBatch && !first) return;
  searcher.ranks->add_continued(searcher.continued);
  searcher.continued = 0;
  if (const SuffixRank* ranks = searcher.ranks->get()) {
    searcher.lookahead->use_ranks(ranks);
    searcher.ranked = true;
  }
}

std::int32_t search_for_scan(ScanSearcher& searcher, const SearchAids* aids,
                             const std::int32_t* suffix_array, const std::uint8_t* old_data,
                             std::int32_t old_length, const std::uint8_t* new_data,
                             std::int32_t new_length, std::int32_t position,
                             std::int32_t* match_position) {
  ++searcher.searches;
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
    if (searcher.ranks != nullptr && !searcher.ranked) note_continuation(searcher, position);
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
