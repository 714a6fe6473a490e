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
// The module keeps no state, in the module object or anywhere else, so every
// interpreter of a process may create one of its own (multi-phase
// initialisation): the method table is all there is to set up. Where the
// interpreter knows the slot (3.12 on), the module says that it is also
// safe where each interpreter has a lock of its own.
PyModuleDef_Slot core_slots[] = {
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef core_definition = {
    PyModuleDef_HEAD_INIT, "core", nullptr, 0, core_methods, core_slots, nullptr, nullptr, nullptr,
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
  return PyModuleDef_Init(&core_definition);
}
#else
extern "C" CORE_INIT_VISIBLE void initcore(void) {
  Py_InitModule4("core", core_methods, nullptr, nullptr, PYTHON_API_VERSION);
}
#endif
