"""diff: the Deltas it computes, the arguments it takes, and how it shares
the interpreter with other threads."""
import array
import binascii
import mmap
import os
import random
import subprocess
import sys
import tempfile
import threading
import unittest

import core
from support import (PY2, RESULT_INTEGER, TEXT, array_bytes, byte, byte_string, byte_values,
                     needs_objects_of_2_gib)

ALPHABET = b'abcdefghijklmnopqrstuvwxyz'
DIGITS = b'0123456789'


def random_bytes(rng, length):
    if length == 0:
        return b''
    return binascii.unhexlify('%0*x' % (2 * length, rng.getrandbits(8 * length)))


def edited(rng, data, edits):
    """data after `edits` random insertions, deletions, byte changes and
    copies of a stretch from elsewhere in it."""
    for _ in range(edits):
        at = rng.randrange(len(data) + 1)
        size = rng.randrange(1, 64)
        kind = rng.randrange(4)
        if kind == 0:
            data = data[:at] + random_bytes(rng, size) + data[at:]
        elif kind == 1:
            data = data[:at] + data[at + size:]
        elif kind == 2 and at < len(data):
            changed = (bytearray(data)[at] + rng.randrange(1, 256)) % 256
            data = data[:at] + byte(changed) + data[at + 1:]
        else:
            source = rng.randrange(len(data) + 1)
            data = data[:at] + data[source:source + size] + data[at:]
    return data


class DeltaShapeMixin(object):

    def assertWellFormedDelta(self, delta, old, new):
        """Checks the Delta's shape and the properties every Delta diff makes
        has, then that patch rebuilds new from it."""
        self.assertIs(type(delta), tuple)
        self.assertEqual(len(delta), 3)
        control, diff_block, extra_block = delta
        self.assertIs(type(control), list)
        self.assertIs(type(diff_block), bytes)
        self.assertIs(type(extra_block), bytes)
        old_position = 0
        for entry in control:
            self.assertIs(type(entry), tuple)
            self.assertEqual([type(item) for item in entry], [RESULT_INTEGER] * 3, entry)
            diff_length, extra_length, adjustment = entry
            self.assertGreaterEqual(diff_length, 0, entry)
            self.assertGreaterEqual(extra_length, 0, entry)
            # A diff run only ever reads old bytes that exist.
            if diff_length:
                self.assertTrue(0 <= old_position and old_position + diff_length <= len(old),
                                (entry, old_position, len(old)))
            old_position += diff_length + adjustment
        self.assertEqual(sum(entry[0] for entry in control), len(diff_block))
        self.assertEqual(sum(entry[1] for entry in control), len(extra_block))
        self.assertEqual(len(diff_block) + len(extra_block), len(new))
        self.assertEqual(core.patch(old, len(new), *delta), new)


class WorkedExamplesTest(DeltaShapeMixin, unittest.TestCase):

    def assertDelta(self, old, new, control, diff_block, extra_block):
        delta = core.diff(old, new)
        self.assertWellFormedDelta(delta, old, new)
        self.assertEqual(delta, (control, diff_block, extra_block))

    def test_empty_new_data(self):
        self.assertDelta(b'abc', b'', [], b'', b'')
        self.assertDelta(b'', b'', [], b'', b'')

    def test_empty_old_data_gives_one_extra_run(self):
        self.assertDelta(b'', b'xyz', [(0, 3, 0)], b'', b'xyz')

    def test_identical_data(self):
        self.assertDelta(ALPHABET[:16], ALPHABET[:16], [(16, 0, -16)], b'\0' * 16, b'')
        self.assertDelta(b'aa', b'aa', [(2, 0, -1)], b'\0\0', b'')

    def test_changed_last_byte(self):
        self.assertDelta(b'abc', b'abd', [(2, 1, 0)], b'\0\0', b'd')

    def test_inserted_prefix(self):
        self.assertDelta(ALPHABET, DIGITS + ALPHABET, [(0, 10, 0), (26, 0, -26)],
                         b'\0' * 26, DIGITS)

    def test_short_match_does_not_open_an_entry(self):
        self.assertDelta(b'hello world, hello there', b'hello world! hello here',
                         [(19, 4, 4)], b'\0' * 11 + b'\xf5' + b'\0' * 7, b'here')

    def test_tied_overlap_goes_to_the_backward_side(self):
        old = b'abcdefghijk' * 2
        self.assertDelta(old, b'x' + old, [(0, 1, 11), (0, 0, -11), (22, 0, -11)],
                         b'\0' * 22, b'x')

    def test_swapped_halves(self):
        self.assertDelta(ALPHABET, ALPHABET[13:] + ALPHABET[:13],
                         [(0, 0, 13), (13, 0, -26), (13, 0, -13)], b'\0' * 26, b'')


