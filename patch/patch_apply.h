// Applying a Delta, one control entry at a time, to a private output buffer.
//
// The interpreter glue converts each entry and hands it here; nothing in this
// file trusts the entry. check_control_entry must pass before apply_control_entry
// runs, so an entry that does not fit never writes a byte.
#pragma once

#include <cstdint>

#include "module/delta.h"

namespace core {

struct PatchInputs {
  const std::uint8_t* old_data;
  std::int32_t old_length;
  std::int32_t new_length;
  const std::uint8_t* diff_block;
  std::int32_t diff_length;
  const std::uint8_t* extra_block;
  std::int32_t extra_length;
};

struct PatchCursor {
  std::int64_t new_position = 0;
  // Unbounded by the format; held in 64 bits so that adjustments never wrap.
  std::int64_t old_position = 0;
  std::int64_t diff_position = 0;
  std::int64_t extra_position = 0;
};

enum class EntryFit {
  kFits,
  kNegativeLength,  // a diff or extra length below 0
  kOverflow,        // a run reaches past the output or past its block
};

// Tests an entry against the output and both blocks, every sum formed in 64
// bits so that no length can wrap into a small one.
EntryFit check_control_entry(const PatchCursor& cursor, const ControlEntry& entry,
                             const PatchInputs& inputs);

// Writes the entry's diff run and extra run into output (new_length bytes) and
// advances the cursor. Only for an entry that check_control_entry passed.
void apply_control_entry(PatchCursor& cursor, const ControlEntry& entry, const PatchInputs& inputs,
                         std::uint8_t* output);

// True when the entries covered the whole output and used up both blocks.
bool patch_complete(const PatchCursor& cursor, const PatchInputs& inputs);

}  // namespace core
