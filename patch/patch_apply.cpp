#include "patch/patch_apply.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace core {
namespace {

// Writes diff bytes plus old bytes, modulo 256, in one pass over the run.
// The output never overlaps either source, and saying so lets the compiler
// add a vector of bytes at a time: byte pointers may otherwise alias
// anything, even the inputs' own fields.
void add_old_bytes(std::uint8_t* __restrict run, const std::uint8_t* __restrict diff_bytes,
                   const std::uint8_t* __restrict old_bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    run[i] = static_cast<std::uint8_t>(diff_bytes[i] + old_bytes[i]);
  }
}

void copy_bytes(std::uint8_t* to, const std::uint8_t* from, std::int64_t length) {
  if (length > 0) std::memcpy(to, from, static_cast<std::size_t>(length));
}

}  // namespace

EntryFit check_control_entry(const PatchCursor& cursor, const ControlEntry& entry,
                             const PatchInputs& in) {
  if (entry.diff_length < 0 || entry.extra_length < 0) {
    return EntryFit::kNegativeLength;
  }
  if (cursor.new_position + entry.diff_length + entry.extra_length > in.new_length ||
      cursor.diff_position + entry.diff_length > in.diff_length ||
      cursor.extra_position + entry.extra_length > in.extra_length) {
    return EntryFit::kOverflow;
  }
  // The old position moves by at most 2^32 per entry; only a list of more
  // than 2^31 entries could carry it out of 64 bits. Refuse rather than wrap.
  const std::int64_t step = static_cast<std::int64_t>(entry.diff_length) + entry.old_adjustment;
  std::int64_t moved;
  if (__builtin_add_overflow(cursor.old_position, step, &moved)) {
    return EntryFit::kOverflow;
  }
  return EntryFit::kFits;
}

void apply_control_entry(PatchCursor& cursor, const ControlEntry& entry, const PatchInputs& in,
                         std::uint8_t* output) {
  // Every copy below relies on the entry fitting the output and both blocks.
  assert(check_control_entry(cursor, entry, in) == EntryFit::kFits);
  std::uint8_t* diff_run = output + cursor.new_position;
  const std::uint8_t* diff_bytes = in.diff_block + cursor.diff_position;
  // Only the part of the run that lines up with the old data gets an old
  // byte added; the rest keeps the difference byte as it stands.
  const std::int64_t first =
      std::min<std::int64_t>(entry.diff_length, std::max<std::int64_t>(0, -cursor.old_position));
  const std::int64_t last = std::max<std::int64_t>(
      first, std::min<std::int64_t>(entry.diff_length, in.old_length - cursor.old_position));
  copy_bytes(diff_run, diff_bytes, first);
  if (first < last) {
    add_old_bytes(diff_run + first, diff_bytes + first, in.old_data + cursor.old_position + first,
                  static_cast<std::size_t>(last - first));
  }
  copy_bytes(diff_run + last, diff_bytes + last, entry.diff_length - last);
  copy_bytes(diff_run + entry.diff_length, in.extra_block + cursor.extra_position,
             entry.extra_length);
  cursor.new_position += static_cast<std::int64_t>(entry.diff_length) + entry.extra_length;
  cursor.diff_position += entry.diff_length;
  cursor.extra_position += entry.extra_length;
  cursor.old_position += static_cast<std::int64_t>(entry.diff_length) + entry.old_adjustment;
}

bool patch_complete(const PatchCursor& cursor, const PatchInputs& in) {
  return cursor.new_position == in.new_length && cursor.diff_position == in.diff_length &&
         cursor.extra_position == in.extra_length;
}

}  // namespace core
