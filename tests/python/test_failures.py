"""Allocation failures inside diff and patch, and what every error path leaves.

An interpreter cannot be made to run out of memory on cue, so each test runs
a child interpreter with tests/fault_shim/fault_shim.c preloaded: the shim
counts, fails on request and tracks the heap blocks (malloc, realloc), PyMem
blocks and objects that core.so obtains. The child runs one scenario of this file (the functions below the
test case) and prints every problem it finds; the parent test fails with that
list. The parent interpreter itself never loads the shim.

CORE_FAULT_SHIM may name a shim already built; otherwise it is compiled here.
"""
import array
import ctypes
import mmap
import os
import shutil
import struct
import subprocess
import sys
import sysconfig
import tempfile
import unittest

from support import INTEGER_TYPES, PY2, FreshInteger

HERE = os.path.dirname(os.path.abspath(__file__))
SHIM_SOURCE = os.path.join(HERE, os.pardir, 'fault_shim', 'fault_shim.c')
THIS_SCRIPT = os.path.join(HERE, 'test_failures.py')

_built_shim_dir = None


def shim_path():
    """The shim to preload: CORE_FAULT_SHIM, or one compiled on first use."""
    global _built_shim_dir
    if os.environ.get('CORE_FAULT_SHIM'):
        return os.environ['CORE_FAULT_SHIM']
    if _built_shim_dir is None:
        if not sysconfig.get_config_var('Py_ENABLE_SHARED'):
            # With libpython linked into the executable, the executable's
            # own symbols come before any preloaded library's.
            raise unittest.SkipTest('the interpreter does not link libpython dynamically')
        _built_shim_dir = tempfile.mkdtemp(prefix='core_fault_shim')
        # The shim is loaded into this interpreter's process: a 32-bit
        # interpreter needs a 32-bit shim, which cc makes with -m32.
        word_size = ['-m32'] if struct.calcsize('P') == 4 else []
        command = ['cc'] + word_size + ['-shared', '-fPIC', '-O1',
                   '-I' + sysconfig.get_paths()['include'],
                   '-o', os.path.join(_built_shim_dir, 'fault_shim.so'),
                   SHIM_SOURCE, '-ldl']
        # The compiler must not run under whatever this suite preloads.
        env = dict(os.environ)
        env.pop('LD_PRELOAD', None)
        compiler = subprocess.Popen(command, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, env=env)
        output = compiler.communicate()[0]
        if compiler.returncode != 0:
            raise AssertionError('building the fault shim failed:\n%s\n%s'
                                 % (' '.join(command), output.decode('utf-8', 'replace')))
    return os.path.join(_built_shim_dir, 'fault_shim.so')


def tearDownModule():
    if _built_shim_dir is not None:
        shutil.rmtree(_built_shim_dir, ignore_errors=True)


class FaultInjectionTest(unittest.TestCase):

    def run_child(self, scenario):
        import core
        shim = shim_path()
        env = dict(os.environ)
        # The child imports the very module this suite tests.
        env['PYTHONPATH'] = os.pathsep.join(
            [os.path.dirname(os.path.abspath(core.__file__))] +
            [path for path in env.get('PYTHONPATH', '').split(os.pathsep) if path])
        # A sanitizer runtime already preloaded must stay first.
        env['LD_PRELOAD'] = ' '.join(env.get('LD_PRELOAD', '').split() + [shim])
        env['CORE_FAULT_SHIM'] = shim
        child = subprocess.Popen([sys.executable, THIS_SCRIPT, scenario],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 env=env)
        output = child.communicate()[0]
        self.assertEqual(child.returncode, 0,
                         'scenario %r under the fault shim (exit status %d):\n%s'
                         % (scenario, child.returncode, output.decode('utf-8', 'replace')))

    def test_shim_sees_exactly_the_calls_the_code_path_makes(self):
        self.run_child('call_counts')

    def test_diff_fails_cleanly_at_every_allocation(self):
        self.run_child('diff_failures')

    def test_patch_fails_cleanly_at_every_allocation(self):
        self.run_child('patch_failures')

    def test_every_patch_error_leaves_nothing_behind(self):
        self.run_child('patch_errors')


# ---- Child side: runs with the shim preloaded ----

