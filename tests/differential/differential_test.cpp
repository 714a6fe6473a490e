// The differential suite: diff's fast ways against its reference way
// (delta_comparison.h), entry for entry, on large and structured inputs,
// where the fast paths have the most to get wrong:
// - generated pairs of same-period stretches that differ in one byte per
//   period, with periods on both sides of every threshold of the aids;
// - binary pairs of several MiB from the machine's interpreters, named on
//   the command line (tools/run-tests takes them from bench/make_corpus.py);
// - every way on several thread counts and piece lengths, so that the
//   scans meet early, late and never; the last test checks that they did.
//
// Usage: core_differential_tests [GoogleTest options] [--pair NAME OLD NEW]...
// Each test is one input and one way. A mismatch reports the first entry
// that differs and the settings, a crash the input and the settings it ran
// with; the suite ends with "N passed, M failed".
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "delta/delta_driver.h"
#include "delta/match_search.h"
#include "delta/periodic.h"
#include "tests/cpp/summary_line.h"
#include "tests/differential/delta_comparison.h"
#include "tests/differential/structured_pair.h"

namespace {

using core_differential::Bytes;
using core_differential::DiffInput;
using core_differential::Entries;
using core_differential::Side;
using core_differential::StructuredPair;

// ---- The ways ---------------------------------------------------------------

// The thread counts every group runs the scan on. The driver runs as many
// as it supports of them.
constexpr int kThreadCounts[] = {1, 2, 3, 4, 8};

struct Way {
  std::string name;
  core::DiffSettings settings;
};

Way scan_way(int threads, std::int32_t piece_length) {
  Way way;
  way.name = "threads_" + std::to_string(threads);
  if (piece_length > 0) way.name += ".pieces_" + std::to_string(piece_length);
  way.settings.scan.threads = threads;
  way.settings.scan.piece_length = piece_length;
  return way;
}

// What the scan on threads leaves alone: the search on one thread, one
// search at a time, with the aids; the lookahead without the aids; the
// mapped search from the first search on; the rank array from the first
// search on, and never.
std::vector<Way> search_ways(std::int32_t piece_length) {
  Way one_at_a_time = scan_way(1, 0);
  one_at_a_time.name = "one_search_at_a_time";
  one_at_a_time.settings.scan.lookahead = false;
  Way no_aids = scan_way(2, piece_length);
  no_aids.name = "no_aids." + no_aids.name;
  no_aids.settings.search_aids = false;
  Way mapped = scan_way(2, piece_length);
  mapped.name = "mapped_always." + mapped.name;
  mapped.settings.mapped_search = core::MappedSearchUse::kAlways;
  Way ranked = scan_way(2, piece_length);
  ranked.name = "rank_always." + ranked.name;
  ranked.settings.suffix_rank = core::SuffixRankUse::kAlways;
  Way unranked = scan_way(1, 0);
  unranked.name = "rank_never";
  unranked.settings.suffix_rank = core::SuffixRankUse::kNever;
  return {one_at_a_time, no_aids, mapped, ranked, unranked};
}

// Large pairs: as the module runs it, on each thread count as the driver
// cuts the data, in sixteen pieces of 64 KiB and of one byte, and the
// search's own ways. Each costs about a diff through the module.
std::vector<Way> binary_pair_ways() {
  Way module;
  module.name = "as_the_module_runs";
  std::vector<Way> ways = {module};
  for (const int threads : kThreadCounts) ways.push_back(scan_way(threads, 0));
  ways.push_back(scan_way(2, 64 * 1024));
  ways.push_back(scan_way(8, 1));
  for (const Way& way : search_ways(0)) ways.push_back(way);
  return ways;
}

// Generated pairs are smaller than a piece as the driver cuts: each thread
// count above one runs on pieces from one byte up to a third of the data.
std::vector<Way> generated_pair_ways(std::int32_t new_length) {
  std::vector<Way> ways = {scan_way(1, 0)};
  for (const int threads : kThreadCounts) {
    if (threads == 1) continue;
    for (const std::int32_t piece_length : {1, 64, 4096, new_length / 16 + 1, new_length / 3 + 1}) {
      ways.push_back(scan_way(threads, piece_length));
    }
  }
  for (const Way& way : search_ways(new_length / 16 + 1)) ways.push_back(way);
  return ways;
}

// ---- How the scans met, over the whole suite ----------------------------------

// Scans that meet within this many recorded pass starts of a piece's start
// meet early; real data mostly does.
constexpr std::size_t kEarlyRecords = 4;

struct HandOverCoverage {
  int threaded_diffs = 0;  // diffs on more than one thread
  int early = 0;           // diffs with a hand-over at one of the first records
  int late = 0;            // with one past them
  int unmet = 0;           // with a piece scanned ahead that no scan met
  std::size_t latest_record = 0;
};

HandOverCoverage coverage;

void count_hand_overs(const core::DiffSettings& settings, const core::HandOvers& hand_overs) {
  if (settings.scan.threads == 1) return;
  ++coverage.threaded_diffs;
  if (hand_overs.count > 0 && hand_overs.earliest_record < kEarlyRecords) ++coverage.early;
  if (hand_overs.latest_record >= kEarlyRecords) ++coverage.late;
  if (hand_overs.unmet_pieces > 0) ++coverage.unmet;
  coverage.latest_record = std::max(coverage.latest_record, hand_overs.latest_record);
}

// ---- Inputs and their reference Deltas ----------------------------------------

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One input pair, loaded with its reference Delta when its first way runs
// and freed after its last, so that one large pair is in memory at a time.
class Case {
 public:
  // Fills both sides, or returns why it could not.
  using Load = std::function<std::string(Bytes* old_data, Bytes* new_data)>;

