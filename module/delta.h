// The Delta that passes from diff to patch, as the algorithms see it.
//
// A Delta is a list of control entries plus two byte blocks. Applying an entry
// (diff length x, extra length y, old adjustment z) writes x new bytes as
// diff-block bytes added to old bytes, then y verbatim extra-block bytes, and
// moves the old position by x + z. The interpreter glue turns entries into
// 3-tuples of longs and back; nothing here knows about the interpreter.
#pragma once

#include <cstdint>

namespace core {

struct ControlEntry {
  std::int32_t diff_length;
  std::int32_t extra_length;
  std::int32_t old_adjustment;
};

}  // namespace core