# The byte-string maker goes by the name of the byte-string type.
BYTES_FROM = 'PyString_FromStringAndSize' if PY2 else 'PyBytes_FromStringAndSize'
HEAP_FUNCTIONS = ('malloc', 'realloc')
FUNCTIONS = HEAP_FUNCTIONS + ('free', 'PyMem_Malloc', 'PyMem_Free', 'PyList_New', 'PyTuple_New',
                              'PyLong_FromLong', 'PyList_Append', BYTES_FROM,
                              'PyObject_GetBuffer', 'PyBuffer_Release')
# Calls that give something back rather than take it: never failed.
RELEASES = ('free', 'PyMem_Free', 'PyBuffer_Release')
ALPHABET = b'abcdefghijklmnopqrstuvwxyz'


def load_shim(path):
    # PyDLL keeps the interpreter lock during the calls, which the shim needs
    # to drop references.
    shim = ctypes.PyDLL(path)
    for name, restype, argtypes in [
            ('fault_shim_attach', ctypes.c_int, []),
            ('fault_shim_reset', None, []),
            ('fault_shim_arm', ctypes.c_int, [ctypes.c_char_p, ctypes.c_long]),
            ('fault_shim_calls', ctypes.c_long, [ctypes.c_char_p]),
            ('fault_shim_injected', ctypes.c_int, []),
            ('fault_shim_take_outstanding_blocks', ctypes.c_long, []),
            ('fault_shim_take_outstanding_exports', ctypes.c_long, []),
            ('fault_shim_take_foreign_frees', ctypes.c_long, []),
            ('fault_shim_sees_heap', ctypes.c_int, []),
            ('fault_shim_release_objects', ctypes.c_long, [])]:
        function = getattr(shim, name)
        function.restype = restype
        function.argtypes = argtypes
    return Shim(shim)


class Shim(object):
    """The shim's functions, taking function names as text on every interpreter."""

    def __init__(self, library):
        self.library = library

    def __getattr__(self, name):
        function = getattr(self.library, name)

        def call(*args):
            return function(*[arg.encode('ascii') if isinstance(arg, str) else arg
                              for arg in args])
        return call


def as_array(data):
    return array.array('B', data)


def read_only_mmap(data):
    """A mapping, opened for reading, of a file that holds `data`."""
    backing = tempfile.TemporaryFile()
    backing.write(data)
    backing.flush()
    mapped = mmap.mmap(backing.fileno(), len(data), access=mmap.ACCESS_READ)
    backing.close()  # the mapping keeps its own descriptor
    return mapped


def argument_kinds(data):
    """(label, an object holding `data`, whether diff copies it) for every
    kind of byte argument diff takes on this interpreter."""
    kinds = [('byte string', data, False), ('array', as_array(data), True)]
    if not PY2:
        writable_map = mmap.mmap(-1, len(data))
        writable_map.write(data)
        kinds += [('memoryview of bytes', memoryview(data), False),
                  ('read-only mmap', read_only_mmap(data), False),
                  ('bytearray', bytearray(data), True),
                  ('memoryview of a bytearray', memoryview(bytearray(data)), True),
                  ('writable mmap', writable_map, True)]
        if hasattr(memoryview, 'toreadonly'):
            kinds.append(('read-only view of a bytearray',
                          memoryview(bytearray(data)).toreadonly(), True))
        if sys.version_info >= (3, 8):
            import pickle
            # It exports the bytes of the object it holds, not its own.
            kinds.append(('pickle buffer of bytes', pickle.PickleBuffer(data), True))
    return kinds


def watched(args):
    """The objects of a call that must neither gain nor lose a reference:
    its arguments and a control list's entries. Small ints and byte strings
    under two bytes are shared across the interpreter, so their counts say
    nothing."""
    objects = []
    for argument in args:
        if isinstance(argument, list):
            objects.extend(argument)
        if not isinstance(argument, INTEGER_TYPES) and not (
                isinstance(argument, bytes) and len(argument) < 2):
            objects.append(argument)
    return objects