  Case(std::string name, Load load) : name_(std::move(name)), load_(std::move(load)) {}

  const std::string& name() const { return name_; }
  void add_way() { ++ways_left_; }

  // "" once the input and its reference Delta are at hand; else what failed.
  const std::string& prepare() {
    if (prepared_) return error_;
    prepared_ = true;
    error_ = load_(&old_data_, &new_data_);
    if (!error_.empty()) return error_;
    const auto start = std::chrono::steady_clock::now();
    if (!core_differential::run_diff(input(), core_differential::reference_settings(),
                                     &reference_)) {
      error_ = "the reference way ran short of memory";
      return error_;
    }
    // The reference is the driver too: its Delta must at least rebuild the data.
    const std::string failure = core_differential::rebuild_failure(input(), reference_);
    if (!failure.empty()) error_ = "the reference Delta does not rebuild the new data: " + failure;
    std::printf("%s: %zu -> %zu bytes, reference Delta of %zu entries in %.2f s\n", name_.c_str(),
                old_data_.size(), new_data_.size(), reference_.size(), seconds_since(start));
    return error_;
  }

  DiffInput input() const {
    return {old_data_.data(), static_cast<std::int32_t>(old_data_.size()), new_data_.data(),
            static_cast<std::int32_t>(new_data_.size())};
  }
  const Entries& reference() const { return reference_; }

  void way_done() {
    if (--ways_left_ > 0) return;
    Bytes().swap(old_data_);
    Bytes().swap(new_data_);
    reference_ = Entries();
  }

