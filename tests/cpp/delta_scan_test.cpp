// The delta scan, pass by pass, on small inputs whose Delta is known, and
// round trips through the patch functions on many others.
#include "delta/delta_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>

#include "delta/delta_driver.h"
#include "delta/match_search.h"
#include "failing_heap.h"
#include "test_support.h"

namespace {

using core_test::Bytes;
using core_test::bytes;
using core_test::Triple;

struct Scanned {
  std::string passes;  // one letter per pass: E when it emitted an entry, . when not
  std::vector<Triple> entries;
  Bytes diff_block;
  Bytes extra_block;
};

// Walks the scan pass by pass, then writes the blocks from the entries into
// buffers of exactly their lengths.
Scanned scan(const Bytes& old_data, const Bytes& new_data) {
  const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
  EXPECT_EQ(suffix_array.size(), old_data.size() + 1);
  const core::DeltaInputs inputs{old_data.data(), static_cast<std::int32_t>(old_data.size()),
                                 new_data.data(), static_cast<std::int32_t>(new_data.size()),
                                 suffix_array.data()};
  Scanned scanned;
  std::vector<core::ControlEntry> entries;
  core::DeltaScan state;
  // Every pass but the last moves the scan on, so a sound scan needs at most
  // new length + 1 passes; the bound turns a scan that stalls into a failure.
  while (!core::scan_finished(state, inputs) && scanned.passes.size() <= new_data.size()) {
    const bool emit = core::run_scan_pass(state, inputs);
    scanned.passes += emit ? 'E' : '.';
    if (emit) entries.push_back(core::emit_control_entry(state, inputs));
  }
  for (const core::ControlEntry& entry : entries)
    scanned.entries.push_back(core_test::triple(entry));
  const core::BlockLengths lengths = core::block_lengths(entries.data(), entries.size());
  scanned.diff_block.resize(lengths.diff);
  scanned.extra_block.resize(lengths.extra);
  core::write_delta_blocks(old_data.data(), static_cast<std::int32_t>(old_data.size()),
                           new_data.data(), static_cast<std::int32_t>(new_data.size()),
                           entries.data(), entries.size(), scanned.diff_block.data(),
                           scanned.extra_block.data());
  return scanned;
}

struct Example {
  const char* name;
  std::string old_data;
  std::string new_data;
  std::string passes;
  std::vector<Triple> entries;
  Bytes diff_block;
  std::string extra_block;
};

Bytes zeros(std::size_t count) { return Bytes(count); }

// The entries of a whole diff through the driver, as triples.
std::vector<Triple> diff_entries(const Bytes& old_data, const Bytes& new_data,
                                 const core::DiffSettings& settings, core::DiffTimings* timings) {
  core::GrowableArray<core::ControlEntry> entries;
  EXPECT_TRUE(core::compute_delta(old_data.data(), static_cast<std::int32_t>(old_data.size()),
                                  new_data.data(), static_cast<std::int32_t>(new_data.size()),
                                  settings, &entries, timings));
  std::vector<Triple> triples;
  for (std::size_t i = 0; i < entries.size(); ++i) triples.push_back(core_test::triple(entries[i]));
  return triples;
}

Bytes with_byte(Bytes block, std::size_t at, std::uint8_t value) {
  block[at] = value;
  return block;
}

TEST(DeltaScan, KnownDeltas) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
  const std::string twice = "abcdefghijkabcdefghijk";
  const Example examples[] = {
      {"empty new data", "abc", "", "", {}, {}, ""},
      {"empty old data", "", "xyz", "E", {{0, 3, 0}}, {}, "xyz"},
      // The first search matches all 16 bytes, as many as the alignment
      // already gives: no entry until the next pass reaches the end.
      {"identical", "abcdefghijklmnop", "abcdefghijklmnop", ".E", {{16, 0, -16}}, zeros(16), ""},
      {"aa", "aa", "aa", "..E", {{2, 0, -1}}, zeros(2), ""},
      {"last byte changed", "abc", "abd", ".E", {{2, 1, 0}}, zeros(2), "d"},
      {"digits in front",
       alphabet,
       "0123456789" + alphabet,
       "EE",
       {{0, 10, 0}, {26, 0, -26}},
       zeros(26),
       "0123456789"},
      // The match of "here" inside "there" never beats the alignment by more
      // than 8 bytes, so it opens no entry; '!' - ',' is 0xF5.
      {"hello",
       "hello world, hello there",
       "hello world! hello here",
       "..E",
       {{19, 4, 4}},
       with_byte(zeros(19), 11, 0xF5),
       "here"},
      // At scan position 1 the match ac must be weighed against a score that
      // no longer counts the byte at 0, which the scan has passed.
      {"score follows the scan position", "aaac", "aac", "E", {{2, 1, 1}}, zeros(2), "c"},
      // Stretches of 1 and 3 bytes both agree by a margin of 1: the shorter wins.
      {"shortest best forward extension", "abcd", "aZcW", "..E", {{1, 3, -1}}, zeros(1), "ZcW"},
      // After the x, the whole old data matches: 8 bytes beat the alignment
      // by exactly the margin and open no entry, 9 bytes beat it by more.
      {"match 8 bytes better", "abcdefgh", "xabcdefgh", "E", {{0, 9, 7}}, {}, "xabcdefgh"},
      {"match 9 bytes better",
       "abcdefghi",
       "xabcdefghi",
       "EE",
       {{0, 1, 0}, {9, 0, -9}},
       zeros(9),
       "x"},
      // The overlap of the second entry is split evenly, so it all goes to
      // the backward side: that entry only moves the old position.
      {"one byte in front of a repeat",
       twice,
       "x" + twice,
       "EEE",
       {{0, 1, 11}, {0, 0, -11}, {22, 0, -11}},
       zeros(22),
       "x"},
      // The first entry is emitted at scan position 0 with both extensions empty.
      {"swapped halves",
       alphabet,
       alphabet.substr(13) + alphabet.substr(0, 13),
       "EEE",
       {{0, 0, 13}, {13, 0, -26}, {13, 0, -13}},
       zeros(26),
       ""},
  };
  for (const Example& example : examples) {
    SCOPED_TRACE(example.name);
    const Scanned scanned = scan(bytes(example.old_data), bytes(example.new_data));
    EXPECT_EQ(scanned.passes, example.passes);
    EXPECT_EQ(scanned.entries, example.entries);
    EXPECT_EQ(scanned.diff_block, example.diff_block);
    EXPECT_EQ(scanned.extra_block, bytes(example.extra_block));
  }
}

