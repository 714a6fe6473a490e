#include "module/interpreter.h"

#include <climits>
#include <cstring>

#include "module/messages.h"

namespace core {

bool hold_bytes(PyObject* argument, const char* parsed, int parsed_length,
                MemoryBuffer& copy, HeldBytes& held) {
  if (PyString_Check(argument) || PyUnicode_Check(argument)) {
    held.data = reinterpret_cast<const std::uint8_t*>(parsed);
    held.length = parsed_length;
    return true;
  }
  // The pointer the parser gave may already be stale: converting a later
  // argument can run Python code. Ask the object again, now.
  const void* data = nullptr;
  Py_ssize_t length = 0;
  if (PyObject_AsReadBuffer(argument, &data, &length) != 0) return false;
  if (length > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, kSizeTooLarge);
    return false;
  }
  // One byte more than needed, so that an empty copy is a real buffer.
  if (!copy.allocate(static_cast<std::size_t>(length) + 1)) {
    PyErr_NoMemory();
    return false;
  }
  if (length > 0) std::memcpy(copy.as<void>(), data, static_cast<std::size_t>(length));
  held.data = copy.as<const std::uint8_t>();
  held.length = static_cast<std::int32_t>(length);
  return true;
}

}  // namespace core
