"""diff: the Deltas it computes, the arguments it takes, and how it shares
the interpreter with other threads."""
import array
import mmap
import os
import random
import sys
import tempfile
import threading
import unittest

import core

ALPHABET = 'abcdefghijklmnopqrstuvwxyz'
DIGITS = '0123456789'


def random_bytes(rng, length):
    if length == 0:
        return ''
    return ('%0*x' % (2 * length, rng.getrandbits(8 * length))).decode('hex')


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
            data = data[:at] + chr((ord(data[at]) + rng.randrange(1, 256)) % 256) + data[at + 1:]
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
        self.assertIs(type(diff_block), str)
        self.assertIs(type(extra_block), str)
        old_position = 0
        for entry in control:
            self.assertIs(type(entry), tuple)
            self.assertEqual([type(item) for item in entry], [long, long, long], entry)
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
        self.assertDelta('abc', '', [], '', '')
        self.assertDelta('', '', [], '', '')

    def test_empty_old_data_gives_one_extra_run(self):
        self.assertDelta('', 'xyz', [(0, 3, 0)], '', 'xyz')

    def test_identical_data(self):
        self.assertDelta(ALPHABET[:16], ALPHABET[:16], [(16, 0, -16)], '\0' * 16, '')
        self.assertDelta('aa', 'aa', [(2, 0, -1)], '\0\0', '')

    def test_changed_last_byte(self):
        self.assertDelta('abc', 'abd', [(2, 1, 0)], '\0\0', 'd')

    def test_inserted_prefix(self):
        self.assertDelta(ALPHABET, DIGITS + ALPHABET, [(0, 10, 0), (26, 0, -26)],
                         '\0' * 26, DIGITS)

    def test_short_match_does_not_open_an_entry(self):
        self.assertDelta('hello world, hello there', 'hello world! hello here',
                         [(19, 4, 4)], '\0' * 11 + '\xf5' + '\0' * 7, 'here')

    def test_tied_overlap_goes_to_the_backward_side(self):
        old = 'abcdefghijk' * 2
        self.assertDelta(old, 'x' + old, [(0, 1, 11), (0, 0, -11), (22, 0, -11)],
                         '\0' * 22, 'x')

    def test_swapped_halves(self):
        self.assertDelta(ALPHABET, ALPHABET[13:] + ALPHABET[:13],
                         [(0, 0, 13), (13, 0, -26), (13, 0, -13)], '\0' * 26, '')


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
            runs = ['a' * size, '\0' * size, 'ab' * size, 'abc' * size,
                    ALPHABET * (size // 26 + 1), 'a' * size + 'b' * size]
            for old in runs:
                for new in runs:
                    self.assertRoundTrip(old, new)
                self.assertRoundTrip(old, edited(self.rng, old, 5))

    def test_every_byte_value(self):
        every_byte = ''.join(map(chr, range(256)))
        shuffled = list(every_byte * 4)
        self.rng.shuffle(shuffled)
        shuffled = ''.join(shuffled)
        # Byte differences wrap modulo 256 in both directions.
        shifted = ''.join(chr((ord(c) + 1) % 256) for c in every_byte)
        for old, new in [(every_byte, every_byte[::-1]), (every_byte, shifted),
                         (shifted, every_byte), (every_byte * 3, shuffled),
                         (shuffled, edited(self.rng, shuffled, 10)),
                         ('\xff' * 300, '\0' * 300), ('', every_byte), (every_byte, '')]:
            self.assertRoundTrip(old, new)


class ArgumentsTest(unittest.TestCase):
    OLD = 'hello world, hello there'
    NEW = 'hello world! hello here'

    def test_wrong_argument_count(self):
        for args in [(), ('a',), ('a', 'b', 'c')]:
            self.assertRaises(TypeError, core.diff, *args)
        self.assertRaises(TypeError, core.diff, old='a', new='b')

    def test_arguments_that_are_not_bytes(self):
        for args in [(1, 'a'), ('a', None), ('a', ['a']), (3.5, 4)]:
            self.assertRaises(TypeError, core.diff, *args)
        self.assertRaises(UnicodeError, core.diff, u'\xe9t\xe9', 'a')

    def test_byte_buffers_give_the_delta_of_their_bytes(self):
        expected = core.diff(self.OLD, self.NEW)
        mapped = mmap.mmap(-1, len(self.NEW))
        self.addCleanup(mapped.close)
        mapped.write(self.NEW)
        padded = 'xx' + self.OLD + 'yy'
        forms = [
            (array.array('B', self.OLD), array.array('c', self.NEW)),
            (buffer(padded, 2, len(self.OLD)), buffer(self.NEW)),
            (self.OLD, mapped),
            (unicode(self.OLD), unicode(self.NEW)),
        ]
        for old, new in forms:
            self.assertEqual(core.diff(old, new), expected, (type(old), type(new)))
        # An array of wider items is read as its machine bytes.
        wide = array.array('H', range(0, 60000, 7))
        self.assertEqual(core.diff(wide, wide), core.diff(wide.tostring(), wide.tostring()))

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
        interval = sys.getcheckinterval()
        sys.setcheckinterval(1 << 30)
        try:
            worker = threading.Thread(target=work)
            worker.start()
            entered.wait()
            mutate()
            still_running = worker.is_alive()
        finally:
            sys.setcheckinterval(interval)
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
            new_array.fromstring('\x5a' * (3 << 20))

        delta = self.run_while_mutated(old, new_array, resize)
        self.assertEqual(core.patch(old, len(new), *delta), new)


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

    def test_repetitive_data_on_a_small_thread_stack(self):
        size = 1 << 20
        pairs = [('a' * size, 'a' * 4096 + 'b' + 'a' * 4096),
                 ('abcdefg' * (size // 7), 'abcdefg' * 1000 + 'X' + 'gfedcba' * 1000)]
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
