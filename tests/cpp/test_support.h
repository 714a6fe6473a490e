// Small helpers shared by the unit tests of the pure algorithms.
#pragma once

#if defined(_WIN32)
#include <windows.h>
// windows.h must come first.
#include <process.h>
#else
#include <pthread.h>
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "delta/suffix_array.h"
#include "module/delta.h"
#include "patch/patch_apply.h"

namespace core_test {

using Bytes = std::vector<std::uint8_t>;
// A control entry as (diff length, extra length, old adjustment), which
// GoogleTest compares and prints without help.
using Triple = std::array<std::int32_t, 3>;

inline Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Triple triple(const core::ControlEntry& entry) {
  return {entry.diff_length, entry.extra_length, entry.old_adjustment};
}

inline core::ControlEntry control_entry(const Triple& t) { return {t[0], t[1], t[2]}; }

// The finished suffix array of `data`, exactly data.size() + 1 entries.
inline std::vector<std::int32_t> suffix_array_of(const Bytes& data) {
  const auto n = static_cast<std::int32_t>(data.size());
  std::vector<std::int32_t> suffix_array(data.size() + 1);
  std::vector<std::int32_t> rank(data.size() + 1);
  if (!core::build_suffix_array(suffix_array.data(), rank.data(), data.data(), n)) {
    suffix_array.clear();  // only on exhausted memory; callers then fail loudly
  }
  return suffix_array;
}

enum class Outcome { kRebuilt, kNegativeLength, kOverflow, kUnderflow };

struct Applied {
  Outcome outcome;
  Bytes output;  // whatever had been written when the outcome was decided
};

// Applies a Delta the way the patch operation does: every entry is checked
// before it writes, and completeness is tested after the last one. The output
// buffer is exactly new_length bytes, so a run written past it is caught by
// the sanitizer build.
inline Applied apply_delta(const Bytes& old_data, std::int32_t new_length,
                           const std::vector<Triple>& entries, const Bytes& diff_block,
                           const Bytes& extra_block) {
  const core::PatchInputs inputs{old_data.data(),
                                 static_cast<std::int32_t>(old_data.size()),
                                 new_length,
                                 diff_block.data(),
                                 static_cast<std::int32_t>(diff_block.size()),
                                 extra_block.data(),
                                 static_cast<std::int32_t>(extra_block.size())};
  Applied applied{Outcome::kRebuilt, Bytes(new_length > 0 ? new_length : 0)};
  core::PatchCursor cursor;
  for (const Triple& t : entries) {
    switch (core::check_control_entry(cursor, control_entry(t), inputs)) {
      case core::EntryFit::kFits:
        break;
      case core::EntryFit::kNegativeLength:
        applied.outcome = Outcome::kNegativeLength;
        return applied;
      case core::EntryFit::kOverflow:
        applied.outcome = Outcome::kOverflow;
        return applied;
    }
    core::apply_control_entry(cursor, control_entry(t), inputs, applied.output.data());
  }
  if (!core::patch_complete(cursor, inputs)) applied.outcome = Outcome::kUnderflow;
  return applied;
}

// diff may run on interpreter threads with small stacks; the sort must not
// need more than this.
constexpr std::size_t kSmallStackBytes = 256 * 1024;

// Runs `body` to completion on a thread with a kSmallStackBytes stack. Returns
// false when such a thread could not be started.
//
// The platforms differ here alone. On Windows the size given to a thread
// is only what it commits at first, and its stack may grow to the program's
// default reserve (2 MiB for these tests) unless the size is marked as the
// reserve; winpthreads does not mark it, so Windows' own call is used.
#if defined(_WIN32)
inline unsigned __stdcall run_body(void* body) {
  (*static_cast<const std::function<void()>*>(body))();
  return 0;
}

inline bool run_on_small_stack(const std::function<void()>& body) {
  const std::uintptr_t thread =
      _beginthreadex(nullptr, kSmallStackBytes, run_body, const_cast<std::function<void()>*>(&body),
                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) return false;
  const auto handle = reinterpret_cast<HANDLE>(thread);
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
  return true;
}
#else
inline bool run_on_small_stack(const std::function<void()>& body) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool started = pthread_attr_setstacksize(&attributes, kSmallStackBytes) == 0;
  pthread_t thread;
  if (started) {
    started = pthread_create(
                  &thread, &attributes,
                  [](void* argument) -> void* {
                    (*static_cast<const std::function<void()>*>(argument))();
                    return nullptr;
                  },
                  const_cast<std::function<void()>*>(&body)) == 0;
  }
  pthread_attr_destroy(&attributes);
  if (started) pthread_join(thread, nullptr);
  return started;
}
#endif

// Bytes of the calling thread's stack below this call's frame, down to the
// lowest address the stack may grow to: what a deeper call may still use.
// Zero when the platform does not say.
// The frame's address rather than a local's: AddressSanitizer may keep
// locals on a stack of its own.
inline std::size_t stack_bytes_left() {
  void* const frame = __builtin_frame_address(0);
  const auto at = reinterpret_cast<std::uintptr_t>(frame);
#if defined(_WIN32)
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(frame, &region, sizeof region) == 0) return 0;
  return at - reinterpret_cast<std::uintptr_t>(region.AllocationBase);
#else
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  void* lowest = nullptr;
  std::size_t size = 0;
  const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
  pthread_attr_destroy(&attributes);
  return known ? at - reinterpret_cast<std::uintptr_t>(lowest) : 0;
#endif
}

// wine gives every thread at least this much stack whatever it asks for
// (Windows itself gives what is asked, in 64 KiB steps), so under wine the
// small-stack tests show only that this much is enough.
constexpr std::size_t kWineLeastStackBytes = std::size_t{1} << 20;

// The most stack_bytes_left() may report on a run_on_small_stack thread.
inline std::size_t small_stack_bound() {
#if defined(_WIN32)
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
    return kWineLeastStackBytes;
  }
#endif
  return kSmallStackBytes;
}

}  // namespace core_test
