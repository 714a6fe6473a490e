/* Allocation-failure injection and leak tracking for the module `core`.
 *
 * Preloaded into a Python 2.7 or 3 interpreter that links libpython
 * dynamically (LD_PRELOAD), this library interposes the C heap's functions
 * (malloc, realloc, free) and the interpreter functions through which core.so
 * obtains memory and objects. Build it against the
 * headers of the interpreter it goes into: the byte-string maker is
 * PyString_FromStringAndSize on 2.7 and PyBytes_FromStringAndSize on 3. Calls made from anywhere
 * else are forwarded untouched; calls made from core.so, once fault_shim_attach() has located it,
 * are also:
 *   - counted per function, since the last fault_shim_reset();
 *   - failed on request: fault_shim_arm(name, n) makes the n-th counted call of
 *     that function fail. malloc, realloc and PyMem_Malloc then return NULL
 *     without an error set, as the real allocators do, so that core itself
 *     must report it; an object creator returns NULL, and PyList_Append and
 *     PyObject_GetBuffer return -1, each with a MemoryError whose message
 *     names the injected call;
 *   - tracked: every heap and PyMem block core.so still holds, every buffer
 *     export (PyObject_GetBuffer) it has not released, and an extra
 *     reference to every object the creators handed to core.so.
 *
 * core.so calls the heap's functions from threads of its own too, so what
 * they count and track is guarded by a lock. Where a sanitizer runtime is
 * preloaded before the shim, its malloc wins and the shim never sees the
 * heap: fault_shim_sees_heap() tells.
 *
 * fault_shim_release_objects() then tells whether core left a reference
 * behind: it drops, again and again, the tracked objects whose only
 * reference is the shim's (dropping a container frees the references it held
 * to other tracked objects), and counts the ones that are still referenced
 * from elsewhere. The empty tuple, zero- or one-byte strings and, on 3, the
 * small integers (-5 to 256) are not tracked: the interpreter shares those,
 * so their reference counts say nothing about core.
 *
 * The tests drive it through ctypes.PyDLL, so every control function runs
 * with the interpreter lock held, as core's own calls do. Build:
 *   cc -shared -fPIC -O1 -I<the interpreter's include dir> -o fault_shim.so fault_shim.c -ldl
 * Nothing refers to libpython at link time: its functions are looked up at
 * run time, so the library also loads into a process without it.
 */
#include <Python.h> /* first: it sets _GNU_SOURCE, which dlfcn.h needs */

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum Function {
  kMalloc,
  kRealloc,
  kFree,
  kMemMalloc,
  kMemFree,
  kListNew,
  kTupleNew,
  kLongFromLong,
  kListAppend,
  kStringFromStringAndSize,
  kGetBuffer,
  kBufferRelease,
  kFunctionCount
};

/* On 2.7 the header maps PyBytes_FromStringAndSize onto the str maker, so
 * the interposer below takes the right name on both; dlsym needs it spelt. */
#if PY_MAJOR_VERSION >= 3
#define BYTES_FROM_NAME "PyBytes_FromStringAndSize"
#else
#define BYTES_FROM_NAME "PyString_FromStringAndSize"
#endif

static const char* const function_names[kFunctionCount] = {
    "malloc",
    "realloc",
    "free",
    "PyMem_Malloc",
    "PyMem_Free",
    "PyList_New",
    "PyTuple_New",
    "PyLong_FromLong",
    "PyList_Append",
    BYTES_FROM_NAME,
    "PyObject_GetBuffer",
    "PyBuffer_Release",
};

static void* (*real_mem_malloc)(size_t);
static void (*real_mem_free)(void*);
static PyObject* (*real_list_new)(Py_ssize_t);
static PyObject* (*real_tuple_new)(Py_ssize_t);
static PyObject* (*real_long_from_long)(long);
static int (*real_list_append)(PyObject*, PyObject*);
static PyObject* (*real_string_from_string_and_size)(const char*, Py_ssize_t);
static int (*real_get_buffer)(PyObject*, Py_buffer*, int);
static void (*real_buffer_release)(Py_buffer*);
static void (*real_err_set_string)(PyObject*, const char*);
static PyObject** memory_error_type;

/* core.so's mapped address range; empty until fault_shim_attach(). */
static uintptr_t core_begin;
static uintptr_t core_end;

static long call_counts[kFunctionCount];
static int armed_function = -1;
static long armed_call;
static int injected;