Bytes random_bytes(std::mt19937& random, std::size_t count, int alphabet) {
  Bytes result(count);
  for (auto& b : result) b = static_cast<std::uint8_t>(random() % alphabet * (256 / alphabet));
  return result;
}

// New data made from the old by the edits a new version of a file brings:
// insertions, deletions, changed bytes and blocks copied from elsewhere.
Bytes edited(const Bytes& old_data, std::mt19937& random, int alphabet) {
  Bytes result = old_data;
  for (int edits = static_cast<int>(random() % 10); edits > 0; --edits) {
    const std::size_t at = random() % (result.size() + 1);
    const std::size_t count = 1 + random() % 60;
    switch (random() % 4) {
      case 0: {
        const Bytes inserted = random_bytes(random, count, alphabet);
        result.insert(result.begin() + at, inserted.begin(), inserted.end());
        break;
      }
      case 1:
        result.erase(result.begin() + at, result.begin() + std::min(at + count, result.size()));
        break;
      case 2:
        for (std::size_t i = at; i < std::min(at + count, result.size()); i += 1 + random() % 4) {
          result[i] = static_cast<std::uint8_t>(result[i] + 1 + random() % 255);
        }
        break;
      default:
        if (!old_data.empty()) {
          const std::size_t from = random() % old_data.size();
          const std::size_t end = std::min(from + count * 4, old_data.size());
          result.insert(result.begin() + at, old_data.begin() + from, old_data.begin() + end);
        }
        break;
    }
  }
  return result;
}

