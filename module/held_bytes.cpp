#include "module/interpreter.h"

#include <climits>
#include <cstring>

#include "module/messages.h"

namespace core {
namespace {

// The algorithms take lengths below 2^31; false with OverflowError otherwise.
bool length_fits(Py_ssize_t length) {
  if (length <= INT_MAX) return true;
  PyErr_SetString(PyExc_OverflowError, kSizeTooLarge);
  return false;
}

// Holds `length` bytes at `data`, which stay valid and unchanged for the call.
void hold(const void* data, Py_ssize_t length, ByteArgument& argument) {
  assert(length >= 0 && length <= INT_MAX);
  // An exporter may give no address at all for no bytes; the algorithms
  // take an address always.
  static const std::uint8_t kNoBytes[1] = {0};
  argument.held.data = data != nullptr ? static_cast<const std::uint8_t*>(data) : kNoBytes;
  argument.held.length = static_cast<std::int32_t>(length);
}

// Copies `length` bytes into the argument's own buffer and holds the copy.
bool hold_copy(const void* data, Py_ssize_t length, ByteArgument& argument) {
  if (!length_fits(length)) return false;
  if (!argument.copy.allocate(static_cast<std::size_t>(length))) {
    PyErr_NoMemory();
    return false;
  }
  if (length > 0) std::memcpy(argument.copy.get(), data, static_cast<std::size_t>(length));
  hold(argument.copy.get(), length, argument);
  return true;
}

#if PY_MAJOR_VERSION >= 3
// True when no one can write the exported bytes while the export is held:
// the object exported memory of its own and says it is read-only, and for
// a memoryview so did the object it views. A read-only view of a bytearray
// or of a writable mmap (memoryview.toreadonly()), or one that an object
// hands out for another (a class's __buffer__, a pickle.PickleBuffer),
// leaves the bytes writable through that other object.
bool bytes_stay_unchanged(PyObject* object, const Py_buffer& view) {
  if (!view.readonly || view.obj != object) return false;
  if (!PyMemoryView_Check(object)) return true;
  return reinterpret_cast<const PyMemoryViewObject*>(object)->mbuf->master.readonly != 0;
}
#endif

}  // namespace

#if PY_MAJOR_VERSION >= 3

int convert_byte_argument(PyObject* object, void* byte_argument) {
  ByteArgument& argument = *static_cast<ByteArgument*>(byte_argument);
  if (PyBytes_Check(object)) {
    // The argument tuple keeps the object, and with it these bytes, alive.
    if (!length_fits(PyBytes_GET_SIZE(object))) return 0;
    hold(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object), argument);
    return 1;
  }
  // str has no buffer, so it fails here with the interpreter's own
  // "a bytes-like object is required" TypeError.
  if (!argument.exported.take(object)) return 0;
  const Py_buffer& view = argument.exported.view();
  if (argument.read_only_buffers == ReadOnlyBuffers::kReadInPlace &&
      bytes_stay_unchanged(object, view)) {
    // The export stays held until the argument is destroyed, at the end of
    // the call (or on an error, at once); until then the object refuses to
    // be resized, closed or released.
    if (!length_fits(view.len)) return 0;
    hold(view.buf, view.len, argument);
    return 1;
  }
  const bool held = hold_copy(view.buf, view.len, argument);
  argument.exported.release();
  return held ? 1 : 0;
}

bool hold_bytes(PyObject* /*args*/, Py_ssize_t /*index*/, ByteArgument& /*argument*/) {
  // The converter held the bytes while the parser ran, before any later
  // argument's conversion could run Python code.
  return true;
}

#else

bool hold_bytes(PyObject* args, Py_ssize_t index, ByteArgument& argument) {
  PyObject* object = PyTuple_GET_ITEM(args, index);
  if (PyString_Check(object) || PyUnicode_Check(object)) {
    // The str, or the encoded form "s#" keeps with a unicode object.
    argument.held.data = reinterpret_cast<const std::uint8_t*>(argument.parsed);
    argument.held.length = argument.parsed_length;
    return true;
  }
  // The pointer the parser gave may already be stale: converting a later
  // argument can run Python code. Ask the object again, now.
  const void* data = nullptr;
  Py_ssize_t length = 0;
  if (PyObject_AsReadBuffer(object, &data, &length) != 0) return false;
  return hold_copy(data, length, argument);
}

#endif

}  // namespace core