/* glibc's own allocator, under the names it exports for interposers: dlsym
 * itself may allocate, so it cannot find these. */
extern void* __libc_malloc(size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void __libc_free(void* block);

/* Guards the counts, the armed call and core_heap_blocks against core.so's
 * own threads; the interpreter's lock guards everything else. */
static pthread_mutex_t heap_lock = PTHREAD_MUTEX_INITIALIZER;

/* Blocks core.so allocated and has not freed, and objects handed to it. */
struct PointerSet {
  void** items;
  size_t size;
  size_t capacity;
};
static struct PointerSet core_blocks;
static struct PointerSet core_heap_blocks;
static struct PointerSet core_objects;
/* The Py_buffer of every export core.so took and has not released. */
static struct PointerSet core_exports;
static long foreign_frees;

/* NULL in a process without libpython, which then never calls the shim. */
static void* next_symbol(const char* name) { return dlsym(RTLD_NEXT, name); }

__attribute__((constructor)) static void resolve_real_functions(void) {
  real_mem_malloc = (void* (*)(size_t))next_symbol("PyMem_Malloc");
  real_mem_free = (void (*)(void*))next_symbol("PyMem_Free");
  real_list_new = (PyObject * (*)(Py_ssize_t)) next_symbol("PyList_New");
  real_tuple_new = (PyObject * (*)(Py_ssize_t)) next_symbol("PyTuple_New");
  real_long_from_long = (PyObject * (*)(long)) next_symbol("PyLong_FromLong");
  real_list_append = (int (*)(PyObject*, PyObject*))next_symbol("PyList_Append");
  real_string_from_string_and_size =
      (PyObject * (*)(const char*, Py_ssize_t)) next_symbol(BYTES_FROM_NAME);
  real_get_buffer = (int (*)(PyObject*, Py_buffer*, int))next_symbol("PyObject_GetBuffer");
  real_buffer_release = (void (*)(Py_buffer*))next_symbol("PyBuffer_Release");
  real_err_set_string = (void (*)(PyObject*, const char*))next_symbol("PyErr_SetString");
  memory_error_type = (PyObject**)next_symbol("PyExc_MemoryError");
}

static void set_add(struct PointerSet* set, void* item) {
  if (set->size == set->capacity) {
    size_t capacity = set->capacity ? set->capacity * 2 : 256;
    void** items = realloc(set->items, capacity * sizeof(void*));
    if (items == NULL) {
      fprintf(stderr, "fault_shim: out of memory for tracking\n");
      abort();
    }
    set->items = items;
    set->capacity = capacity;
  }
  set->items[set->size++] = item;
}

/* Order does not matter: the last item fills the gap. */
static void set_remove_at(struct PointerSet* set, size_t index) {
  set->items[index] = set->items[--set->size];
}

static int set_remove(struct PointerSet* set, void* item) {
  for (size_t i = 0; i < set->size; ++i) {
    if (set->items[i] == item) {
      set_remove_at(set, i);
      return 1;
    }
  }
  return 0;
}

static int called_from_core(const void* return_address) {
  uintptr_t address = (uintptr_t)return_address;
  return address >= core_begin && address < core_end;
}

/* Counts a call from core; true when this call is the one to fail. */
static int count_and_check(enum Function function) {
  long call = ++call_counts[function];
  if ((int)function != armed_function || call != armed_call) return 0;
  injected = 1;
  return 1;
}

static void set_injected_error(enum Function function) {
  char message[96];
  snprintf(message, sizeof message, "injected failure: %s call %ld", function_names[function],
           call_counts[function]);
  real_err_set_string(*memory_error_type, message);
}

static PyObject* track_object(PyObject* object) {
  if (object != NULL) {
    Py_INCREF(object);
    set_add(&core_objects, object);
  }
  return object;
}

/* Defined under a name of the shim's own, so that fault_shim_sees_heap can
 * tell it from whatever malloc the process resolves. */
static void* shim_malloc(size_t size) {
  if (!called_from_core(__builtin_return_address(0))) return __libc_malloc(size);
  pthread_mutex_lock(&heap_lock);
  void* block = count_and_check(kMalloc) ? NULL : __libc_malloc(size);
  if (block != NULL) set_add(&core_heap_blocks, block);
  pthread_mutex_unlock(&heap_lock);
  return block;
}
void* malloc(size_t size) __attribute__((alias("shim_malloc")));

void* realloc(void* block, size_t size) {
  if (!called_from_core(__builtin_return_address(0))) return __libc_realloc(block, size);
  pthread_mutex_lock(&heap_lock);
  void* moved = NULL;
  /* A failed realloc leaves the block as it was, still core's. */
  if (!count_and_check(kRealloc)) {
    moved = __libc_realloc(block, size);
    if (moved != NULL) {
      if (block != NULL && !set_remove(&core_heap_blocks, block)) ++foreign_frees;
      set_add(&core_heap_blocks, moved);
    }
  }
  pthread_mutex_unlock(&heap_lock);
  return moved;
}

void free(void* block) {
  if (block != NULL && called_from_core(__builtin_return_address(0))) {
    pthread_mutex_lock(&heap_lock);
    ++call_counts[kFree];
    if (!set_remove(&core_heap_blocks, block)) ++foreign_frees;
    pthread_mutex_unlock(&heap_lock);
  }
  __libc_free(block);
}

void* PyMem_Malloc(size_t size) {
  if (!called_from_core(__builtin_return_address(0))) return real_mem_malloc(size);
  if (count_and_check(kMemMalloc)) return NULL;
  void* block = real_mem_malloc(size);
  if (block != NULL) set_add(&core_blocks, block);
  return block;
}

void PyMem_Free(void* block) {
  if (called_from_core(__builtin_return_address(0)) && block != NULL) {
    ++call_counts[kMemFree];
    if (!set_remove(&core_blocks, block)) ++foreign_frees;
  }
  real_mem_free(block);
}

PyObject* PyList_New(Py_ssize_t size) {
  if (!called_from_core(__builtin_return_address(0))) return real_list_new(size);
  if (count_and_check(kListNew)) {
    set_injected_error(kListNew);
    return NULL;
  }
  return track_object(real_list_new(size));
}

PyObject* PyTuple_New(Py_ssize_t size) {
  if (!called_from_core(__builtin_return_address(0))) return real_tuple_new(size);
  if (count_and_check(kTupleNew)) {
    set_injected_error(kTupleNew);
    return NULL;
  }
  /* The empty tuple is shared, like short strings. */
  PyObject* tuple = real_tuple_new(size);
  return size > 0 ? track_object(tuple) : tuple;
}

PyObject* PyLong_FromLong(long value) {
  if (!called_from_core(__builtin_return_address(0))) return real_long_from_long(value);
  if (count_and_check(kLongFromLong)) {
    set_injected_error(kLongFromLong);
    return NULL;
  }
  PyObject* number = real_long_from_long(value);
#if PY_MAJOR_VERSION >= 3
  /* Python 3 shares its small integers; 2.7's longs are always new. */
  if (value >= -5 && value <= 256) return number;
#endif
  return track_object(number);
}

int PyList_Append(PyObject* list, PyObject* item) {
  if (!called_from_core(__builtin_return_address(0))) return real_list_append(list, item);
  if (count_and_check(kListAppend)) {
    set_injected_error(kListAppend);
    return -1;
  }
  return real_list_append(list, item);
}

PyObject* PyBytes_FromStringAndSize(const char* bytes, Py_ssize_t size) {
  if (!called_from_core(__builtin_return_address(0))) {
    return real_string_from_string_and_size(bytes, size);
  }
  if (count_and_check(kStringFromStringAndSize)) {
    set_injected_error(kStringFromStringAndSize);
    return NULL;
  }
  PyObject* string = real_string_from_string_and_size(bytes, size);
  /* The empty string, and a one-byte string copied from bytes, are shared. */
  const int shared = size == 0 || (size == 1 && bytes != NULL);
  return shared ? string : track_object(string);
}

int PyObject_GetBuffer(PyObject* object, Py_buffer* view, int flags) {
  if (!called_from_core(__builtin_return_address(0))) return real_get_buffer(object, view, flags);
  if (count_and_check(kGetBuffer)) {
    set_injected_error(kGetBuffer);
    return -1;
  }
  const int status = real_get_buffer(object, view, flags);
  if (status == 0) set_add(&core_exports, view);
  return status;
}

void PyBuffer_Release(Py_buffer* view) {
  if (called_from_core(__builtin_return_address(0))) {
    ++call_counts[kBufferRelease];
    /* Released twice, or never taken: both are core's fault. */
    if (view->obj != NULL && !set_remove(&core_exports, view)) ++foreign_frees;
  }
  real_buffer_release(view);
}

/* ---- Control, called from Python through ctypes.PyDLL ---- */

static int find_core(struct dl_phdr_info* info, size_t info_size, void* found) {
  (void)info_size;
  const char* slash = strrchr(info->dlpi_name, '/');
  const char* base = slash != NULL ? slash + 1 : info->dlpi_name;
  /* core.so on 2.7; core.cpython-313-x86_64-linux-gnu.so and the like on 3. */
  size_t length = strlen(base);
  if (strncmp(base, "core.", 5) != 0 || length < 7 || strcmp(base + length - 3, ".so") != 0) {
    return 0;
  }
  ++*(int*)found;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* segment = &info->dlpi_phdr[i];
    if (segment->p_type != PT_LOAD) continue;
    uintptr_t begin = info->dlpi_addr + segment->p_vaddr;
    uintptr_t end = begin + segment->p_memsz;
    if (core_begin == 0 || begin < core_begin) core_begin = begin;
    if (end > core_end) core_end = end;
  }
  return 0;
}