class Child(object):
    """Runs calls under the shim and collects every problem it sees."""

    def __init__(self, core, shim):
        self.core = core
        self.shim = shim
        self.problems = []
        self.last_counts = {}

    def problem(self, label, text):
        self.problems.append('%s: %s' % (label, text))

    def counts(self):
        return dict((name, self.shim.fault_shim_calls(name)) for name in FUNCTIONS)

    def baseline(self, operation, args):
        """Result and call counts of a call that must succeed; the shim
        forgets what it created, since the caller keeps the result."""
        self.shim.fault_shim_reset()
        result = operation(*args)
        counts = self.counts()
        self.shim.fault_shim_release_objects()
        return result, counts

    def check_leftovers(self, label):
        """Anything core still holds now is a leak; the shim then forgets it."""
        blocks = self.shim.fault_shim_take_outstanding_blocks()
        if blocks:
            self.problem(label, '%d heap or PyMem block(s) left allocated' % blocks)
        exports = self.shim.fault_shim_take_outstanding_exports()
        if exports:
            self.problem(label, '%d buffer export(s) left held' % exports)
        kept = self.shim.fault_shim_release_objects()
        if kept:
            self.problem(label, '%d created object(s) still referenced' % kept)
        if self.shim.fault_shim_take_foreign_frees():
            self.problem(label, 'free or PyMem_Free of a block core did not allocate')

    def expect_error(self, label, operation, args, error_type, message=None,
                     function=None, call=0, or_result=None):
        """operation(*args) must raise error_type (with `message` when given),
        failing the call-th call of `function` if one is named, and leave no
        block, no reference and no argument's reference count changed. With
        or_result, returning exactly that is accepted too. Returns whether
        it raised."""
        objects = watched(args)
        before = [sys.getrefcount(o) for o in objects]
        self.shim.fault_shim_reset()
        if function is not None and self.shim.fault_shim_arm(function, call) != 0:
            self.problem(label, 'the shim cannot fail %s' % function)
        raised = True
        try:
            result = operation(*args)
        except error_type as error:
            if message is not None and str(error) != message:
                self.problem(label, 'raised %r, expected the message %r' % (error, message))
        except Exception as error:
            self.problem(label, 'raised %r, expected %s' % (error, error_type.__name__))
        else:
            raised = False
            if or_result is None or result != or_result:
                self.problem(label, 'returned %.200r instead of raising' % (result,))
            del result
        if PY2:
            sys.exc_clear()  # the traceback would keep frames and their objects
        injected = self.shim.fault_shim_injected()
        self.last_counts = self.counts()
        self.shim.fault_shim_reset()
        if function is not None and not injected:
            self.problem(label, 'the call to fail was never made')
        self.check_leftovers(label)
        after = [sys.getrefcount(o) for o in objects]
        if after != before:
            self.problem(label, 'argument reference counts went from %s to %s' % (before, after))
        return raised

    def expect_injected(self, label, operation, args, function, call, or_result=None):
        # A failed allocator call sets no error: core must raise it itself.
        # Any other injected failure's error must reach the caller as it was
        # set.
        message = ('' if function in HEAP_FUNCTIONS + ('PyMem_Malloc',)
                   else 'injected failure: %s call %d' % (function, call))
        return self.expect_error(label, operation, args, MemoryError, message, function, call,
                                 or_result)

    def expect_result(self, label, operation, args, expected):
        self.shim.fault_shim_reset()
        result = operation(*args)
        if result != expected:
            self.problem(label, 'returned %.200r, expected %.200r' % (result, expected))
        del result
        self.check_leftovers(label)


