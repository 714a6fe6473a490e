// The one place that knows which interpreter the module is built for:
// CPython 2.7 or 3, the byte arguments each takes, and small owners for what
// the glue takes from it.
//
// Include this first in every glue file: Python.h must come before any
// standard header.
#pragma once

// patchlevel.h stands alone and says which API Python.h is about to declare.
#include <patchlevel.h>
// Python 3.10 refuses "#" formats without Py_ssize_t lengths. On 2.7 the
// lengths stay ints, so the parser itself keeps refusing a byte argument
// longer than INT_MAX, as it always has.
#if PY_MAJOR_VERSION >= 3
#define PY_SSIZE_T_CLEAN
#endif

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

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "module/heap_array.h"

namespace core {

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

// How many UnlockedInterpreter scopes the calling thread is inside: none
// while it holds its interpreter's lock. Whether it holds the lock is the
// thread's own state, in every interpreter of the process.
inline thread_local int released_lock_scopes = 0;

// Releases the interpreter lock for its scope. Inside it, touch no object and
// call nothing of the interpreter's, its allocator included.
class UnlockedInterpreter {
 public:
  UnlockedInterpreter() : thread_state_(PyEval_SaveThread()) { ++released_lock_scopes; }
  UnlockedInterpreter(const UnlockedInterpreter&) = delete;
  UnlockedInterpreter& operator=(const UnlockedInterpreter&) = delete;
  // Not noexcept: when the interpreter is exiting, Python 3 ends a thread
  // that asks for the lock back by unwinding its stack from inside
  // PyEval_RestoreThread, and a noexcept destructor would turn that unwind
  // into std::terminate, an abort of the whole process. So nothing that a
  // frame holds across this scope may need the lock to be released: no
  // object, no PyMem block (module/heap_array.h). The one exception is a
  // BufferExport, which sees that the lock never came back and stays held.
  ~UnlockedInterpreter() noexcept(false) {
    PyEval_RestoreThread(thread_state_);
    --released_lock_scopes;
  }

 private:
  PyThreadState* thread_state_;
};

// Makes a byte string of `length` bytes for the caller to fill, or sets
// MemoryError: also for a length the interpreter refuses to make at all (on
// a 32-bit interpreter, anything within a header's size of 2^31), which it
// would report as OverflowError, although it is only memory that is short.
inline PyObject* new_byte_string(std::int64_t length) {
#if PY_MAJOR_VERSION >= 3
  constexpr std::int64_t kHeader = offsetof(PyBytesObject, ob_sval) + 1;
#else
  constexpr std::int64_t kHeader = offsetof(PyStringObject, ob_sval) + 1;
#endif
  if (length < 0 || length > PY_SSIZE_T_MAX - kHeader) return PyErr_NoMemory();
  return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
}

// Bytes of a byte argument that stay valid and unchanged for the whole call.
struct HeldBytes {
  const std::uint8_t* data = nullptr;
  std::int32_t length = 0;
};

#if PY_MAJOR_VERSION >= 3
// An export of an object's bytes (PyObject_GetBuffer), released by its
// owner. While it is held, the object cannot be resized, closed or released:
// the interpreter refuses with BufferError.
class BufferExport {
 public:
  BufferExport() = default;
  BufferExport(const BufferExport&) = delete;
  BufferExport& operator=(const BufferExport&) = delete;
  // At exit a thread ended inside an UnlockedInterpreter scope unwinds
  // through here without the lock, which releasing needs: the export, and
  // the reference to the object it holds, then stay as they are, in an
  // interpreter that is going away.
  ~BufferExport() {
    if (released_lock_scopes == 0) release();
  }

  // Exports the bytes of `object`, contiguous; false with the error set.
  bool take(PyObject* object) {
    assert(!held_ && released_lock_scopes == 0);
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }
  void release() {
    if (!held_) return;
    assert(PyGILState_Check());
    PyBuffer_Release(&view_);
    held_ = false;
  }
  const Py_buffer& view() const {
    assert(held_);
    return view_;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};
#endif

// Whether diff may read a read-only buffer in place (Python 3 only).
enum class ReadOnlyBuffers { kCopied, kReadInPlace };

// One byte argument of diff or patch, from parsing to the end of the call.
//
// Byte strings are immutable and are read in place. Any other object that
// exposes its bytes (array.array, mmap, memoryview, bytearray; buffer on 2.7)
// can be resized or closed by Python code that runs during the call (an
// item's __int__, or another thread while the lock is released), so its
// bytes are copied into `copy` as the parser hands it over (on 3) or right
// after parsing (on 2.7), before anything after parsing can run. Only
// patch's new length converts during parsing, and what its own __int__
// does to a later argument (any of them on 2.7) is what the call sees.
//
// With kReadInPlace, on 3, a buffer whose bytes nobody can write is read in
// place instead, and its export held until the argument is destroyed: the
// export keeps the object from being resized or closed meanwhile. 2.7's
// buffers have no export to hold, so they are always copied.
//
// Use it as PyArg_ParseTuple(args, CORE_BYTES CORE_BYTES, CORE_BYTES_ARG(a),
// CORE_BYTES_ARG(b)), then hold_bytes(args, 0, a) and hold_bytes(args, 1, b).
struct ByteArgument {
  explicit ByteArgument(ReadOnlyBuffers read_only = ReadOnlyBuffers::kCopied)
      : read_only_buffers(read_only) {}
  ByteArgument(const ByteArgument&) = delete;
  ByteArgument& operator=(const ByteArgument&) = delete;

  const ReadOnlyBuffers read_only_buffers;
  HeapArray<std::uint8_t> copy;
#if PY_MAJOR_VERSION >= 3
  // The export of a buffer read in place, held to the end of the call; a
  // buffer that is copied is exported only while it is copied.
  BufferExport exported;
#endif
  HeldBytes held;
#if PY_MAJOR_VERSION < 3
  // What "s#" gives; on 2.7 the copy is made from the object afterwards.
  const char* parsed = nullptr;
  int parsed_length = 0;
#endif
};

#if PY_MAJOR_VERSION >= 3
// bytes (and its subclasses) or an object with a buffer; str is refused.
// The bytes are held, or copied, by the parser's own call of the converter.
int convert_byte_argument(PyObject* object, void* byte_argument);
#define CORE_BYTES "O&"
#define CORE_BYTES_ARG(argument) &core::convert_byte_argument, &(argument)
#else
// Everything "s#" accepts, as it always has: str, unicode through the
// default encoding, and read-only buffers.
#define CORE_BYTES "s#"
#define CORE_BYTES_ARG(argument) &(argument).parsed, &(argument).parsed_length
#endif

// Finishes taking the index-th argument of `args` once parsing is done and
// before anything can run Python code. Returns false with the error set.
bool hold_bytes(PyObject* args, Py_ssize_t index, ByteArgument& argument);

}  // namespace core

// The byte-string type goes by Python 3's names, PyBytes_*: 2.7's own headers
// map them onto str (PyBytes_Check is PyString_Check there). The integer type
// needs no mapping either: the glue uses PyLong_* alone, which 2.7 accepts
// for int as well, and which makes long there and int on 3.