TEST(DeltaScan, RoundTripsThroughPatch) {
  std::mt19937 random(5);
  for (int round = 0; round < 300; ++round) {
    const int alphabet = 1 << (random() % 9);
    const Bytes old_data = random_bytes(random, random() % 1500, alphabet);
    const Bytes new_data = round % 10 == 0 ? random_bytes(random, random() % 300, alphabet)
                                           : edited(old_data, random, alphabet);
    SCOPED_TRACE(testing::Message() << "round " << round << ": old " << old_data.size() << ", new "
                                    << new_data.size());
    const Scanned scanned = scan(old_data, new_data);

    std::int64_t diff_total = 0, extra_total = 0, old_position = 0;
    for (const Triple& entry : scanned.entries) {
      ASSERT_GE(entry[0], 0);
      ASSERT_GE(entry[1], 0);
      if (entry[0] > 0) {  // diff runs read only inside the old data
        ASSERT_GE(old_position, 0);
        ASSERT_LE(old_position + entry[0], static_cast<std::int64_t>(old_data.size()));
      }
      diff_total += entry[0];
      extra_total += entry[1];
      old_position += static_cast<std::int64_t>(entry[0]) + entry[2];
    }
    EXPECT_EQ(diff_total, static_cast<std::int64_t>(scanned.diff_block.size()));
    EXPECT_EQ(extra_total, static_cast<std::int64_t>(scanned.extra_block.size()));
    EXPECT_EQ(diff_total + extra_total, static_cast<std::int64_t>(new_data.size()));

    const core_test::Applied applied =
        core_test::apply_delta(old_data, static_cast<std::int32_t>(new_data.size()),
                               scanned.entries, scanned.diff_block, scanned.extra_block);
    ASSERT_EQ(applied.outcome, core_test::Outcome::kRebuilt);
    ASSERT_EQ(applied.output, new_data);
  }
}

// Entry emission as the rule states it, one byte per step, for checking the
// emission that skips agreeing stretches a vector at a time.
core::ControlEntry reference_emit(core::DeltaScan& scan, const Bytes& old_data,
                                  const Bytes& new_data) {
  const auto old_length = static_cast<std::int32_t>(old_data.size());
  const auto choose = [](std::int32_t limit, const std::function<bool(std::int32_t)>& agrees) {
    std::int32_t agreeing = 0, best_value = 0, best_length = 0;
    for (std::int32_t k = 1; k <= limit; ++k) {
      agreeing += agrees(k);
      if (2 * agreeing - k > best_value) {
        best_value = 2 * agreeing - k;
        best_length = k;
      }
    }
    return best_length;
  };
  std::int32_t forward =
      choose(std::min(scan.scan_position - scan.new_anchor, old_length - scan.old_anchor),
             [&](std::int32_t k) {
               return old_data[scan.old_anchor + k - 1] == new_data[scan.new_anchor + k - 1];
             });
  std::int32_t backward = 0;
  if (scan.scan_position < static_cast<std::int32_t>(new_data.size())) {
    backward = choose(
        std::min(scan.scan_position - scan.new_anchor, scan.match_position), [&](std::int32_t k) {
          return old_data[scan.match_position - k] == new_data[scan.scan_position - k];
        });
  }
  const std::int32_t overlap = scan.new_anchor + forward - (scan.scan_position - backward);
  std::int32_t running = 0, best = 0, split = 0;
  for (std::int32_t i = 0; i < overlap; ++i) {
    running += new_data[scan.new_anchor + forward - overlap + i] ==
               old_data[scan.old_anchor + forward - overlap + i];
    running -=
        new_data[scan.scan_position - backward + i] == old_data[scan.match_position - backward + i];
    if (running > best) {
      best = running;
      split = i + 1;
    }
  }
  if (overlap > 0) {
    forward += split - overlap;
    backward -= split;
  }
  const std::int32_t extra = scan.scan_position - backward - (scan.new_anchor + forward);
  const core::ControlEntry entry{forward, extra,
                                 scan.match_position - backward - (scan.old_anchor + forward)};
  scan.new_anchor = scan.scan_position - backward;
  scan.old_anchor = scan.match_position - backward;
  scan.anchor_offset = scan.match_position - scan.scan_position;
  return entry;
}