def diff_allocation(function, call, entries, copies):
    """Names the allocation that the call-th call of `function` makes in a
    diff that emits `entries` entries and copies `copies` arguments."""
    if function == 'malloc':
        names = ['copy of a mutable argument'] * copies + ['suffix array']
    elif function == 'PyList_New':
        names = ['control list']
    elif function == 'PyTuple_New':
        names = ['tuple of entry %d' % (n + 1) for n in range(entries)] + ['result tuple']
    elif function == 'PyLong_FromLong':
        names = ['integer %d of entry %d' % (n % 3 + 1, n // 3 + 1) for n in range(3 * entries)]
    elif function == BYTES_FROM:
        names = ['diff block', 'extra block']
    elif function == 'PyObject_GetBuffer':
        names = ['export of the old data', 'export of the new data']
    else:
        names = []
    # The sort's and the scan's own arrays follow, in an order of their own.
    return names[call - 1] if call <= len(names) else 'working array'


def scenario_call_counts(child):
    core = child.core
    sees_heap = child.shim.fault_shim_sees_heap()
    # If the shim stopped intercepting (or counted the interpreter's own
    # calls), these counts would be off: the checks of the other scenarios
    # rest on them.
    old, new = ALPHABET, ALPHABET[13:] + ALPHABET[:13]
    child.shim.fault_shim_reset()
    delta = core.diff(old, new)
    expected_delta = ([(0, 0, 13), (13, 0, -26), (13, 0, -13)], b'\0' * 26, b'')
    if delta != expected_delta:
        child.problem('diff', 'unexpected Delta %r' % (delta,))
    counts = child.counts()
    # Three entries: a tuple and three longs each, plus the result tuple.
    # Working memory is the C heap's alone (no PyMem block), freed before
    # diff returns.
    expected = {'PyMem_Malloc': 0, 'PyMem_Free': 0, 'PyList_New': 1, 'PyTuple_New': 4,
                'PyLong_FromLong': 9, 'PyList_Append': 0, BYTES_FROM: 2}
    if dict((name, counts[name]) for name in expected) != expected:
        child.problem('diff', 'calls %r, expected %r' % (counts, expected))
    heap_calls = counts['malloc'] + counts['realloc']
    if sees_heap and (counts['malloc'] < 1 or counts['free'] < 1):
        child.problem('diff', 'the shim saw no heap call: %r' % (counts,))
    # While the caller holds the Delta every object in it is referenced: the
    # list, 4 tuples, 9 integers and the diff block (the empty extra block is
    # the interpreter's shared one, not tracked; so are 3's small integers,
    # all of the 9 but -26 and -13).
    held = child.shim.fault_shim_release_objects()
    expected_held = 15 if PY2 else 8
    if held != expected_held:
        child.problem('diff', 'leak check counted %d held objects, expected %d'
                      % (held, expected_held))
    child.check_leftovers('diff')
    del delta

    child.shim.fault_shim_reset()
    core.diff(as_array(old), new)
    if sees_heap and child.counts()['malloc'] + child.counts()['realloc'] != heap_calls + 1:
        child.problem('diff of an array', 'no copy of the array was allocated')
    child.check_leftovers('diff of an array')

    # Which arguments diff copies: each copy is one heap block more than a
    # byte string takes. Every other buffer is exported once, and released
    # before diff returns.
    for label, argument, copied in argument_kinds(old):
        child.shim.fault_shim_reset()
        if core.diff(argument, new) != expected_delta:
            child.problem('diff of a %s' % label, 'unexpected Delta')
        counts = child.counts()
        exports = 0 if isinstance(argument, bytes) or PY2 else 1
        if sees_heap and counts['malloc'] + counts['realloc'] != heap_calls + copied:
            child.problem('diff of a %s' % label, '%d heap calls, %d expected %r'
                          % (counts['malloc'] + counts['realloc'], heap_calls + copied, counts))
        if (counts['PyObject_GetBuffer'], counts['PyBuffer_Release']) != (exports, exports):
            child.problem('diff of a %s' % label, 'calls %r, %d exports expected'
                          % (counts, exports))
        child.check_leftovers('diff of a %s' % label)

    child.shim.fault_shim_reset()
    rebuilt = core.patch(old, len(new), *expected_delta)
    expected = dict.fromkeys(FUNCTIONS, 0)
    # The output is built in the result itself: no buffer of its own.
    expected.update({BYTES_FROM: 1})
    if rebuilt != new or child.counts() != expected:
        child.problem('patch', 'returned %r with calls %r, expected calls %r'
                      % (rebuilt, child.counts(), expected))
    del rebuilt
    child.check_leftovers('patch')

    # The interpreter's own calls are not counted.
    child.shim.fault_shim_reset()
    made = [(FreshInteger(n), str(n) * 2, bytes(bytearray([n])) * 2) for n in range(10)]
    made.append([])
    if any(child.counts().values()):
        child.problem('interpreter', 'its own calls were counted: %r' % child.counts())


def scenario_diff_failures(child):
    core = child.core
    sees_heap = child.shim.fault_shim_sees_heap()
    old = bytes(bytearray((i * 131 + 7) % 251 for i in range(600)))
    new = (old[:100] + b'inserted bytes' + old[100:300] + old[360:500] +
           old[40:90] + b'tail' + old[520:580] + b'end')
    variants = [('', old, new, 0), (' of arrays', as_array(old), as_array(new), 2)]
    if not PY2:
        # Read in place: the exports, held to the end, are all there is.
        variants.append((' of read-only buffers', memoryview(old), read_only_mmap(new), 0))
    for variant, old_arg, new_arg, copies in variants:
        args = (old_arg, new_arg)
        expected, counts = child.baseline(core.diff, args)
        entries = len(expected[0])
        if entries < 5 or min(len(expected[1]), len(expected[2])) < 2:
            child.problem('input', 'needs 5 entries and two blocks of 2 bytes or more: %r'
                          % (expected,))
        exports = 0 if PY2 or isinstance(old_arg, bytes) else 2
        code_path = {'PyMem_Malloc': 0, 'PyList_New': 1, 'PyTuple_New': entries + 1,
                     'PyLong_FromLong': 3 * entries, 'PyList_Append': 0, BYTES_FROM: 2,
                     'PyObject_GetBuffer': exports, 'PyBuffer_Release': exports}
        if dict((name, counts[name]) for name in code_path) != code_path:
            child.problem('diff' + variant, 'calls %r, expected %r' % (counts, code_path))
        if sees_heap and counts['malloc'] < copies + 1:
            child.problem('diff' + variant,
                          'fewer heap allocations than copies and a suffix array: %r' % (counts,))
        heap_failures_raised = 0
        for function in FUNCTIONS:
            if function in RELEASES or (function in HEAP_FUNCTIONS and not sees_heap):
                continue
            for call in range(1, counts[function] + 1):
                label = 'diff%s: %s fails (%s call %d)' % (
                    variant, diff_allocation(function, call, entries, copies), function, call)
                # The search's aids only save time: diff goes on without them
                # and gives the same Delta. Every other array it needs.
                optional = expected if function in HEAP_FUNCTIONS else None
                if child.expect_injected(label, core.diff, args, function, call, optional):
                    heap_failures_raised += function in HEAP_FUNCTIONS
                child.expect_result(label + ', then diff again', core.diff, args, expected)
        if sees_heap and heap_failures_raised < copies + 1:
            child.problem('diff' + variant,
                          'only %d heap failures raised MemoryError' % heap_failures_raised)

    # 64 KiB of a 65-byte period, one insertion: the scan switches to the
    # mapped search on the way and builds its index, whose arrays may fail
    # like any other. Without them the scan goes on plainly, to the same
    # Delta; whatever fails, nothing may be left behind.
    if sees_heap:
        unit = bytes(bytearray((i * 89 + 3) % 256 for i in range(65)))
        periodic = (unit * 1009)[:65536]
        args = (periodic, periodic[:32768] + b'!?' + periodic[32768:])
        expected, counts = child.baseline(core.diff, args)
        for function in HEAP_FUNCTIONS:
            for call in range(1, counts[function] + 1):
                label = 'diff of a long-period repeat: %s call %d fails' % (function, call)
                child.expect_injected(label, core.diff, args, function, call, expected)
                child.expect_result(label + ', then diff again', core.diff, args, expected)

    # Only the second argument's copy fails: the first one's must be freed.
    if sees_heap:
        args = (as_array(old), as_array(new))
        child.expect_injected('diff: copy of the new data fails', core.diff, args, 'malloc', 2)
    # Argument errors come before any allocation.
    for label, args, error_type in [
            ('diff of an int', (as_array(old), 1), TypeError),
            ('diff of non-ASCII unicode', (old, u'\xe9'), UnicodeError if PY2 else TypeError)]:
        child.expect_error(label, core.diff, args, error_type)


def patch_args(old, new_length, control, diff_block, extra_block, mutable):
    if mutable:
        old, diff_block, extra_block = as_array(old), as_array(diff_block), as_array(extra_block)
    return (old, new_length, control, diff_block, extra_block)


def scenario_patch_failures(child):
    core = child.core
    old = b'hello world, hello there'
    new = b'hello world! hello here'
    delta = ([(19, 4, 4)], b'\0' * 11 + b'\xf5' + b'\0' * 7, b'here')
    variants = [('', patch_args(old, len(new), delta[0], delta[1], delta[2], False), 0),
                (' of arrays', patch_args(old, len(new), delta[0], delta[1], delta[2], True), 3)]
    if not PY2:
        # patch copies read-only buffers too.
        variants.append((' of read-only buffers', (read_only_mmap(old), len(new), delta[0],
                                                   memoryview(delta[1]), memoryview(delta[2])), 3))
    parts = ['old data', 'diff block', 'extra block']
    for variant, args, copies in variants:
        exports = 0 if PY2 else copies
        rebuilt, counts = child.baseline(core.patch, args)
        calls = (counts['PyObject_GetBuffer'], counts['PyBuffer_Release'])
        if rebuilt != new or calls != (exports, exports):
            child.problem('patch' + variant, 'returned %r after %d exports and %d releases, '
                          '%d of each expected' % ((rebuilt,) + calls + (exports,)))
        steps = [('malloc', call, 'copy of the ' + part)
                 for call, part in enumerate(parts[:copies], 1)
                 if child.shim.fault_shim_sees_heap()]
        steps += [('PyObject_GetBuffer', call, 'export of the ' + part)
                  for call, part in enumerate(parts[:exports], 1)]
        for function, call, what in steps:
            label = 'patch%s: %s fails' % (variant, what)
            child.expect_injected(label, core.patch, args, function, call)
            child.expect_result(label + ', then patch again', core.patch, args, new)
        child.expect_injected('patch%s: result string fails' % variant,
                              core.patch, args, BYTES_FROM, 1)


def scenario_patch_errors(child):
    core = child.core
    cases = [
        ('wrong argument count', (b'abcd', 4, []), TypeError, None),
        ('control not a list', (b'abcd', 4, (), b'', b''), TypeError, None),
        ('new length below -1', (b'abcd', -2, [], b'', b''), MemoryError, ''),
        ('entry not a tuple', (b'abcd', 0, [(0, 0, 0), [1, 2, 3]], b'', b''),
         TypeError, 'expecting tuple'),
        ('entry of 2 items', (b'abcd', 3, [(1, 2)], b'\0', b'xy'),
         TypeError, 'expecting tuple of size 3'),
        ('item not an integer', (b'abcd', 3, [(1, b'x', 0)], b'\0', b'xy'), TypeError, None),
        ('item beyond 32 bits', (b'abcd', 3, [(1, 2, 2 ** 31)], b'\0', b'xy'),
         OverflowError, 'Python int too large to convert to C long'),
        ('negative diff length', (b'abcd', 3, [(-1, 4, 0)], b'\0', b'xy'),
         ValueError, 'corrupt patch (negative length)'),
        ('run past the output', (b'abcd', 4, [(2, 3, 0)], b'\0\0', b'xyz'),
         ValueError, 'corrupt patch (overflow)'),
        ('second entry past the diff block', (b'abcd', 4, [(1, 1, 0), (2, 0, 0)], b'\0\0',
                                              b'x'),
         ValueError, 'corrupt patch (overflow)'),
        ('extra block left over', (b'abcd', 3, [(1, 1, 0)], b'\0', b'xy'),
         ValueError, 'corrupt patch (underflow)'),
    ]
    for label, args, error_type, message in cases:
        variants = [(label, args, 0)]
        if len(args) == 5:
            variants.append((label + ' (arrays)', patch_args(*(args + (True,))), 3))
        for label, args, copies in variants:
            child.expect_error(label, core.patch, args, error_type, message)
            # Refused for its size: not even the output is requested.
            requested = child.last_counts['malloc'] + child.last_counts['PyMem_Malloc']
            if not child.shim.fault_shim_sees_heap():
                requested += copies
            outputs = child.last_counts[BYTES_FROM]
            if error_type is MemoryError and (requested != copies or outputs != 0):
                child.problem(label, 'made %d allocations and %d output calls'
                              % (requested, outputs))
    # The success path releases the copies too.
    child.expect_result('patch that succeeds', core.patch,
                        patch_args(b'abcd', 3, [(1, 2, 0)], b'\x01', b'xy', True), b'bxy')


def child_main(scenario):
    import core
    child = Child(core, load_shim(os.environ['CORE_FAULT_SHIM']))
    if not child.shim.fault_shim_attach():
        print('the shim found no single core.so loaded')
        return 1
    globals()['scenario_' + scenario](child)
    for problem in child.problems:
        print(problem)
    return 1 if child.problems else 0


if __name__ == '__main__':
    sys.exit(child_main(sys.argv[1]))
