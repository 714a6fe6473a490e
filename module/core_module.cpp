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

#if PY_MAJOR_VERSION >= 3
// No per-module state: -1 keeps the module out of subinterpreters, as the
// single module object of 2.7 would be.
PyModuleDef core_definition = {
    PyModuleDef_HEAD_INIT, "core", nullptr, -1, core_methods, nullptr, nullptr, nullptr, nullptr,
};
#endif

}  // namespace

// The init function is the only exported symbol; the build hides everything
// else. On failure the interpreter's error stands and the import fails with it.
// A Windows DLL has no symbol visibility: it exports what its definition file
// names (module/windows.cmake).
#if defined(_WIN32)
#define CORE_INIT_VISIBLE
#else
#define CORE_INIT_VISIBLE __attribute__((visibility("default")))
#endif

#if PY_MAJOR_VERSION >= 3
extern "C" CORE_INIT_VISIBLE PyObject* PyInit_core(void) {
  return PyModule_Create(&core_definition);
}
#else
extern "C" CORE_INIT_VISIBLE void initcore(void) {
  Py_InitModule4("core", core_methods, nullptr, nullptr, PYTHON_API_VERSION);
}
#endif