/* Starts watching core.so, which must be imported already. Returns 1 when
 * exactly one core.so is loaded, else 0 (and watches nothing). */
int fault_shim_attach(void) {
  int found = 0;
  core_begin = core_end = 0;
  dl_iterate_phdr(find_core, &found);
  if (found != 1) core_begin = core_end = 0;
  return found == 1;
}

static int function_index(const char* name) {
  for (int i = 0; i < kFunctionCount; ++i) {
    if (strcmp(function_names[i], name) == 0) return i;
  }
  return -1;
}

/* Zeroes the call counts and disarms. Tracked blocks and objects stay. */
void fault_shim_reset(void) {
  pthread_mutex_lock(&heap_lock);
  memset(call_counts, 0, sizeof call_counts);
  armed_function = -1;
  armed_call = 0;
  injected = 0;
  pthread_mutex_unlock(&heap_lock);
}

/* Fails the call-th call (from 1) of `name` counted since the last reset.
 * Returns 0, or -1 for a name the shim does not interpose. */
int fault_shim_arm(const char* name, long call) {
  int function = function_index(name);
  if (function < 0 || function == kMemFree || function == kFree || function == kBufferRelease) {
    return -1;
  }
  armed_function = function;
  armed_call = call;
  return 0;
}

long fault_shim_calls(const char* name) {
  int function = function_index(name);
  return function < 0 ? -1 : call_counts[function];
}

