"""The module in the other interpreters of a process: on 3.12 and later each
has a lock of its own, and several run the module's operations at once."""
import os
import random
import threading
import unittest

import core
from support import Subinterpreters

SUBINTERPRETERS = Subinterpreters()
needs_subinterpreters = unittest.skipUnless(
    SUBINTERPRETERS.available, 'subinterpreters with a lock of their own come with 3.12')

# Where a subinterpreter finds the module under test.
PRELUDE = '''
import sys
sys.path.insert(0, module_dir)
import core
'''

# Every operation, and the module's own errors, against results the main
# interpreter computed; on 3 a read-only memoryview is read in place, so
# its export is taken and released in the subinterpreter too.
OPERATIONS = PRELUDE + '''
names = sorted(name for name in dir(core) if not name.startswith('__'))
assert names == ['decode_int64', 'diff', 'encode_int64', 'patch'], names
for _ in range(rounds):
    for old_form in (old, memoryview(old)):
        delta = core.diff(old_form, new)
        assert repr(delta) == expected_delta, 'another Delta'
        assert core.patch(old, len(new), *delta) == new, 'patch did not rebuild new'
    try:
        core.patch(old, len(new) - 1, *delta)
    except ValueError as error:
        assert str(error) == 'corrupt patch (overflow)', str(error)
    else:
        raise AssertionError('patch took a Delta that does not fit')
    assert core.encode_int64(-1) == b'\\x01' + b'\\x00' * 6 + b'\\x80'
    assert core.decode_int64(core.encode_int64(-2 ** 63 + 1)) == -2 ** 63 + 1
    try:
        core.encode_int64(-2 ** 63)
    except OverflowError as error:
        assert str(error) == 'int64 value -2**63 has no 8-byte form', str(error)
    else:
        raise AssertionError('encode_int64 gave -2**63 a form')
'''


def edited_pair(seed, size):
    rng = random.Random(seed)
    old = os.urandom(size)
    new = bytearray(old)
    for _ in range(20):
        at = rng.randrange(len(new))
        new[at:at + rng.randrange(1, 64)] = os.urandom(rng.randrange(1, 64))
    return old, bytes(new)


@needs_subinterpreters
class SubinterpreterTest(unittest.TestCase):

    def setUp(self):
        self.module_dir = os.path.dirname(os.path.abspath(core.__file__))

    def operations_args(self, seed, size, rounds):
        old, new = edited_pair(seed, size)
        return dict(module_dir=self.module_dir, old=old, new=new,
                    expected_delta=repr(core.diff(old, new)), rounds=rounds)

    def run_in_new_interpreter(self, script, shared):
        interpreter = SUBINTERPRETERS.create()
        try:
            SUBINTERPRETERS.run(interpreter, script, shared)
        finally:
            SUBINTERPRETERS.destroy(interpreter)

    def test_operations(self):
        # An isolated interpreter refuses, with ImportError, a module that
        # has not declared that it can do without the main interpreter's lock.
        self.run_in_new_interpreter(OPERATIONS, self.operations_args(1, 4096, 1))

    def test_several_at_once_from_threads(self):
        # Each thread has an interpreter of its own, and they all run at
        # once, each under its own lock.
        count = 4
        shared = [self.operations_args(seed, 256 << 10, 3) for seed in range(count)]
        failures = []
        start = threading.Barrier(count)

        def work(index):
            try:
                interpreter = SUBINTERPRETERS.create()
                try:
                    start.wait()
                    SUBINTERPRETERS.run(interpreter, OPERATIONS, shared[index])
                finally:
                    SUBINTERPRETERS.destroy(interpreter)
            except Exception as error:
                failures.append('interpreter %d: %s' % (index, error))

        workers = [threading.Thread(target=work, args=(index,)) for index in range(count)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        self.assertEqual(failures, [])

    def test_diff_releases_its_interpreters_lock(self):
        # What diff releases is the lock of the interpreter it runs in: the
        # other threads of that interpreter run meanwhile.
        script = PRELUDE + '''
import threading
counted = [0]
stop = threading.Event()
def count():
    while not stop.is_set():
        counted[0] += 1
counter = threading.Thread(target=count)
counter.start()
try:
    before = counted[0]
    delta = core.diff(old, new)
    during = counted[0] - before
finally:
    stop.set()
    counter.join()
assert core.patch(old, len(new), *delta) == new
assert during > 1000, 'the counter ran %d times during diff' % during
'''
        old, new = edited_pair(2, 3 << 20)
        self.run_in_new_interpreter(script, dict(module_dir=self.module_dir, old=old, new=new))

    def test_ended_while_a_thread_of_it_diffs(self):
        # The script returns while its thread is inside diff, and the
        # interpreter is then ended: it waits for the thread, which finishes
        # its diffs (a read-only view read in place, its export held while
        # the lock is released) and says so through the pipe.
        script = PRELUDE + '''
import os, threading
def work():
    view = memoryview(old)
    for _ in range(3):
        assert core.patch(old, len(new), *core.diff(view, new)) == new
    view.release()
    os.write(done, b'done')
threading.Thread(target=work).start()
'''
        old, new = edited_pair(3, 2 << 20)
        readable, writable = os.pipe()
        try:
            self.run_in_new_interpreter(script, dict(module_dir=self.module_dir, old=old,
                                                     new=new, done=writable))
            os.close(writable)
            writable = None
            self.assertEqual(os.read(readable, 16), b'done')
        finally:
            os.close(readable)
            if writable is not None:
                os.close(writable)


if __name__ == '__main__':
    unittest.main()
