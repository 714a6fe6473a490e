// The one place that knows which interpreter the module is built for: the
// CPython 2.7 API, and small owners for what the glue takes from it.
//
// Include this first in every glue file: Python.h must come before any
// standard header.
#pragma once

// Python 2.7's headers declare `register` variables, which C++17 removed.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wregister"
#elif defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#endif
#include <Python.h>
#if defined(__clang__)
#pragma clang diagnostic pop
#elif defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <cstddef>
#include <cstdint>

namespace core {

// A PyMem_Malloc buffer, freed when the owner goes out of scope. Allocation
// and release need the interpreter lock.
class MemoryBuffer {
 public:
  MemoryBuffer() = default;
  MemoryBuffer(const MemoryBuffer&) = delete;
  MemoryBuffer& operator=(const MemoryBuffer&) = delete;
  ~MemoryBuffer() { reset(); }

  bool allocate(std::size_t size) {
    reset();
    memory_ = PyMem_Malloc(size);
    return memory_ != nullptr;
  }
  void reset() {
    if (memory_ != nullptr) PyMem_Free(memory_);
    memory_ = nullptr;
  }
  template <typename T>
  T* as() const { return static_cast<T*>(memory_); }

 private:
  void* memory_ = nullptr;
};

// An owned reference, released unless handed over with release().
class ObjectRef {
 public:
  explicit ObjectRef(PyObject* object = nullptr) : object_(object) {}
  ObjectRef(const ObjectRef&) = delete;
  ObjectRef& operator=(const ObjectRef&) = delete;
  ~ObjectRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  PyObject* object_;
};

// Releases the interpreter lock for its scope. Inside it, touch no object and
// call nothing of the interpreter's, its allocator included.
class UnlockedInterpreter {
 public:
  UnlockedInterpreter() : thread_state_(PyEval_SaveThread()) {}
  UnlockedInterpreter(const UnlockedInterpreter&) = delete;
  UnlockedInterpreter& operator=(const UnlockedInterpreter&) = delete;
  ~UnlockedInterpreter() { PyEval_RestoreThread(thread_state_); }

 private:
  PyThreadState* thread_state_;
};

// Bytes of an "s#" argument that stay valid and unchanged for the whole call.
struct HeldBytes {
  const std::uint8_t* data = nullptr;
  std::int32_t length = 0;
};

// Byte strings (and the encoded form that "s#" takes of a unicode object)
// are immutable and are read in place. Any other object that "s#" accepts
// (array.array, buffer, mmap) can be resized or closed by Python
// code that runs during the call, an item's __int__ or another thread, so its
// bytes are fetched afresh and copied into `copy`. Call it after argument
// parsing is done, before anything can run Python code. Returns false with
// the error set.
bool hold_bytes(PyObject* argument, const char* parsed, int parsed_length,
                MemoryBuffer& copy, HeldBytes& held);

}  // namespace core