// Long agreeing stretches (repeats, copies, shared prefixes) are where the
// emission skips ahead, and the overlap of the two extensions is widest, so
// the inputs are built from them; every entry must equal the reference's.
TEST(DeltaScan, EmissionMatchesTheBytewiseRule) {
  std::mt19937 random(17);
  for (int round = 0; round < 200; ++round) {
    // Half the rounds repeat a short period; the others use two to four
    // byte values, where any two alignments agree on many bytes, so the
    // overlaps hold both kinds of position.
    Bytes old_data;
    if (round % 2 == 0) {
      const std::size_t period = 1 + random() % 70;
      old_data = random_bytes(random, period, 256);
      old_data.resize(period + random() % 6000);
      for (std::size_t i = period; i < old_data.size(); ++i) old_data[i] = old_data[i - period];
    } else {
      old_data = random_bytes(random, random() % 3000, 2 + static_cast<int>(random() % 3));
    }
    const Bytes new_data = edited(old_data, random, 1 << (random() % 9));
    SCOPED_TRACE(testing::Message() << "round " << round);

    const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
    const auto old_length = static_cast<std::int32_t>(old_data.size());
    const auto new_length = static_cast<std::int32_t>(new_data.size());
    // With the search's aids, as diff runs: the emission then skips what
    // periodic stretches make known.
    core::SearchAids aids;
    ASSERT_TRUE(core::make_search_aids(suffix_array.data(), old_data.data(), old_length,
                                       new_data.data(), new_length, &aids));
    const core::DeltaInputs inputs{old_data.data(), old_length,          new_data.data(),
                                   new_length,      suffix_array.data(), &aids};
    core::DeltaScan state;
    while (!core::scan_finished(state, inputs)) {
      if (!core::run_scan_pass(state, inputs)) continue;
      core::DeltaScan expected_state = state;
      const core::ControlEntry expected = reference_emit(expected_state, old_data, new_data);
      const core::ControlEntry entry = core::emit_control_entry(state, inputs);
      ASSERT_EQ(core_test::triple(entry), core_test::triple(expected));
      ASSERT_TRUE(state == expected_state);
    }
  }
}

// Threads scan pieces and hand over where the scans meet; the entries must
// be those of the one scan from the start, for any number of threads and
// any cut. Pieces of one byte put a hand-over at nearly every pass, long
// ones at few; with more threads than pieces some wait, with more pieces
// than threads one scan takes on the next, and scans of periodic data meet
// late, give up, and are taken over. Half the rounds search with the aids
// and the rank array, as diff does. Where nothing ends a pass (new bytes
// that the old data lacks), the scans together search at most four times
// as often as there are new bytes, whatever the threads do: the first
// piece's scan and the last piece's own run to the end, and every other
// piece's own scan gives up about two piece lengths on, as no pass start
// comes for it to meet another scan or take a piece on.
TEST(DeltaScan, ScanOnManyThreadsGivesTheSameEntries) {
  std::mt19937 random(23);
  for (int round = 0; round < 44; ++round) {
    const int alphabet = 1 << (random() % 9);
    Bytes old_data = random_bytes(random, 200 + random() % 6000, alphabet);
    if (round % 3 == 0) {  // periodic data, where scans fall into step slowly
      const std::size_t period = 1 + random() % 90;
      for (std::size_t i = period; i < old_data.size(); ++i) old_data[i] = old_data[i - period];
    }
    Bytes new_data = round % 5 == 0 ? random_bytes(random, random() % 3000, alphabet)
                                    : edited(old_data, random, alphabet);
    const bool endless_pass = round >= 40;
    if (endless_pass) {  // odd new bytes, even old ones: no match anywhere
      old_data.resize(53 * (round - 39));
      new_data = random_bytes(random, 1 << (11 + round - 40), 2);
      for (std::uint8_t& byte : new_data) byte |= 1;
      for (std::uint8_t& byte : old_data) byte &= 0xFE;
    }
    SCOPED_TRACE(testing::Message() << "round " << round);
    const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
    const auto old_length = static_cast<std::int32_t>(old_data.size());
    const auto new_length = static_cast<std::int32_t>(new_data.size());
    core::SearchAids aids;
    const bool aided = round % 2 == 1;
    if (aided) {
      ASSERT_TRUE(core::make_search_aids(suffix_array.data(), old_data.data(), old_length,
                                         new_data.data(), new_length, &aids));
    }
    core::SharedSuffixRank ranks(suffix_array.data(), old_data.data(), old_length,
                                 aided ? core::SuffixRankUse::kAlways : core::SuffixRankUse::kNever,
                                 2);
    const core::DeltaInputs inputs{old_data.data(), old_length,          new_data.data(),
                                   new_length,      suffix_array.data(), aided ? &aids : nullptr};
    core::GrowableArray<core::ControlEntry> alone;
    core::HandOvers alone_work;
    ASSERT_TRUE(
        core::scan_delta(inputs, core::ScanSettings{1, 0}, &alone, nullptr, nullptr, &alone_work));
    for (const int threads : {2, 3, 4, 8}) {
      for (const std::int32_t piece_length : {1, 7, 64, 500, 4096}) {
        core::GrowableArray<core::ControlEntry> together;
        core::HandOvers work;
        ASSERT_TRUE(core::scan_delta(inputs, core::ScanSettings{threads, piece_length, aided},
                                     &together, nullptr, &ranks, &work));
        if (endless_pass) {
          EXPECT_LE(work.searches, 4 * std::int64_t{new_length})
              << threads << " threads, pieces of " << piece_length << ": " << work.searches
              << " searches, one scan " << alone_work.searches;
        }
        ASSERT_EQ(together.size(), alone.size())
            << threads << " threads, pieces of " << piece_length;
        for (std::size_t i = 0; i < alone.size(); ++i) {
          ASSERT_EQ(core_test::triple(together[i]), core_test::triple(alone[i]))
              << "entry " << i << ", " << threads << " threads, pieces of " << piece_length;
        }
      }
    }
  }
}

