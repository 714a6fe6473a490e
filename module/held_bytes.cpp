#include "module/interpreter.h"

#include <climits>
#include <cstring>

#include "module/messages.h"

namespace core {
namespace {

// Copies `length` bytes into the argument's own buffer and holds the copy.
bool hold_copy(const void* data, Py_ssize_t length, ByteArgument& argument) {
  if (length > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, kSizeTooLarge);
    return false;
  }
  if (!argument.copy.allocate(static_cast<std::size_t>(length))) {
    PyErr_NoMemory();
    return false;
  }
  if (length > 0) std::memcpy(argument.copy.get(), data, static_cast<std::size_t>(length));
  argument.held.data = argument.copy.get();
  argument.held.length = static_cast<std::int32_t>(length);
  return true;
}

}  // namespace

#if PY_MAJOR_VERSION >= 3

int convert_byte_argument(PyObject* object, void* byte_argument) {
  ByteArgument& argument = *static_cast<ByteArgument*>(byte_argument);
  if (PyBytes_Check(object)) {
    // The argument tuple keeps the object, and with it these bytes, alive.
    if (PyBytes_GET_SIZE(object) > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, kSizeTooLarge);
      return 0;
    }
    argument.held.data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
    argument.held.length = static_cast<std::int32_t>(PyBytes_GET_SIZE(object));
    return 1;
  }
  // str has no buffer, so it fails here with the interpreter's own
  // "a bytes-like object is required" TypeError.
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) != 0) return 0;
  const bool held = hold_copy(view.buf, view.len, argument);
  PyBuffer_Release(&view);
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
