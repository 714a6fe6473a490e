// The module's operations, each with the signature the method table expects.
#pragma once

#include "module/interpreter.h"

namespace core {

PyObject* diff(PyObject* self, PyObject* args);
PyObject* patch(PyObject* self, PyObject* args);
PyObject* encode_int64(PyObject* self, PyObject* value);
PyObject* decode_int64(PyObject* self, PyObject* form);

}  // namespace core
