// diff(old, new): the interpreter side of computing a Delta.
//
// The lock is held to take the arguments and to build the result, and
// released for all the work between: the suffix sort and the whole scan run
// in compute_delta, which touches only the held input bytes and its own heap
// arrays. A busy Python thread then costs diff one wait for the lock, not
// one every scan pass.
#include "module/interpreter.h"

#include <cstdint>

#include "delta/delta_driver.h"
#include "module/operations.h"

namespace core {
namespace {

// A control entry as a 3-tuple of integers; null with the error set.
PyObject* make_entry(const ControlEntry& entry) {
  ObjectRef tuple(PyTuple_New(3));
  if (!tuple) return nullptr;
  const std::int32_t items[3] = {entry.diff_length, entry.extra_length, entry.old_adjustment};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* number = PyLong_FromLong(items[i]);
    if (number == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i, number);  // the tuple owns it now
  }
  return tuple.release();
}

// The Delta as objects: the control list, then the two blocks, written in
// place inside the new byte strings, then the tuple that holds them.
PyObject* make_delta(const HeldBytes& old_held, const HeldBytes& new_held,
                     const GrowableArray<ControlEntry>& entries) {
  ObjectRef control(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!control) return nullptr;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyObject* entry = make_entry(entries[i]);
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(control.get(), static_cast<Py_ssize_t>(i), entry);  // the list owns it now
  }
  const BlockLengths lengths = block_lengths(entries.data(), entries.size());
  ObjectRef diff_block(new_byte_string(lengths.diff));
  if (!diff_block) return nullptr;
  ObjectRef extra_block(new_byte_string(lengths.extra));
  if (!extra_block) return nullptr;
  write_delta_blocks(old_held.data, old_held.length, new_held.data, new_held.length, entries.data(),
                     entries.size(),
                     reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(diff_block.get())),
                     reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(extra_block.get())));
  ObjectRef result(PyTuple_New(3));
  if (!result) return nullptr;
  PyTuple_SET_ITEM(result.get(), 0, control.release());
  PyTuple_SET_ITEM(result.get(), 1, diff_block.release());
  PyTuple_SET_ITEM(result.get(), 2, extra_block.release());
  return result.release();
}

}  // namespace

PyObject* diff(PyObject* /*self*/, PyObject* args) {
  // Another thread may resize, close or write into an argument while the
  // lock is released. Byte strings, and on 3 buffers whose bytes no one can
  // write (an mmap opened for reading, a memoryview of bytes), are read in
  // place, the buffers' exports held to the end of the call; every other
  // argument is copied now.
  ByteArgument old_bytes(ReadOnlyBuffers::kReadInPlace);
  ByteArgument new_bytes(ReadOnlyBuffers::kReadInPlace);
  if (!PyArg_ParseTuple(args, CORE_BYTES CORE_BYTES, CORE_BYTES_ARG(old_bytes),
                        CORE_BYTES_ARG(new_bytes))) {
    return nullptr;
  }
  if (!hold_bytes(args, 0, old_bytes) || !hold_bytes(args, 1, new_bytes)) return nullptr;

  GrowableArray<ControlEntry> entries;
  bool computed;
  {
    const UnlockedInterpreter unlocked;
    computed = compute_delta(old_bytes.held.data, old_bytes.held.length, new_bytes.held.data,
                             new_bytes.held.length, DiffSettings{}, &entries);
  }
  if (!computed) return PyErr_NoMemory();
  return make_delta(old_bytes.held, new_bytes.held, entries);
}

}  // namespace core
