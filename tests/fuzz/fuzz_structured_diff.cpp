// Proves that diff's fast ways give the reference way's Delta on data with
// the structure they lean on, which random bytes almost never have: the
// input is not the data but a description of it (structured_pair.h). The
// first byte chooses a way (a thread count, the lookahead, the aids, the
// mapped search), the second the length of the pieces the scan is cut into;
// each input is diffed the reference way, as the module runs it but on
// those pieces, and the chosen way, and the entries must agree
// (delta_comparison.h). The reference's Delta must rebuild the new data
// through the patch functions.
//
// The description, after the two bytes, is a list of operations, each a
// byte whose low three bits say which, then its arguments; where the input
// runs out, the rest reads as zeros.
//   0  a unit: a period code (below 200: 1 to 80 bytes; else a long period),
//      then its first bytes, up to eight;
//   1  a variant of a unit, changed in one byte per period: the unit, the
//      byte (from the start, or with the high bit from the end), the change;
//   2  a stretch, on the side bits 3 and 4 name (old, new, both): the unit,
//      the phase, whole periods and a remainder;
//   3  a stretch of one unit in the old data and of another in the new: both
//      units, the phase, the length as for 2; bits 5 to 7 make the new one
//      up to three bytes shorter or four longer;
//   4, 5  literal bytes on the side bits 3 and 4 name: a count, the bytes;
//   6  a block of the old data copied to the new: where from, how long (two
//      bytes each);
//   7  a changed new byte: where (two bytes), the change.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/differential/delta_comparison.h"
#include "tests/differential/structured_pair.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using core_differential::Side;
using core_differential::StructuredPair;

// Large enough for stretches of long periods past every threshold of the
// aids, small enough for the plain search to run many inputs a second.
constexpr std::size_t kMaxLength = 1 << 15;
constexpr int kThreadCounts[] = {1, 2, 3, 4, 8};
// Periods past those an operation's byte can name directly: around powers
// of two, where the aids' lengths lie, and longer.
constexpr std::size_t kLongPeriods[] = {127, 128, 129, 255, 256, 257, 511, 512, 513, 1000, 4000};

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::size_t word() {
    const std::size_t low = byte();
    return low | std::size_t{byte()} << 8;
  }
  const std::uint8_t* take(std::size_t* count) {
    *count = std::min(*count, size_ - std::min(at_, size_));
    const std::uint8_t* taken = data_ + std::min(at_, size_);
    at_ += *count;
    return taken;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

Side side_of(std::uint8_t operation) {
  switch ((operation >> 3) & 3) {
    case 0:
      return Side::kOld;
    case 1:
      return Side::kNew;
    default:
      return Side::kBoth;
  }
}

// A unit of the period named: its first bytes from the input, the rest
// from a generator seeded by them, so that long units cost a few bytes.
int read_unit(Reader& in, StructuredPair& pair) {
  const std::uint8_t code = in.byte();
  const std::size_t period =
      code < 200 ? 1 + code % 80 : kLongPeriods[code % std::size(kLongPeriods)];
  std::size_t given = std::min<std::size_t>(period, 8);
  const std::uint8_t* bytes = in.take(&given);
  std::vector<std::uint8_t> unit(bytes, bytes + given);
  std::uint32_t state = 2166136261u;
  for (const std::uint8_t b : unit) state = (state ^ b) * 16777619u;
  while (unit.size() < period) {
    state = state * 1664525u + 1013904223u;
    unit.push_back(static_cast<std::uint8_t>(state >> 24));
  }
  return pair.add_unit(std::move(unit));
}

// A stretch length: whole periods and a remainder, so that every length up
// to 255 periods, one on either side of any threshold, can be named.
std::size_t read_length(Reader& in, std::size_t period) {
  const std::size_t periods = in.byte();
  return periods * period + in.byte() % period;
}

StructuredPair describe_pair(Reader& in) {
  StructuredPair pair(kMaxLength);
  while (!in.done()) {
    const std::uint8_t operation = in.byte();
    const int units = static_cast<int>(pair.unit_count());
    switch (operation & 7) {
      case 0:
        read_unit(in, pair);
        break;
      case 1:  // a unit changed in one byte per period
        if (units > 0) {
          const int unit = in.byte() % units;
          // Counted from the period's start, or with the high bit from its end.
          const std::uint8_t at = in.byte();
          const std::size_t period = pair.period(unit);
          pair.add_variant(unit, at < 128 ? at : period - 1 - (at - 128) % period, in.byte());
        }
        break;
      case 2:
        if (units > 0) {
          const int unit = in.byte() % units;
          const std::size_t phase = in.byte();
          pair.stretch(side_of(operation), unit, phase, read_length(in, pair.period(unit)));
        }
        break;
      case 3:  // a stretch of one unit in the old data, of another in the new
        if (units > 0) {
          const int old_unit = in.byte() % units;
          const int new_unit = in.byte() % units;
          const std::size_t phase = in.byte();
          const std::size_t length = read_length(in, pair.period(old_unit));
          const std::size_t new_length =
              length + (operation >> 5) - std::min<std::size_t>(length, 3);
          pair.stretch(Side::kOld, old_unit, phase, length);
          pair.stretch(Side::kNew, new_unit, phase, new_length);
        }
        break;
      case 4:
      case 5: {
        std::size_t count = 1 + in.byte() % 64;
        const std::uint8_t* bytes = in.take(&count);
        pair.literal(side_of(operation), bytes, count);
        break;
      }
      case 6: {  // a block moved or copied from the old data
        const std::size_t from = in.word();
        pair.copy_old(from, in.word());
        break;
      }
      default: {
        const std::size_t at = in.word();
        pair.change_new(at, in.byte());
        break;
      }
    }
  }
  return pair;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  core::DiffSettings chosen;
  chosen.scan.threads = kThreadCounts[data[0] % std::size(kThreadCounts)];
  chosen.scan.lookahead = (data[0] & 8) == 0;
  chosen.search_aids = (data[0] & 16) == 0;
  chosen.mapped_search = static_cast<core::MappedSearchUse>((data[0] >> 5) % 3);
  chosen.scan.piece_length = 1 + data[1] * data[1] / 4;
  core::DiffSettings module_on_pieces;
  module_on_pieces.scan.threads = 2;
  module_on_pieces.scan.piece_length = chosen.scan.piece_length;

  Reader in(data + 2, size - 2);
  const StructuredPair pair = describe_pair(in);
  // Copies of exactly their size, so that a read past either is caught.
  const std::unique_ptr<std::uint8_t[]> old_data(new std::uint8_t[pair.old_data().size()]);
  const std::unique_ptr<std::uint8_t[]> new_data(new std::uint8_t[pair.new_data().size()]);
  std::copy(pair.old_data().begin(), pair.old_data().end(), old_data.get());
  std::copy(pair.new_data().begin(), pair.new_data().end(), new_data.get());
  const core_differential::DiffInput input{
      old_data.get(), static_cast<std::int32_t>(pair.old_data().size()), new_data.get(),
      static_cast<std::int32_t>(pair.new_data().size())};

  core_differential::Entries reference;
  FUZZ_REQUIRE(
      core_differential::run_diff(input, core_differential::reference_settings(), &reference));
  FUZZ_REQUIRE_NONE(core_differential::rebuild_failure(input, reference));
  for (const core::DiffSettings& settings : {module_on_pieces, chosen}) {
    core_differential::Entries entries;
    FUZZ_REQUIRE(core_differential::run_diff(input, settings, &entries));
    FUZZ_REQUIRE_NONE(core_differential::first_difference(input, reference, entries, settings));
  }
  return 0;
}
