// patch(old, new_length, control, diff_block, extra_block): the interpreter
// side of applying a Delta. It holds the interpreter lock throughout.
#include "module/interpreter.h"

#include <algorithm>
#include <cstdint>

#include "module/messages.h"
#include "module/operations.h"
#include "patch/patch_apply.h"

namespace core {
namespace {

// The module's home platform has a 32-bit C long; PyLong_AsLong rejects what
// does not fit there, and so must the module where long is wider.
bool convert_entry_item(PyObject* item, std::int32_t* value) {
  const long converted = PyLong_AsLong(item);
  if (converted == -1 && PyErr_Occurred()) return false;
  if (converted < INT32_MIN || converted > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, kIntTooLarge);
    return false;
  }
  *value = static_cast<std::int32_t>(converted);
  return true;
}

// Shape first, then the items in order; the first failure decides the error.
bool convert_entry(PyObject* object, ControlEntry* entry) {
  if (!PyTuple_Check(object)) {
    PyErr_SetString(PyExc_TypeError, kExpectingTuple);
    return false;
  }
  if (PyTuple_GET_SIZE(object) != 3) {
    PyErr_SetString(PyExc_TypeError, kExpectingTupleOfSize3);
    return false;
  }
  // A tuple's items live as long as the tuple, which the caller holds.
  return convert_entry_item(PyTuple_GET_ITEM(object, 0), &entry->diff_length) &&
         convert_entry_item(PyTuple_GET_ITEM(object, 1), &entry->extra_length) &&
         convert_entry_item(PyTuple_GET_ITEM(object, 2), &entry->old_adjustment);
}

// On the 32-bit home platform new_length + 1 bytes were asked of the
// allocator, which wraps and is refused from 2^31 on: so for a new length
// below -1 or equal to 2^31 - 1. Those lengths are refused here in the same
// way, before anything is allocated. A new length of -1 gets an empty
// output; no entry fits it and the end test refuses it.
bool output_length_allowed(std::int32_t new_length) {
  const std::int64_t request = static_cast<std::int64_t>(new_length) + 1;
  return request >= 0 && request <= INT32_MAX;
}

}  // namespace

PyObject* patch(PyObject* /*self*/, PyObject* args) {
  // Every byte argument but a byte string is copied, read-only buffers too:
  // the new length's and the items' conversions run Python code while the
  // bytes are in use, and a held export would turn a close or resize there,
  // or on another thread, which succeeds, into a BufferError.
  ByteArgument old_bytes;
  int new_length = 0;
  PyObject* control = nullptr;
  ByteArgument diff_bytes;
  ByteArgument extra_bytes;
  if (!PyArg_ParseTuple(args, CORE_BYTES "iO!" CORE_BYTES CORE_BYTES, CORE_BYTES_ARG(old_bytes),
                        &new_length, &PyList_Type, &control, CORE_BYTES_ARG(diff_bytes),
                        CORE_BYTES_ARG(extra_bytes))) {
    return nullptr;
  }
  if (!hold_bytes(args, 0, old_bytes) || !hold_bytes(args, 3, diff_bytes) ||
      !hold_bytes(args, 4, extra_bytes)) {
    return nullptr;
  }
  const PatchInputs inputs{old_bytes.held.data,    old_bytes.held.length,  new_length,
                           diff_bytes.held.data,   diff_bytes.held.length, extra_bytes.held.data,
                           extra_bytes.held.length};

  // The output is built in place in the result: a separate working buffer
  // would cost a second fresh allocation of the new length and a copy,
  // which took more time than applying the entries. Nothing reaches the
  // result before it is returned, and it is released on every failure.
  if (!output_length_allowed(new_length)) return PyErr_NoMemory();
  ObjectRef result(new_byte_string(std::max(new_length, 0)));
  if (!result) return nullptr;
  auto* output = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result.get()));

  PatchCursor cursor;
  // An item's __int__ may shrink the list or drop entries from it: the
  // length is read afresh for every entry, and the entry is held while its
  // items are converted.
  for (Py_ssize_t index = 0; index < PyList_GET_SIZE(control); ++index) {
    PyObject* item = PyList_GET_ITEM(control, index);
    Py_INCREF(item);
    const ObjectRef held_entry(item);
    ControlEntry entry{};
    if (!convert_entry(held_entry.get(), &entry)) return nullptr;
    switch (check_control_entry(cursor, entry, inputs)) {
      case EntryFit::kFits:
        break;
      case EntryFit::kNegativeLength:
        PyErr_SetString(PyExc_ValueError, kCorruptPatchNegativeLength);
        return nullptr;
      case EntryFit::kOverflow:
        PyErr_SetString(PyExc_ValueError, kCorruptPatchOverflow);
        return nullptr;
    }
    apply_control_entry(cursor, entry, inputs, output);
  }
  if (!patch_complete(cursor, inputs)) {
    PyErr_SetString(PyExc_ValueError, kCorruptPatchUnderflow);
    return nullptr;
  }
  return result.release();
}

}  // namespace core