class RoundTripTest(DeltaShapeMixin, unittest.TestCase):
    SIZES = (0, 1, 2, 3, 7, 16, 17, 64, 255, 1000, 4096, 20000, 100000)

    def setUp(self):
        self.rng = random.Random(20240517)

    def assertRoundTrip(self, old, new):
        self.assertWellFormedDelta(core.diff(old, new), old, new)

    def test_unrelated_random_data(self):
        for old_size in self.SIZES:
            for new_size in (0, 1, 5, 300, old_size):
                self.assertRoundTrip(random_bytes(self.rng, old_size),
                                     random_bytes(self.rng, new_size))

    def test_edited_random_data(self):
        for size in self.SIZES:
            old = random_bytes(self.rng, size)
            for edits in (1, 3, 20):
                self.assertRoundTrip(old, edited(self.rng, old, edits))
                self.assertRoundTrip(edited(self.rng, old, edits), old)

    def test_runs_and_periodic_data(self):
        for size in (1, 2, 9, 100, 3000):
            runs = [b'a' * size, b'\0' * size, b'ab' * size, b'abc' * size,
                    ALPHABET * (size // 26 + 1), b'a' * size + b'b' * size]
            for old in runs:
                for new in runs:
                    self.assertRoundTrip(old, new)
                self.assertRoundTrip(old, edited(self.rng, old, 5))

    def test_every_byte_value(self):
        every_byte = byte_string(range(256))
        shuffled = byte_values(every_byte * 4)
        self.rng.shuffle(shuffled)
        shuffled = byte_string(shuffled)
        # Byte differences wrap modulo 256 in both directions.
        shifted = byte_string((value + 1) % 256 for value in range(256))
        for old, new in [(every_byte, every_byte[::-1]), (every_byte, shifted),
                         (shifted, every_byte), (every_byte * 3, shuffled),
                         (shuffled, edited(self.rng, shuffled, 10)),
                         (b'\xff' * 300, b'\0' * 300), (b'', every_byte), (every_byte, b'')]:
            self.assertRoundTrip(old, new)


class ArgumentsTest(unittest.TestCase):
    OLD = b'hello world, hello there'
    NEW = b'hello world! hello here'

    def test_wrong_argument_count(self):
        for args in [(), (b'a',), (b'a', b'b', b'c')]:
            self.assertRaises(TypeError, core.diff, *args)
        self.assertRaises(TypeError, core.diff, old=b'a', new=b'b')

    def test_arguments_that_are_not_bytes(self):
        for args in [(1, b'a'), (b'a', None), (b'a', [b'a']), (3.5, 4)]:
            self.assertRaises(TypeError, core.diff, *args)
        if PY2:
            self.assertRaises(UnicodeError, core.diff, u'\xe9t\xe9', b'a')
        else:
            # Text has no bytes until the caller encodes it.
            for args in [('a', b'a'), (b'a', 'a'), ('\xe9t\xe9', 'a')]:
                self.assertRaises(TypeError, core.diff, *args)

    def test_byte_buffers_give_the_delta_of_their_bytes(self):
        expected = core.diff(self.OLD, self.NEW)
        mapped = mmap.mmap(-1, len(self.NEW))
        self.addCleanup(mapped.close)
        mapped.write(self.NEW)
        padded = b'xx' + self.OLD + b'yy'

        class Data(bytes):
            pass

        forms = [
            (array.array('B', self.OLD), Data(self.NEW)),
            (self.OLD, mapped),
        ]
        if PY2:
            forms += [(array.array('c', self.OLD), array.array('c', self.NEW)),
                      (buffer(padded, 2, len(self.OLD)), buffer(self.NEW)),  # noqa: F821
                      (TEXT(self.OLD), TEXT(self.NEW))]
        else:
            forms += [(memoryview(padded)[2:-2], bytearray(self.NEW)),
                      (memoryview(bytearray(self.OLD)), memoryview(self.NEW))]
        for old, new in forms:
            self.assertEqual(core.diff(old, new), expected, (type(old), type(new)))
        # An array of wider items is read as its machine bytes.
        wide = array.array('H', range(0, 60000, 7))
        self.assertEqual(core.diff(wide, wide), core.diff(array_bytes(wide), array_bytes(wide)))

    @needs_objects_of_2_gib
    def test_buffers_of_2_gib_or_more(self):
        # A sparse file mapped read-only: 2 GiB of address space, no memory.
        with tempfile.TemporaryFile() as backing:
            backing.truncate(2 ** 31)
            mapped = mmap.mmap(backing.fileno(), 2 ** 31, access=mmap.ACCESS_READ)
            self.addCleanup(mapped.close)
            for args in [(mapped, b'new'), (b'old', mapped)]:
                with self.assertRaises(OverflowError) as caught:
                    core.diff(*args)
                self.assertEqual(str(caught.exception), 'size does not fit in an int')

    def run_while_mutated(self, old, new, mutate):
        """Runs diff(old, new) on another thread and calls mutate() as soon as
        diff first lets go of the interpreter; returns the Delta."""
        entered = threading.Event()
        outcome = {}

        def work():
            entered.set()
            try:
                outcome['delta'] = core.diff(old, new)
            except Exception as error:
                outcome['error'] = error

        # Without forced switches the worker keeps the interpreter from set()
        # until diff itself releases it, after taking its arguments.
        if PY2:
            interval = sys.getcheckinterval()
            sys.setcheckinterval(1 << 30)
        else:
            interval = sys.getswitchinterval()
            sys.setswitchinterval(1000.0)
        try:
            worker = threading.Thread(target=work)
            worker.start()
            entered.wait()
            mutate()
            still_running = worker.is_alive()
        finally:
            if PY2:
                sys.setcheckinterval(interval)
            else:
                sys.setswitchinterval(interval)
        worker.join()
        self.assertTrue(still_running, 'diff ended before its arguments were changed')
        self.assertNotIn('error', outcome)
        return outcome['delta']

    def test_mmap_closed_while_diff_runs(self):
        rng = random.Random(11)
        old = random_bytes(rng, 3 << 20)
        new = edited(rng, old, 20)
        with tempfile.TemporaryFile() as backing:
            backing.write(old)
            backing.flush()
            mapped = mmap.mmap(backing.fileno(), len(old), access=mmap.ACCESS_READ)
            delta = self.run_while_mutated(mapped, new, mapped.close)
        self.assertEqual(core.patch(old, len(new), *delta), new)

    def test_array_resized_while_diff_runs(self):
        rng = random.Random(12)
        old = random_bytes(rng, 2 << 20)
        new = edited(rng, old, 20)
        new_array = array.array('B', new)

        def resize():
            # Emptying frees the storage; what grows back holds other bytes.
            del new_array[:]
            new_array.extend(array.array('B', [0x5A]) * (3 << 20))

        delta = self.run_while_mutated(old, new_array, resize)
        self.assertEqual(core.patch(old, len(new), *delta), new)


class SizeLimitsTest(unittest.TestCase):
    """Sizes whose arrays do not fit a 32-bit platform's address space must
    give MemoryError there. On 64 bits they fit, and make limits takes
    diff and patch up to 2 GiB."""

    @unittest.skipIf(sys.maxsize >= 2 ** 32, 'the suffix array fits here; make limits covers it')
    def test_suffix_array_beyond_the_address_space(self):
        # (2**30 - 1 + 1) * 4 bytes of suffix array wrap to 0 in a 32-bit size.
        self.assertRaises(MemoryError, core.diff, b'\0' * (2 ** 30 - 1), b'')


class ThreadsTest(unittest.TestCase):

    def setUp(self):
        self.rng = random.Random(99)

    def test_concurrent_diffs_match_single_threaded_results(self):
        inputs = []
        for _ in range(2):
            old = random_bytes(self.rng, 1 << 19)
            inputs.append((old, edited(self.rng, old, 30)))
        expected = [core.diff(old, new) for old, new in inputs]
        results = [None] * len(inputs)

        def work(index):
            results[index] = core.diff(*inputs[index])

        workers = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        self.assertEqual(results, expected)

    def test_other_threads_run_while_diff_works(self):
        old = random_bytes(self.rng, 3 << 20)
        new = edited(self.rng, old, 10)
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
        self.assertEqual(core.patch(old, len(new), *delta), new)
        # Holding the lock throughout would let the counter in for a few
        # switch intervals at most.
        self.assertGreater(during, 1000)

    def test_interpreter_exits_while_a_daemon_thread_diffs(self):
        # At exit Python 3 ends a daemon thread that asks for the lock back
        # by unwinding its stack; diff must let that pass and leave nothing
        # that needs the interpreter. The object whose __del__ sleeps keeps
        # the exit slow enough for the thread to be caught inside diff.
        script = '\n'.join([
            'import gc, os, threading, time, core',
            'old = os.urandom(1 << 20); new = old[:99999] + b"!" + old[99999:]',
            'def work():',
            '    while True: core.diff(old, new)',
            'class SlowDel(object):',
            '    def __del__(self, sleep=time.sleep): sleep(2)',
            'gc.disable(); a = SlowDel(); a.me = a; del a',
            'worker = threading.Thread(target=work); worker.daemon = True; worker.start()',
            'time.sleep(0.5)'])
        env = dict(os.environ)
        env['PYTHONPATH'] = os.pathsep.join(
            [os.path.dirname(os.path.abspath(core.__file__))] +
            [path for path in env.get('PYTHONPATH', '').split(os.pathsep) if path])
        for _ in range(3):
            child = subprocess.Popen([sys.executable, '-c', script], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            output = child.communicate()[0].decode('utf-8', 'replace')
            self.assertEqual(child.returncode, 0, 'exit status %d:\n%s' % (child.returncode, output))

    def test_repetitive_data_on_a_small_thread_stack(self):
        size = 1 << 20
        pairs = [(b'a' * size, b'a' * 4096 + b'b' + b'a' * 4096),
                 (b'abcdefg' * (size // 7), b'abcdefg' * 1000 + b'X' + b'gfedcba' * 1000)]
        outcome = []

        def work():
            for old, new in pairs:
                outcome.append(core.patch(old, len(new), *core.diff(old, new)) == new)

        previous = threading.stack_size(256 * 1024)
        try:
            worker = threading.Thread(target=work)
            worker.start()
        finally:
            threading.stack_size(previous)
        worker.join()
        self.assertEqual(outcome, [True, True])


if __name__ == '__main__':
    unittest.main()
