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
# Seconds after which a diff of a few MiB has not merely run slow on a busy
# machine, sanitizers included, but hangs.
DIFF_FINISHES_WITHIN = 600


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


def read_only_mmap(test, data):
    """A mapping of a file holding `data`, opened for reading, closed (if
    still open) when the test ends."""
    backing = tempfile.TemporaryFile()
    test.addCleanup(backing.close)
    backing.write(data)
    backing.flush()
    mapped = mmap.mmap(backing.fileno(), len(data), access=mmap.ACCESS_READ)
    test.addCleanup(mapped.close)
    return mapped


def refusal(change, refused):
    """change, as a function that appends to `refused` the BufferError it
    raises instead of raising it."""
    def attempt():
        try:
            change()
        except BufferError as error:
            refused.append(error)
    return attempt


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
            read_only = read_only_mmap(self, self.OLD)
            # Views of a mapping keep it open: released before it is closed.
            views = [memoryview(mapped), memoryview(read_only)]
            for view in views:
                self.addCleanup(view.release)
            forms += [(memoryview(padded)[2:-2], bytearray(self.NEW)),
                      (memoryview(bytearray(self.OLD)), memoryview(self.NEW)),
                      (read_only, views[0]), (views[1], mapped)]
            if hasattr(memoryview, 'toreadonly'):
                forms.append((memoryview(bytearray(self.OLD)).toreadonly(),
                              memoryview(b'x' + self.NEW).toreadonly()[1:]))
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

    def assertSameDelta(self, delta, expected, label):
        # Not assertEqual: its report on two Deltas of a few MiB takes
        # minutes to compute.
        if delta != expected:
            self.fail('%s: another Delta, of %d entries and blocks of %d and %d bytes'
                      % (label, len(delta[0]), len(delta[1]), len(delta[2])))

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
            # A daemon, so that a diff that never ends fails the test below
            # rather than holding the suite.
            worker = threading.Thread(target=work)
            worker.daemon = True
            worker.start()
            entered.wait()
            mutate()
            still_running = worker.is_alive()
        finally:
            if PY2:
                sys.setcheckinterval(interval)
            else:
                sys.setswitchinterval(interval)
        worker.join(DIFF_FINISHES_WITHIN)
        self.assertFalse(worker.is_alive(), 'diff did not end')
        self.assertTrue(still_running, 'diff ended before its arguments were changed')
        self.assertNotIn('error', outcome)
        return outcome['delta']

    def test_mmap_closed_while_diff_runs(self):
        # On 3 diff reads a read-only mapping in place and holds its export,
        # so the mapping refuses to close until diff is done; on 2.7 diff
        # works on a copy, and the mapping closes at once.
        rng = random.Random(11)
        old = random_bytes(rng, 3 << 20)
        new = edited(rng, old, 20)
        mapped = read_only_mmap(self, old)
        refused = []
        delta = self.run_while_mutated(mapped, new, refusal(mapped.close, refused))
        self.assertSameDelta(delta, core.diff(old, new), 'closed')
        if PY2:
            self.assertEqual(refused, [])
            self.assertRaises(ValueError, mapped.read, 1)  # closed
        else:
            self.assertEqual([str(error) for error in refused],
                             ['cannot close exported pointers exist'])
            mapped.close()

    @unittest.skipIf(PY2, '2.7 copies every buffer: there is no export to hold')
    def test_read_only_buffers_refuse_changes_while_diff_runs(self):
        # What another thread's change meets is the interpreter's own
        # BufferError, raised in that thread; diff is unaffected, and lets
        # go of its exports when it returns, so that the object can then be
        # released or closed.
        rng = random.Random(13)
        old = random_bytes(rng, 2 << 20)
        new = edited(rng, old, 20)
        expected = core.diff(old, new)

        def assert_refused(args, change, message):
            refused = []
            self.assertSameDelta(
                self.run_while_mutated(args[0], args[1], refusal(change, refused)), expected,
                message)
            self.assertEqual([type(error) for error in refused], [BufferError], message)
            self.assertEqual(str(refused[0]), message)

        view = memoryview(old)
        assert_refused((view, new), view.release, 'memoryview has 1 exported buffer')
        view.release()
        mapped = read_only_mmap(self, new)
        assert_refused((old, mapped), lambda: mapped.resize(1 << 20),
                       "mmap can't resize with extant buffers exported.")
        mapped_view = memoryview(mapped)
        assert_refused((old, mapped_view), mapped_view.release, 'memoryview has 1 exported buffer')
        mapped_view.release()
        mapped.close()

    @unittest.skipIf(PY2, 'bytearray and writable memoryviews are taken on 3 only')
    def test_writable_buffers_are_copied(self):
        # Overwritten or resized while diff runs, a writable buffer must
        # leave the Delta that of the bytes it held when diff took it.
        rng = random.Random(14)
        old = random_bytes(rng, 2 << 20)
        new = edited(rng, old, 20)
        expected = core.diff(old, new)
        other = random_bytes(rng, len(new))

        def overwrite(buffer):
            def change():
                buffer[:] = other[:len(buffer)]
            return change

        writable_map = mmap.mmap(-1, len(new))
        self.addCleanup(writable_map.close)
        writable_map.write(new)
        old_array = bytearray(old)
        cases = [(old, bytearray(new), overwrite), (old_array, new, overwrite),
                 (old, memoryview(bytearray(new)), overwrite), (old, writable_map, overwrite)]
        if hasattr(memoryview, 'toreadonly'):
            # Read-only as a view, yet writable through the bytearray it views.
            cases.append((memoryview(old_array).toreadonly(), new,
                          lambda view: overwrite(old_array)))
        if sys.version_info >= (3, 12):
            # The same view, handed out by a class for the bytearray.
            class Exporter(object):
                def __buffer__(self, flags):
                    return memoryview(old_array).toreadonly()

            cases.append((Exporter(), new, lambda exporter: overwrite(old_array)))
        for old_arg, new_arg, change in cases:
            old_array[:] = old
            changed = new_arg if old_arg is old else old_arg
            delta = self.run_while_mutated(old_arg, new_arg, change(changed))
            self.assertSameDelta(delta, expected, '%s, %s' % (type(old_arg), type(new_arg)))
        # No export is held either, so both resize and close while diff runs.
        writable_map[:] = new
        growing = bytearray(new)
        self.assertSameDelta(
            self.run_while_mutated(old, growing, lambda: growing.extend(b'\x5a' * (16 << 20))),
            expected, 'resized')
        self.assertEqual(len(growing), len(new) + (16 << 20))
        self.assertSameDelta(self.run_while_mutated(old, writable_map, writable_map.close),
                             expected, 'closed')
        self.assertRaises(ValueError, writable_map.read, 1)  # closed

    @unittest.skipIf(PY2, '2.7 copies every buffer: there is no export to hold')
    def test_exports_released_on_every_path(self):
        old = b'hello world, hello there'
        mapped = read_only_mmap(self, old)
        for args, error in [((mapped, 5), TypeError), ((mapped, 'text'), TypeError),
                            ((mapped, memoryview(b'abcd')[::2]), BufferError),
                            ((mapped, mapped), None)]:
            if error is None:
                self.assertEqual(core.diff(*args), core.diff(old, old))
            else:
                self.assertRaises(error, core.diff, *args)
        mapped.close()

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
        # the exit slow enough for the thread to be caught inside diff. On 3
        # the old data is also given as a read-only memoryview, whose export
        # diff holds while the lock is released and must then leave held.
        script = '\n'.join([
            'import gc, os, sys, threading, time, core',
            'old = os.urandom(1 << 20); new = old[:99999] + b"!" + old[99999:]',
            'if sys.argv[1:] == ["view"]: old = memoryview(old)',
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
        for variant in ['bytes'] + ([] if PY2 else ['view']):
            for _ in range(3):
                child = subprocess.Popen([sys.executable, '-c', script, variant], env=env,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                output = child.communicate()[0].decode('utf-8', 'replace')
                self.assertEqual(child.returncode, 0, '%s: exit status %d:\n%s'
                                 % (variant, child.returncode, output))

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
            # A daemon, so that a diff that never ends fails the test below
            # rather than holding the suite.
            worker = threading.Thread(target=work)
            worker.daemon = True
            worker.start()
        finally:
            threading.stack_size(previous)
        worker.join()
        self.assertEqual(outcome, [True, True])


if __name__ == '__main__':
    unittest.main()