 private:
  std::string name_;
  Load load_;
  int ways_left_ = 0;
  bool prepared_ = false;
  std::string error_;
  Bytes old_data_;
  Bytes new_data_;
  Entries reference_;
};

// ---- A crash still names its input and its way ---------------------------------

// A failed assert or a stray access in a fast path ends the whole program,
// and the report must still say where: the test that runs is kept where a
// signal handler can write it out.
char running[512];
std::size_t running_length = 0;

void report_crash(int signal_number) {
  static const char kPrefix[] = "\ncrashed while running ";
  if (write(STDERR_FILENO, kPrefix, sizeof kPrefix - 1) >= 0 &&
      write(STDERR_FILENO, running, running_length) >= 0) {
    (void)write(STDERR_FILENO, "\n", 1);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void report_crashes() {
  for (const int signal_number : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    std::signal(signal_number, report_crash);
  }
}

class WayTest : public testing::Test {
 public:
  WayTest(std::shared_ptr<Case> input, Way way) : case_(std::move(input)), way_(std::move(way)) {}

  void TestBody() override {
    const int length =
        std::snprintf(running, sizeof running, "%s, %s: %s", case_->name().c_str(),
                      way_.name.c_str(), core_differential::describe(way_.settings).c_str());
    running_length = std::min(sizeof running - 1, static_cast<std::size_t>(std::max(length, 0)));
    const std::string& error = case_->prepare();
    if (error.empty()) {
      Entries entries;
      core::DiffTimings timings;
      if (core_differential::run_diff(case_->input(), way_.settings, &entries, &timings)) {
        count_hand_overs(way_.settings, timings.hand_overs);
        const std::string difference = core_differential::first_difference(
            case_->input(), case_->reference(), entries, way_.settings);
        if (!difference.empty()) {
          ADD_FAILURE() << case_->name() << ", " << way_.name << ": " << difference;
        }
      } else {
        ADD_FAILURE() << case_->name() << ", " << way_.name << ": memory ran short";
      }
    } else {
      ADD_FAILURE() << case_->name() << ": " << error;
    }
    case_->way_done();
  }

 private:
  std::shared_ptr<Case> case_;
  Way way_;
};

void register_case(const char* group, const std::shared_ptr<Case>& input,
                   const std::vector<Way>& ways) {
  for (const Way& way : ways) {
    input->add_way();
    // A '-' in a filter starts the tests left out.
    std::string name = input->name() + "/" + way.name;
    std::replace(name.begin(), name.end(), '-', '_');
    testing::RegisterTest(group, name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                          [=]() -> testing::Test* { return new WayTest(input, way); });
  }
}

// ---- Binary pairs from the command line ----------------------------------------

std::string read_file(const std::string& path, Bytes* data) {
  std::ifstream in(path, std::ios::binary);
  if (in) data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) return "cannot read " + path;
  if (data->size() > static_cast<std::size_t>(INT32_MAX) - 1) return path + " is too large";
  return "";
}

void register_binary_pairs(const std::vector<std::array<std::string, 3>>& pairs) {
  if (pairs.empty()) {
    // A suite without its large pairs must not pass as if it had them.
    testing::RegisterTest("BinaryPairs", "none_given", nullptr, nullptr, __FILE__, __LINE__,
                          []() -> testing::Test* {
                            struct NoneGiven : testing::Test {
                              void TestBody() override {
                                ADD_FAILURE() << "no --pair NAME OLD NEW given: tools/run-tests "
                                                 "takes them from bench/make_corpus.py "
                                                 "--differential";
                              }
                            };
                            return new NoneGiven;
                          });
    return;
  }
  for (const auto& pair : pairs) {
    const std::string old_path = pair[1];
    const std::string new_path = pair[2];
    auto input =
        std::make_shared<Case>(pair[0], [old_path, new_path](Bytes* old_data, Bytes* new_data) {
          std::string error = read_file(old_path, old_data);
          return error.empty() ? read_file(new_path, new_data) : error;
        });
    register_case("BinaryPairs", input, binary_pair_ways());
  }
}

// ---- Generated pairs of same-period stretches ----------------------------------

Bytes random_bytes(std::mt19937& random, std::size_t count) {
  Bytes bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// Periods on both sides of every length the aids turn on: the head bytes of
// the top table and of the probe tree, the longest period the stretches
// list, and the powers of two that the direct comparisons, the counted long
// comparisons and the mapped search's shortest mapping and kept runs use;
// and one long period, where only the mapped search helps.
std::vector<std::size_t> stretch_periods() {
  std::vector<std::size_t> periods;
  for (std::size_t period = 1; period <= 17; ++period) periods.push_back(period);
  for (std::size_t power = 32; power <= 1024; power *= 2) {
    for (const std::size_t period : {power - 1, power, power + 1}) periods.push_back(period);
  }
  const auto longest = static_cast<std::size_t>(core::kMaxPeriod);
  for (const std::size_t period : {longest - 1, longest, longest + 1}) {
    if (std::find(periods.begin(), periods.end(), period) == periods.end()) {
      periods.push_back(period);
    }
  }
  static_assert(core::kTopHeadBytes + 1 <= 17 && core::kTreeHeadBytes + 1 <= 17,
                "the head lengths lie among the short periods");
  periods.push_back(4000);
  return periods;
}

// Old and new data of stretches of one period, of a unit and of two
// variants of it: one changed in the period's last byte, one elsewhere. An
// agreement that compares a byte too few takes a stretch of the first kind
// for one of the unit. Stretches are as long as the stretch list needs,
// a byte less or more, or far longer; between them lie literal bytes,
// shared or not. The new side swaps units, changes repeat counts and
// phases, and copies blocks from anywhere in the old side.
StructuredPair periodic_pair(std::size_t period, std::size_t max_length) {
  std::mt19937 random(static_cast<std::uint32_t>(7919 * period + 13));
  StructuredPair pair(max_length);
  const int unit = pair.add_unit(random_bytes(random, period));
  const int units[] = {
      unit, pair.add_variant(unit, period - 1, static_cast<std::uint8_t>(random())),
      pair.add_variant(unit, random() % period, static_cast<std::uint8_t>(random()))};
  const std::size_t listed = std::max<std::size_t>(core::kMinStretch, 2 * period);
  const auto any_unit = [&] { return units[random() % 3]; };
  const auto stretch_length = [&]() -> std::size_t {
    switch (random() % 4) {
      case 0:
        return listed - 1;
      case 1:
        return listed + random() % 2;
      default:
        return listed + random() % (16 * listed);
    }
  };
  while (pair.old_data().size() < max_length && pair.new_data().size() < max_length) {
    const Bytes filler = random_bytes(random, random() % 100);
    pair.literal(random() % 4 == 0 ? Side::kNew : Side::kBoth, filler.data(), filler.size());
    const std::size_t length = stretch_length();
    const std::size_t phase = random() % period;
    switch (random() % 6) {
      case 0:  // the same stretch on both sides
        pair.stretch(Side::kBoth, any_unit(), phase, length);
        break;
      case 1:  // the unit changed in one byte per period
        pair.stretch(Side::kOld, any_unit(), phase, length);
        pair.stretch(Side::kNew, any_unit(), phase, length);
        break;
      case 2:  // a repeat count and a phase changed
        pair.stretch(Side::kOld, any_unit(), phase, length);
        pair.stretch(Side::kNew, any_unit(), random() % period, stretch_length());
        break;
      case 3:  // a block moved from anywhere in the old data
        pair.copy_old(random(), stretch_length());
        break;
      case 4:  // dropped from the old data, or new
        pair.stretch(random() % 2 == 0 ? Side::kOld : Side::kNew, any_unit(), phase, length);
        break;
      default:  // one byte changed inside a stretch
        pair.stretch(Side::kBoth, any_unit(), phase, length);
        pair.change_new(pair.new_data().size() - 1 - random() % length, 1);
        break;
    }
  }
  return pair;
}

constexpr std::size_t kGeneratedLength = 256 * 1024;

void register_periodic_pairs() {
  for (const std::size_t period : stretch_periods()) {
    auto input = std::make_shared<Case>(
        "period_" + std::to_string(period), [period](Bytes* old_data, Bytes* new_data) {
          const StructuredPair pair = periodic_pair(period, kGeneratedLength);
          *old_data = pair.old_data();
          *new_data = pair.new_data();
          return std::string();
        });
    register_case("PeriodicPairs", input,
                  generated_pair_ways(static_cast<std::int32_t>(kGeneratedLength)));
  }
}

// ---- Generated pairs of near copies ------------------------------------------

// Blocks of random bytes, each in the old data several times with a byte or
// two changed, and the new data made of such copies in another order, some
// changed anew, with literal bytes between: the new data then agrees with
// one copy past the point where another parts from it, so an extension
// compares, over the same new bytes, old copies that agree with each other
// up to exactly there, which the common-prefix index of the mapped search
// answers without reading them. A block is a unit of one period.
StructuredPair near_copies_pair(std::uint32_t seed, std::size_t max_length) {
  std::mt19937 random(seed);
  StructuredPair pair(max_length);
  std::vector<int> copies;
  for (int block = 0; block < 24; ++block) {
    const int base = pair.add_unit(random_bytes(random, 200 + random() % 3000));
    copies.push_back(base);
    for (int variant = random() % 4; variant > 0; --variant) {
      const std::size_t length = pair.period(base);
      copies.push_back(
          pair.add_variant(base, random() % length, static_cast<std::uint8_t>(random())));
    }
  }
  const auto whole = [&](Side side, int unit) { pair.stretch(side, unit, 0, pair.period(unit)); };
  while (pair.old_data().size() < max_length) whole(Side::kOld, copies[random() % copies.size()]);
  while (pair.new_data().size() < max_length) {
    const int unit = copies[random() % copies.size()];
    if (random() % 4 == 0) {
      whole(Side::kNew, pair.add_variant(unit, random() % pair.period(unit), 1 + random() % 255));
    } else {
      whole(Side::kNew, unit);
    }
    if (random() % 3 == 0) {
      const Bytes filler = random_bytes(random, random() % 40);
      pair.literal(Side::kNew, filler.data(), filler.size());
    }
  }
  return pair;
}

void register_near_copies_pairs() {
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    auto input = std::make_shared<Case>(
        "near_copies_" + std::to_string(seed), [seed](Bytes* old_data, Bytes* new_data) {
          const StructuredPair pair = near_copies_pair(seed, kGeneratedLength);
          *old_data = pair.old_data();
          *new_data = pair.new_data();
          return std::string();
        });
    register_case("NearCopies", input,
                  generated_pair_ways(static_cast<std::int32_t>(kGeneratedLength)));
  }
}

// ---- Coverage of the hand-overs --------------------------------------------

struct ScansMetEveryWay : testing::Test {
  void TestBody() override {
    // A filter that leaves some inputs out may leave a case out with them.
    if (GTEST_FLAG_GET(filter) != "*") GTEST_SKIP() << "checked only when every test runs";
    std::printf(
        "%d diffs on pieces: %d with a hand-over early, %d late (the latest at recorded "
        "pass start %zu), %d with a piece no scan met\n",
        coverage.threaded_diffs, coverage.early, coverage.late, coverage.latest_record,
        coverage.unmet);
    EXPECT_GT(coverage.early, 0) << "no scans met within " << kEarlyRecords << " pass starts";
    EXPECT_GT(coverage.late, 0) << "no scans met after " << kEarlyRecords << " pass starts";
    EXPECT_GT(coverage.unmet, 0) << "every piece scanned ahead was met";
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::vector<std::array<std::string, 3>> pairs;
  for (int arg = 1; arg < argc; ++arg) {
    if (std::strcmp(argv[arg], "--pair") == 0 && arg + 3 < argc) {
      pairs.push_back({argv[arg + 1], argv[arg + 2], argv[arg + 3]});
      arg += 3;
    } else {
      std::fprintf(stderr, "usage: %s [GoogleTest options] [--pair NAME OLD NEW]...\n", argv[0]);
      return 2;
    }
  }
  // The generated pairs first: they take seconds, the binary pairs' reference
  // alone takes longer.
  register_periodic_pairs();
  register_near_copies_pairs();
  register_binary_pairs(pairs);
  report_crashes();
  testing::RegisterTest("HandOvers", "scans_met_early_late_and_never", nullptr, nullptr, __FILE__,
                        __LINE__, []() -> testing::Test* { return new ScansMetEveryWay; });
  testing::UnitTest::GetInstance()->listeners().Append(new core_test::SummaryLine);
  return RUN_ALL_TESTS();
}
