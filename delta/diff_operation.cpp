// diff(old, new): the interpreter side of computing a Delta.
//
// The lock is released around the suffix sort, around building the search's
// aids and around each scan pass's search. While it is released only the
// held input bytes and this call's own arrays are touched; every object, and every use of the
// interpreter's allocator, happens with the lock held.
#include "module/interpreter.h"

#include <cstdint>
#include <memory>

#include "delta/delta_scan.h"
#include "delta/match_search.h"
#include "delta/suffix_array.h"
#include "module/operations.h"

namespace core {
namespace {

// Appends the entry as a 3-tuple of integers. Returns false with the error set;
// whatever was created is released with the holders.
bool append_control_entry(PyObject* control, const ControlEntry& entry) {
  ObjectRef tuple(PyTuple_New(3));
  if (!tuple) return false;
  const std::int32_t items[3] = {entry.diff_length, entry.extra_length, entry.old_adjustment};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* number = PyLong_FromLong(items[i]);
    if (number == nullptr) return false;
    PyTuple_SET_ITEM(tuple.get(), i, number);  // the tuple owns it now
  }
  return PyList_Append(control, tuple.get()) == 0;
}

// Sizes in 64 bits: (old_length + 1) * 4 does not fit in 32.
std::size_t array_size(std::int32_t old_length) {
  return (static_cast<std::size_t>(old_length) + 1) * sizeof(std::int32_t);
}

}  // namespace

PyObject* diff(PyObject* /*self*/, PyObject* args) {
  ByteArgument old_bytes;
  ByteArgument new_bytes;
  if (!PyArg_ParseTuple(args, CORE_BYTES CORE_BYTES, CORE_BYTES_ARG(old_bytes),
                        CORE_BYTES_ARG(new_bytes))) {
    return nullptr;
  }
  // Another thread may resize or close a mutable argument while the lock is
  // released: such bytes are copied now, byte strings are read in place.
  if (!hold_bytes(args, 0, old_bytes) || !hold_bytes(args, 1, new_bytes)) return nullptr;
  const HeldBytes& old_held = old_bytes.held;
  const HeldBytes& new_held = new_bytes.held;

  ObjectRef control(PyList_New(0));
  if (!control) return nullptr;

  MemoryBuffer suffix_array;
  if (!suffix_array.allocate(array_size(old_held.length))) return PyErr_NoMemory();
  {
    MemoryBuffer rank;
    if (!rank.allocate(array_size(old_held.length))) return PyErr_NoMemory();
    bool sorted;
    {
      const UnlockedInterpreter unlocked;
      sorted = build_suffix_array(suffix_array.as<std::int32_t>(), rank.as<std::int32_t>(),
                                  old_held.data, old_held.length);
    }
    if (!sorted) return PyErr_NoMemory();
  }
  // The search's aids only save time. They are made once the rank array is
  // gone, so that they never add to the sort's peak, with the lock released
  // and from the C++ heap; without them the searches just read more.
  std::unique_ptr<SearchAids> search_aids;
  {
    const UnlockedInterpreter unlocked;
    search_aids = make_search_aids(suffix_array.as<std::int32_t>(), old_held.data, old_held.length,
                                   new_held.data, new_held.length);
  }

  MemoryBuffer diff_block;
  MemoryBuffer extra_block;
  const std::size_t block_size = static_cast<std::size_t>(new_held.length) + 1;
  if (!diff_block.allocate(block_size) || !extra_block.allocate(block_size)) {
    return PyErr_NoMemory();
  }

  MatchLookahead lookahead(search_aids.get(), suffix_array.as<std::int32_t>(), old_held.data,
                           old_held.length, new_held.data, new_held.length);
  const DeltaInputs inputs{old_held.data,
                           old_held.length,
                           new_held.data,
                           new_held.length,
                           suffix_array.as<std::int32_t>(),
                           search_aids.get(),
                           &lookahead};
  DeltaScan scan;
  while (!scan_finished(scan, inputs)) {
    bool emit;
    {
      const UnlockedInterpreter unlocked;
      emit = run_scan_pass(scan, inputs);
    }
    if (emit) {
      const ControlEntry entry = emit_control_entry(scan, inputs, diff_block.as<std::uint8_t>(),
                                                    extra_block.as<std::uint8_t>());
      if (!append_control_entry(control.get(), entry)) return nullptr;
    }
  }
  suffix_array.reset();
  search_aids.reset();

  ObjectRef result(PyTuple_New(3));
  if (!result) return nullptr;
  PyTuple_SET_ITEM(result.get(), 0, control.release());
  PyObject* diff_string = PyBytes_FromStringAndSize(diff_block.as<const char>(), scan.diff_fill);
  diff_block.reset();
  if (diff_string == nullptr) return nullptr;
  PyTuple_SET_ITEM(result.get(), 1, diff_string);
  PyObject* extra_string = PyBytes_FromStringAndSize(extra_block.as<const char>(), scan.extra_fill);
  extra_block.reset();
  if (extra_string == nullptr) return nullptr;
  PyTuple_SET_ITEM(result.get(), 2, extra_string);
  return result.release();
}

}  // namespace core
