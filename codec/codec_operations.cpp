// encode_int64 and decode_int64: the interpreter side of the 8-byte form.
#include "module/interpreter.h"

#include "codec/int64_codec.h"
#include "module/messages.h"
#include "module/operations.h"

namespace core {

PyObject* encode_int64(PyObject* /*self*/, PyObject* value) {
  PY_LONG_LONG number = 0;
  if (!PyArg_Parse(value, "L", &number)) return nullptr;
  // Encoding -2^63 would give the negative-zero form, which decodes to 0: the
  // value would be lost with no error.
  if (!int64_has_form(number)) {
    PyErr_SetString(PyExc_OverflowError, kInt64HasNoForm);
    return nullptr;
  }
  std::uint8_t form[kInt64FormSize];
  encode_int64_form(number, form);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(form), kInt64FormSize);
}

PyObject* decode_int64(PyObject* /*self*/, PyObject* form) {
  if (!PyBytes_Check(form)) {
    PyErr_SetString(PyExc_TypeError, kStringExpected);
    return nullptr;
  }
  if (PyBytes_GET_SIZE(form) != kInt64FormSize) {
    PyErr_SetString(PyExc_ValueError, kEightBytesExpected);
    return nullptr;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(form));
  return PyLong_FromLongLong(decode_int64_form(bytes));
}

}  // namespace core