// As many threads as asked for, up to the bound, and as many as the
// machine has cores where 0 asks the driver to choose.
TEST(DeltaScan, ThreadCountFollowsTheSettings) {
  EXPECT_EQ(core::scan_threads(core::ScanSettings{1, 0}), 1);
  EXPECT_EQ(core::scan_threads(core::ScanSettings{3, 0}), 3);
  EXPECT_EQ(core::scan_threads(core::ScanSettings{1000, 0}), core::kMaxScanThreads);
  const int chosen = core::scan_threads(core::ScanSettings{0, 0});
  EXPECT_GE(chosen, 1);
  EXPECT_LE(chosen, core::kMaxScanThreads);
}

// Where the rank array cannot be had (a 32-bit process with large data),
// diff goes on without it, to the same entries: its allocation is made to
// fail, with either sorter, on one thread and on several.
TEST(ComputeDelta, RankArrayRefusedChangesNoEntry) {
  if (!core_test::heap_failures_possible()) GTEST_SKIP() << "malloc cannot fail on request here";
  std::mt19937 random(61);
  // An old length whose arrays' size no other allocation of the diff has.
  const Bytes old_data = random_bytes(random, 90001, 16);
  const Bytes new_data = edited(old_data, random, 16);
  const auto old_length = static_cast<std::int32_t>(old_data.size());
  const auto new_length = static_cast<std::int32_t>(new_data.size());
  const std::size_t array_bytes = (old_data.size() + 1) * sizeof(std::int32_t);
  for (const int threads : {1, 3}) {
    core::DiffSettings settings;
    settings.sorter = core::SuffixSorter::kBuiltIn;
    settings.suffix_rank = core::SuffixRankUse::kAlways;
    settings.scan = core::ScanSettings{threads, 5000};
    core::GrowableArray<core::ControlEntry> expected;
    ASSERT_TRUE(core::compute_delta(old_data.data(), old_length, new_data.data(), new_length,
                                    settings, &expected));
    // The suffix array, the built-in sort's own ranks, then the rank array;
    // libdivsufsort needs no ranks of its own.
    for (const core::SuffixSorter sorter :
         {core::SuffixSorter::kBuiltIn, core::SuffixSorter::kFastest}) {
      settings.sorter = sorter;
      const bool own_ranks = sorter == core::SuffixSorter::kBuiltIn || !core::kLibrarySorter;
      core_test::fail_heap_allocation(array_bytes, own_ranks ? 3 : 2);
      core::GrowableArray<core::ControlEntry> entries;
      ASSERT_TRUE(core::compute_delta(old_data.data(), old_length, new_data.data(), new_length,
                                      settings, &entries));
      EXPECT_TRUE(core_test::heap_failure_happened());
      core_test::fail_heap_allocation(0, 1);
      ASSERT_EQ(entries.size(), expected.size()) << threads << " threads";
      for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(core_test::triple(entries[i]), core_test::triple(expected[i]))
            << "entry " << i << ", " << threads << " threads";
      }
    }
  }
}

