// Proves that the patch functions never read or write outside a buffer,
// whatever the control entries hold, and that they rebuild exactly what the
// Delta means. The input becomes old data, a new length, up to 15 entries
// with any 32-bit values, a diff block and an extra block, each copied to a
// heap buffer of exactly its size, so ASan reports any step past one; the
// output buffer is exactly new-length bytes. Each entry is checked and, if it
// fits, applied, as patch does. The outcome (rebuilt, negative length,
// overflow or underflow, from the first entry that fails) and on success the
// output must equal those of a reference model that follows the Delta's
// definition on growable vectors with every index checked.
//
// Input layout, front to back; past the end every byte reads as 0:
//   old length L (1 byte), then L old bytes;
//   new length (2 bytes, little-endian, signed);
//   entry count (1 byte, modulo 16), then three fields per entry: each is one
//     byte read as a signed small value, or the byte 0x80 followed by a full
//     4-byte little-endian value, which reaches the sums near 2^31;
//   diff block length D (1 byte), then D bytes; the extra block is the rest.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "patch/patch_apply.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kFullFieldTag = 0x80;
constexpr std::uint8_t kEntryCountModulus = 16;

class CaseReader {
 public:
  CaseReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

  std::uint32_t little_endian(int byte_count) {
    std::uint32_t value = 0;
    for (int k = 0; k < byte_count; ++k) value |= std::uint32_t{byte()} << (8 * k);
    return value;
  }

  std::int32_t field() {
    const std::uint8_t tag = byte();
    if (tag == kFullFieldTag) return static_cast<std::int32_t>(little_endian(4));
    return static_cast<std::int8_t>(tag);
  }

  Bytes bytes(std::size_t count) {
    count = std::min(count, size_ - at_);
    Bytes taken(data_ + at_, data_ + at_ + count);
    at_ += count;
    return taken;
  }

  Bytes rest() { return bytes(size_ - at_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

struct PatchCase {
  Bytes old_data;
  std::int32_t new_length;
  std::vector<core::ControlEntry> entries;
  Bytes diff_block;
  Bytes extra_block;
};

PatchCase read_case(CaseReader& in) {
  PatchCase c;
  c.old_data = in.bytes(in.byte());
  c.new_length = static_cast<std::int16_t>(in.little_endian(2));
  const int entry_count = in.byte() % kEntryCountModulus;
  for (int k = 0; k < entry_count; ++k) {
    const std::int32_t diff_length = in.field();
    const std::int32_t extra_length = in.field();
    const std::int32_t old_adjustment = in.field();
    c.entries.push_back({diff_length, extra_length, old_adjustment});
  }
  c.diff_block = in.bytes(in.byte());
  c.extra_block = in.rest();
  return c;
}

enum class Outcome { kRebuilt, kNegativeLength, kOverflow, kUnderflow };

// The Delta's meaning, entry by entry, with nothing shared with the code
// under test: the output grows as it is produced and its size is the new
// position.
Outcome reference_patch(const PatchCase& c, Bytes& output) {
  const auto old_length = static_cast<std::int64_t>(c.old_data.size());
  std::int64_t old_position = 0;
  std::size_t diff_position = 0;
  std::size_t extra_position = 0;
  for (const core::ControlEntry& entry : c.entries) {
    const std::int64_t x = entry.diff_length;
    const std::int64_t y = entry.extra_length;
    if (x < 0 || y < 0) return Outcome::kNegativeLength;
    if (static_cast<std::int64_t>(output.size()) + x + y > c.new_length ||
        static_cast<std::int64_t>(diff_position) + x >
            static_cast<std::int64_t>(c.diff_block.size()) ||
        static_cast<std::int64_t>(extra_position) + y >
            static_cast<std::int64_t>(c.extra_block.size())) {
      return Outcome::kOverflow;
    }
    for (std::int64_t i = 0; i < x; ++i) {
      std::uint8_t byte = c.diff_block.at(diff_position + i);
      const std::int64_t old_index = old_position + i;
      if (old_index >= 0 && old_index < old_length) byte += c.old_data.at(old_index);
      output.push_back(byte);
    }
    for (std::int64_t i = 0; i < y; ++i) output.push_back(c.extra_block.at(extra_position + i));
    diff_position += x;
    extra_position += y;
    old_position += x + entry.old_adjustment;
  }
  const bool complete = static_cast<std::int64_t>(output.size()) == c.new_length &&
                        diff_position == c.diff_block.size() &&
                        extra_position == c.extra_block.size();
  return complete ? Outcome::kRebuilt : Outcome::kUnderflow;
}

// An exact-size heap copy: ASan then reports a read one byte past the end.
std::unique_ptr<std::uint8_t[]> exact_copy(const Bytes& bytes) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CaseReader reader(data, size);
  const PatchCase c = read_case(reader);

  const auto old_data = exact_copy(c.old_data);
  const auto diff_block = exact_copy(c.diff_block);
  const auto extra_block = exact_copy(c.extra_block);
  const std::size_t output_size = static_cast<std::size_t>(std::max(c.new_length, 0));
  const std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[output_size]);
  const core::PatchInputs inputs{old_data.get(),
                                 static_cast<std::int32_t>(c.old_data.size()),
                                 c.new_length,
                                 diff_block.get(),
                                 static_cast<std::int32_t>(c.diff_block.size()),
                                 extra_block.get(),
                                 static_cast<std::int32_t>(c.extra_block.size())};

  Outcome outcome = Outcome::kRebuilt;
  core::PatchCursor cursor;
  for (const core::ControlEntry& entry : c.entries) {
    const core::EntryFit fit = core::check_control_entry(cursor, entry, inputs);
    if (fit == core::EntryFit::kNegativeLength) outcome = Outcome::kNegativeLength;
    if (fit == core::EntryFit::kOverflow) outcome = Outcome::kOverflow;
    if (fit != core::EntryFit::kFits) break;
    core::apply_control_entry(cursor, entry, inputs, output.get());
  }
  if (outcome == Outcome::kRebuilt && !core::patch_complete(cursor, inputs)) {
    outcome = Outcome::kUnderflow;
  }

  Bytes expected;
  FUZZ_REQUIRE(outcome == reference_patch(c, expected));
  if (outcome == Outcome::kRebuilt) {
    FUZZ_REQUIRE(expected.size() == output_size);
    FUZZ_REQUIRE(std::equal(expected.begin(), expected.end(), output.get()));
  }
  return 0;
}