/* True once the armed call has been failed. */
int fault_shim_injected(void) { return injected; }

/* How many heap and PyMem blocks core.so holds now; they are forgotten, so
 * that a leak is reported once. */
long fault_shim_take_outstanding_blocks(void) {
  pthread_mutex_lock(&heap_lock);
  long outstanding = (long)(core_blocks.size + core_heap_blocks.size);
  core_blocks.size = 0;
  core_heap_blocks.size = 0;
  pthread_mutex_unlock(&heap_lock);
  return outstanding;
}

/* How many exports core.so holds now; they are forgotten, so that a leak is
 * reported once. */
long fault_shim_take_outstanding_exports(void) {
  long outstanding = (long)core_exports.size;
  core_exports.size = 0;
  return outstanding;
}

/* True when core.so's calls of malloc, realloc and free come to the shim:
 * not so where a sanitizer's runtime, preloaded first, interposes them. */
int fault_shim_sees_heap(void) { return dlsym(RTLD_DEFAULT, "malloc") == (void*)shim_malloc; }

/* free and PyMem_Free calls from core.so on blocks it did not get from the
 * matching allocator (or that were forgotten), since the last call. */
long fault_shim_take_foreign_frees(void) {
  long frees = foreign_frees;
  foreign_frees = 0;
  return frees;
}

/* Drops every tracked reference; returns how many of those objects were
 * still referenced from elsewhere, i.e. kept alive by core or the caller. */
long fault_shim_release_objects(void) {
  int dropped = 1;
  while (dropped) {
    dropped = 0;
    size_t i = 0;
    while (i < core_objects.size) {
      PyObject* object = core_objects.items[i];
      if (Py_REFCNT(object) == 1) {
        set_remove_at(&core_objects, i);
        Py_DECREF(object);
        dropped = 1;
      } else {
        ++i;
      }
    }
  }
  long still_referenced = (long)core_objects.size;
  while (core_objects.size > 0) {
    PyObject* object = core_objects.items[core_objects.size - 1];
    --core_objects.size;
    Py_DECREF(object);
  }
  return still_referenced;
}