// The rank array is built where the scan searches most positions, as in a
// binary whose code moved (a byte changed every few), and not where it
// skips most of them, as in text with a few edits; built or not, from the
// start or on the way, on one thread or several, it changes no entry.
TEST(ComputeDelta, RankArrayIsBuiltWhereItPays) {
  std::mt19937 random(67);
  for (int round = 0; round < 6; ++round) {
    const bool moved_code = round % 2 == 0;
    const Bytes old_data = random_bytes(random, 40000 + random() % 20000, 256);
    Bytes new_data = old_data;
    if (moved_code) {
      for (std::size_t i = random() % 8; i < new_data.size(); i += 1 + random() % 12) {
        new_data[i] = static_cast<std::uint8_t>(new_data[i] + 1);
      }
    } else {
      new_data = edited(old_data, random, 256);
    }
    SCOPED_TRACE(testing::Message() << "round " << round);
    const auto diff = [&](core::SuffixRankUse use, int threads, bool* built) {
      core::DiffSettings settings;
      settings.suffix_rank = use;
      settings.scan = core::ScanSettings{threads, 3000};
      core::DiffTimings timings;
      const std::vector<Triple> triples = diff_entries(old_data, new_data, settings, &timings);
      *built = timings.rank_built;
      return triples;
    };
    bool built = true;
    const std::vector<Triple> plain = diff(core::SuffixRankUse::kNever, 1, &built);
    EXPECT_FALSE(built);
    EXPECT_EQ(diff(core::SuffixRankUse::kAuto, 1, &built), plain);
    EXPECT_EQ(built, moved_code);
    EXPECT_EQ(diff(core::SuffixRankUse::kAuto, 3, &built), plain);
    EXPECT_EQ(diff(core::SuffixRankUse::kAlways, 2, &built), plain);
    EXPECT_TRUE(built);
  }
}

// The mapped search and its runs change no entry, whether forced on from
// the first search, on one thread or two, or switched to on the way; the
// switch happens on long repeats and never on ordinary edits.
TEST(ComputeDelta, MappedSearchChangesNoEntry) {
  std::mt19937 random(43);
  for (int round = 0; round < 12; ++round) {
    const bool repeats = round % 3 != 2;
    const std::size_t period = std::array<std::size_t, 4>{65, 100, 300, 1000}[round % 4];
    Bytes old_data = random_bytes(random, 20000 + random() % 40000, 256);
    Bytes new_data;
    if (repeats) {
      for (std::size_t i = period; i < old_data.size(); ++i) old_data[i] = old_data[i - period];
      new_data = old_data;
      new_data.insert(new_data.begin() + new_data.size() / 2, '!');
      if (round % 2 == 1) new_data[random() % new_data.size()] ^= 1;
    } else {
      new_data = edited(old_data, random, 256);
    }
    SCOPED_TRACE(testing::Message() << "round " << round);
    // The index keeps ranks of its own, or reads the rank array's.
    const auto diff = [&](core::MappedSearchUse use, int threads, std::int32_t piece_length,
                          bool* index_built) {
      core::DiffSettings settings;
      settings.mapped_search = use;
      settings.suffix_rank = threads != 1 || round % 2 == 0 ? core::SuffixRankUse::kAlways
                                                            : core::SuffixRankUse::kNever;
      settings.scan = core::ScanSettings{threads, piece_length};
      core::DiffTimings timings;
      const std::vector<Triple> triples = diff_entries(old_data, new_data, settings, &timings);
      *index_built = timings.index_built;
      return triples;
    };
    bool built = false;
    const std::vector<Triple> plain = diff(core::MappedSearchUse::kNever, 1, 0, &built);
    EXPECT_FALSE(built);
    EXPECT_EQ(diff(core::MappedSearchUse::kAlways, 1, 0, &built), plain);
    EXPECT_TRUE(built);
    EXPECT_EQ(diff(core::MappedSearchUse::kAlways, 2, 1 + random() % 5000, &built), plain);
    EXPECT_EQ(diff(core::MappedSearchUse::kAuto, 2, 1 + random() % 5000, &built), plain);
    EXPECT_EQ(diff(core::MappedSearchUse::kAuto, 4, 1 + random() % 5000, &built), plain);
    // On two threads, whether a scanner gets to the costly part before the
    // other has scanned it depends on timing; on one, it does not.
    EXPECT_EQ(diff(core::MappedSearchUse::kAuto, 1, 0, &built), plain);
    // Long comparisons grow with the square of the size, less steeply for
    // longer periods: at these sizes the short periods pass the bound.
    if (!repeats) {
      EXPECT_FALSE(built);
    } else if (period <= 100) {
      EXPECT_TRUE(built);
    }
  }
}

}  // namespace
