// Suffix sorting against a plain baseline on the same inputs, and the cost of
// one match search as the scan makes it.
//
// The baseline sorts suffix start positions with std::sort and a bytewise
// comparator. Items are suffixes sorted (or queries answered), so for one
// input the items/s of the two sorts read as a ratio. Each comparison of the
// baseline costs the length of the prefix the two suffixes share, which on
// repetitive data is most of the input: its sizes stay small there.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "delta/match_search.h"
#include "delta/suffix_array.h"

namespace {

enum InputKind { kRandom, kText, kRepetitive };

std::vector<std::uint8_t> make_input(InputKind kind, std::size_t size) {
  std::mt19937 rng(20240613);
  std::vector<std::uint8_t> data;
  data.reserve(size + 16);
  if (kind == kRandom) {
    while (data.size() < size) data.push_back(static_cast<std::uint8_t>(rng()));
  } else if (kind == kText) {
    // Source-like text: a small vocabulary, so prefixes repeat but briefly.
    static const char* const kWords[] = {"def",   "return", "self",  "if",     "else:", "for", "in",
                                         "value", "index",  "count", "=",      "+=",    "1",   "(",
                                         ")",     "name",   "None",  "import", "table"};
    constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];
    while (data.size() < size) {
      const char* word = kWords[rng() % kWordCount];
      data.insert(data.end(), word, word + std::strlen(word));
      data.push_back(rng() % 6 == 0 ? '\n' : ' ');
    }
    data.resize(size);
  } else {
    // One phrase over and over: the longest repeat is nearly the whole input.
    static const char kPhrase[] = "status = ready; ";
    constexpr std::size_t kPhraseLength = sizeof kPhrase - 1;
    while (data.size() < size) data.push_back(kPhrase[data.size() % kPhraseLength]);
  }
  return data;
}

void sort_suffixes_naive(std::vector<std::int32_t>& suffix_array, const std::uint8_t* data,
                         std::int32_t length) {
  std::iota(suffix_array.begin(), suffix_array.end(), 0);
  std::sort(suffix_array.begin(), suffix_array.end(),
            [data, length](std::int32_t a, std::int32_t b) {
              const std::int32_t a_length = length - a;
              const std::int32_t b_length = length - b;
              const int order = std::memcmp(data + a, data + b, std::min(a_length, b_length));
              return order != 0 ? order < 0 : a_length < b_length;
            });
}

void set_throughput(benchmark::State& state, std::int64_t length) {
  state.SetItemsProcessed(state.iterations() * (length + 1));
  state.SetBytesProcessed(state.iterations() * length);
}

template <InputKind kind>
void BM_build_suffix_array(benchmark::State& state) {
  const auto data = make_input(kind, static_cast<std::size_t>(state.range(0)));
  const auto length = static_cast<std::int32_t>(data.size());
  // What the arrays hold on entry does not matter, so they are reused.
  std::vector<std::int32_t> suffix_array(data.size() + 1);
  std::vector<std::int32_t> rank(data.size() + 1);
  for (auto _ : state) {
    if (!core::build_suffix_array(suffix_array.data(), rank.data(), data.data(), length)) {
      state.SkipWithError("out of memory");
      break;
    }
    benchmark::DoNotOptimize(suffix_array.data());
  }
  set_throughput(state, length);
}

template <InputKind kind>
void BM_naive_sort(benchmark::State& state) {
  const auto data = make_input(kind, static_cast<std::size_t>(state.range(0)));
  const auto length = static_cast<std::int32_t>(data.size());
  std::vector<std::int32_t> suffix_array(data.size() + 1);
  for (auto _ : state) {
    sort_suffixes_naive(suffix_array, data.data(), length);
    benchmark::DoNotOptimize(suffix_array.data());
  }
  set_throughput(state, length);
}

// One search per item, for the rest of a new data that differs from the old
// in one byte out of 64, as the scan meets it after scattered edits.
template <InputKind kind>
void BM_find_longest_match(benchmark::State& state) {
  const auto old_data = make_input(kind, static_cast<std::size_t>(state.range(0)));
  const auto length = static_cast<std::int32_t>(old_data.size());
  std::mt19937 rng(7);
  auto new_data = old_data;
  for (std::int32_t at = 0; at < length; at += 64) {
    new_data[std::min<std::int32_t>(length - 1, at + rng() % 64)] ^= 0x20;
  }
  std::vector<std::int32_t> suffix_array(old_data.size() + 1);
  std::vector<std::int32_t> rank(old_data.size() + 1);
  if (!core::build_suffix_array(suffix_array.data(), rank.data(), old_data.data(), length)) {
    state.SkipWithError("out of memory");
    return;
  }
  constexpr std::size_t kQueries = 4096;
  std::vector<std::int32_t> queries(kQueries);
  for (auto& position : queries) position = static_cast<std::int32_t>(rng() % length);

  std::size_t next = 0;
  std::int64_t matched = 0;
  for (auto _ : state) {
    const std::int32_t position = queries[next++ % kQueries];
    std::int32_t match_position = 0;
    const std::int32_t match_length = core::find_longest_match(
        suffix_array.data(), old_data.data(), length, new_data.data() + position, length - position,
        0, length, &match_position);
    benchmark::DoNotOptimize(match_position);
    matched += match_length;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["match_length"] =
      benchmark::Counter(static_cast<double>(matched), benchmark::Counter::kAvgIterations);
}

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;

BENCHMARK_TEMPLATE(BM_build_suffix_array, kRandom)
    ->Arg(64 * kKiB)
    ->Arg(1 * kMiB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_naive_sort, kRandom)
    ->Arg(64 * kKiB)
    ->Arg(1 * kMiB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_build_suffix_array, kText)
    ->Arg(64 * kKiB)
    ->Arg(1 * kMiB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_naive_sort, kText)
    ->Arg(64 * kKiB)
    ->Arg(1 * kMiB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_build_suffix_array, kRepetitive)
    ->Arg(4 * kKiB)
    ->Arg(16 * kKiB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_naive_sort, kRepetitive)
    ->Arg(4 * kKiB)
    ->Arg(16 * kKiB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_find_longest_match, kRandom)->Arg(1 * kMiB);
BENCHMARK_TEMPLATE(BM_find_longest_match, kText)->Arg(1 * kMiB);

}  // namespace
