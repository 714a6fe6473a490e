// Entry point: registers the module `core` and its method table.
#include "module/interpreter.h"

#include "module/operations.h"

namespace {

PyMethodDef core_methods[] = {
    {"diff", core::diff, METH_VARARGS, nullptr},
    {"patch", core::patch, METH_VARARGS, nullptr},
    {"encode_int64", core::encode_int64, METH_O, nullptr},
    {"decode_int64", core::decode_int64, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The only exported symbol; the build hides everything else.
extern "C" __attribute__((visibility("default"))) void initcore(void) {
  // On failure the interpreter's error stands and the import fails with it.
  Py_InitModule4("core", core_methods, nullptr, nullptr, PYTHON_API_VERSION);
}
