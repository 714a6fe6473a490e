// Every exception message the module raises itself.
#pragma once

namespace core {

inline constexpr char kExpectingTuple[] = "expecting tuple";
inline constexpr char kExpectingTupleOfSize3[] = "expecting tuple of size 3";
inline constexpr char kCorruptPatchOverflow[] = "corrupt patch (overflow)";
inline constexpr char kCorruptPatchUnderflow[] = "corrupt patch (underflow)";
inline constexpr char kCorruptPatchNegativeLength[] = "corrupt patch (negative length)";
inline constexpr char kStringExpected[] = "string expected";
inline constexpr char kEightBytesExpected[] = "8 bytes expected";
inline constexpr char kInt64HasNoForm[] = "int64 value -2**63 has no 8-byte form";
// Worded as the interpreter words an integer that does not fit a C long, the
// limit that applies on the module's 32-bit home platform.
inline constexpr char kIntTooLarge[] = "Python int too large to convert to C long";
// Worded as the argument parser words a byte argument longer than an int.
inline constexpr char kSizeTooLarge[] = "size does not fit in an int";

}  // namespace core
