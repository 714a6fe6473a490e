"""patch(old, new_length, control, diff_block, extra_block): rebuilding new data."""
import array
import collections
import mmap
import random
import unittest

import core

INT32_MAX = 2 ** 31 - 1
INT32_MIN = -2 ** 31
OVERFLOW = 'corrupt patch (overflow)'
UNDERFLOW = 'corrupt patch (underflow)'
NEGATIVE = 'corrupt patch (negative length)'
TOO_LARGE = 'Python int too large to convert to C long'
NOT_AN_INTEGER = 'an integer is required'
EXPECTING_TUPLE = 'expecting tuple'
EXPECTING_SIZE_3 = 'expecting tuple of size 3'


def reference_patch(old, new_length, control, diff_block, extra_block):
    """Applies a Delta of plain ints and strs; returns the new data or (type, message)."""
    if new_length < -1 or new_length == INT32_MAX:
        return MemoryError, ''
    output = []
    old_position = diff_position = extra_position = 0
    for entry in control:
        if not isinstance(entry, tuple):
            return TypeError, EXPECTING_TUPLE
        if len(entry) != 3:
            return TypeError, EXPECTING_SIZE_3
        for item in entry:
            if not isinstance(item, (int, long)):
                return TypeError, NOT_AN_INTEGER
            if not INT32_MIN <= item <= INT32_MAX:
                return OverflowError, TOO_LARGE
        diff_length, extra_length, old_adjustment = entry
        if diff_length < 0 or extra_length < 0:
            return ValueError, NEGATIVE
        if (len(output) + diff_length + extra_length > new_length
                or diff_position + diff_length > len(diff_block)
                or extra_position + extra_length > len(extra_block)):
            return ValueError, OVERFLOW
        for i in range(diff_length):
            byte = ord(diff_block[diff_position + i])
            if 0 <= old_position + i < len(old):
                byte += ord(old[old_position + i])
            output.append(chr(byte % 256))
        output.extend(extra_block[extra_position:extra_position + extra_length])
        diff_position += diff_length
        extra_position += extra_length
        old_position += diff_length + old_adjustment
    if (len(output) != new_length or diff_position != len(diff_block)
            or extra_position != len(extra_block)):
        return ValueError, UNDERFLOW
    return ''.join(output)


class Hook(object):
    """An entry item whose first conversion runs `action` before it yields `value`."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action
        self.conversions = 0

    def __int__(self):
        self.conversions += 1
        action, self.action = self.action, None
        if action is not None:
            action()
        return self.value


def bytes_in(position, data, length):
    """Arguments whose result is `data` itself, with `data` at one byte position."""
    if position == 0:
        return data, length, [(length, 0, 0)], '\x00' * length, ''
    if position == 3:
        return '', length, [(length, 0, 0)], data, ''
    return '', length, [(0, length, 0)], '', data


class PatchTestCase(unittest.TestCase):

    def assertPatchFails(self, exception, message, *args, **kwargs):
        case = kwargs.get('case') or '%.200r' % (args,)
        try:
            result = core.patch(*args)
        except Exception as error:
            self.assertIs(type(error), exception,
                          '%s: %r raised, %s expected' % (case, error, exception.__name__))
            self.assertEqual(str(error), message, '%s: message' % case)
        else:
            self.fail('%s: returned %.100r, %s expected' % (case, result, exception.__name__))

    def assertPatches(self, expected, *args):
        result = core.patch(*args)
        self.assertIs(type(result), str)
        self.assertEqual(result, expected, '%.200r' % (args,))


class AppliesDeltaTest(PatchTestCase):

    def test_empty_delta_gives_empty_data(self):
        for old in ('', 'ABCD', '\xff' * 1000):
            self.assertPatches('', old, 0, [], '', '')

    def test_empty_old_data_passes_difference_bytes(self):
        self.assertPatches('\x01\x02\xfeXY', '', 5, [(3, 2, 0)], '\x01\x02\xfe', 'XY')
        # Adjustments move an old position that never lands inside anything.
        self.assertPatches('\x05\x06\x07', '', 3, [(1, 0, -5), (2, 0, 9)], '\x05\x06\x07', '')

    def test_several_entries(self):
        # 'bc' from 'ab' + 1, 'X'; then 'de' + (0, 1) after the old position
        # moved by 2 + 1; then 'YZ' verbatim.
        control = [(2, 1, 1), (2, 0, -3), (0, 2, 0)]
        self.assertPatches('bcXdfYZ', 'abcdef', 7, control, '\x01\x01\x00\x01', 'XYZ')

    def test_old_position_before_the_old_data(self):
        self.assertPatches('\x00\x00AB', 'ABCD', 4, [(0, 0, -2), (4, 0, 0)], '\x00' * 4, '')

    def test_old_position_past_the_old_data(self):
        self.assertPatches('E\x01\x01', 'ABCD', 3, [(0, 0, 3), (3, 0, 0)], '\x01' * 3, '')

    def test_addition_wraps(self):
        self.assertPatches('\x01', '\xff', 1, [(1, 0, 0)], '\x02', '')
        every_byte = ''.join(chr(i) for i in range(256))
        differences = every_byte[::-1] + every_byte[1:] + '\x80'
        old = every_byte * 2
        expected = ''.join(chr((ord(a) + ord(b)) % 256) for a, b in zip(old, differences))
        self.assertPatches(expected, old, 512, [(512, 0, 0)], differences, '')

    def test_adjustment_only_entries(self):
        self.assertPatches('D', 'ABCD', 1, [(0, 0, 3), (1, 0, 0)], '\x00', '')
        self.assertPatches('CD', 'ABCD', 2, [(0, 0, 1), (0, 0, 1), (2, 0, 0)], '\x00\x00', '')
        self.assertPatches('ABBD', 'ABCD', 4, [(2, 0, -1), (2, 0, 0)], '\x00\x00\x00\x01', '')
        self.assertPatches('', 'ABCD', 0, [(0, 0, INT32_MIN), (0, 0, INT32_MAX)], '', '')
        self.assertPatches('\x07\x07', 'AB', 2, [(0, 0, INT32_MIN), (0, 0, INT32_MIN), (2, 0, 0)],
                           '\x07\x07', '')
        # Where an old position beyond 32 bits lands is not fixed; only that
        # nothing reads outside the old data or returns the wrong length.
        result = core.patch('AB', 2, [(0, 0, INT32_MAX)] * 2 + [(0, 0, 2), (2, 0, 0)],
                            '\x00\x00', '')
        self.assertEqual(len(result), 2)

    def test_subclasses_and_integer_kinds(self):
        Entry = collections.namedtuple('Entry', 'diff_length extra_length old_adjustment')

        class Entries(list):
            pass

        class Triple(tuple):
            pass

        control = Entries([Entry(1, 0, 1), Triple((1L, 1, True)), (0, True, 0L)])
        self.assertPatches('ACXY', 'ABC', 4, control, '\x00\x00', 'XY')

    def test_item_conversion_protocols(self):
        class IndexOnly(object):
            def __index__(self):
                return 1

        class BadInt(object):
            def __int__(self):
                return 'one'

        class RaisingInt(object):
            def __int__(self):
                raise KeyError('from __int__')

        self.assertPatches('B', 'AB', 1, [(Hook(1), 0, Hook(0)), (0, 0, -1)], '\x01', '')
        # A float is truncated the way int() truncates it.
        self.assertPatches('AB', 'AB', 2, [(1.9, 0, 0.5), (1, 0, 0)], '\x00\x00', '')
        self.assertPatchFails(TypeError, NOT_AN_INTEGER, 'AB', 1, [(IndexOnly(), 0, 0)], '\x00', '')
        self.assertPatchFails(TypeError, 'nb_int should return int object',
                              'AB', 1, [(BadInt(), 0, 0)], '\x00', '')
        with self.assertRaises(KeyError):
            core.patch('AB', 1, [(RaisingInt(), 0, 0)], '\x00', '')


class RejectsDeltaTest(PatchTestCase):

    def test_underflow(self):
        cases = [
            ('empty list, output expected', 'ABCD', 5, [], '', ''),
            ('output short', 'ABCD', 3, [(2, 0, 0)], '\x00\x00', ''),
            ('diff byte left over', 'ABCD', 2, [(2, 0, 0)], '\x00\x00\x00', ''),
            ('extra byte left over', 'ABCD', 3, [(1, 2, 0)], '\x00', 'XYZ'),
            ('blocks but no entries', 'ABCD', 0, [], '\x00', ''),
            ('extra block but no entries', 'ABCD', 0, [], '', 'X'),
        ]
        for case in cases:
            self.assertPatchFails(ValueError, UNDERFLOW, *case[1:], case=case[0])

    def test_overflow(self):
        cases = [
            ('extra run past the output', 'ABCD', 4, [(2, 3, 0)], '\x00\x00', 'XYZ'),
            ('diff run past the output', 'ABCD', 2, [(3, 0, 0)], '\x00' * 3, ''),
            ('diff run past its block', 'ABCD', 4, [(2, 0, 0), (2, 0, 0)], '\x00' * 3, ''),
            ('extra run past its block', 'ABCD', 4, [(0, 3, 0), (0, 1, 0)], '', 'XYZ'),
            # Each sum would wrap to a negative number in 32 bits.
            ('diff length at a non-zero position', 'ABCD', 10,
             [(1, 0, 0), (INT32_MAX, 0, 0)], '\x00' * 10, ''),
            ('extra length at a non-zero position', 'ABCD', 10,
             [(0, 1, 0), (0, INT32_MAX, 0)], '', 'X' * 10),
            ('diff and extra length together', 'ABCD', 10, [(1, INT32_MAX, 0)], '\x00', 'X'),
            ('largest lengths', 'ABCD', 10, [(INT32_MAX, INT32_MAX, 0)], '', ''),
        ]
        for case in cases:
            self.assertPatchFails(ValueError, OVERFLOW, *case[1:], case=case[0])

    def test_new_length_minus_one(self):
        self.assertPatchFails(ValueError, OVERFLOW, 'ABCD', -1, [(0, 0, 0)], '', '')
        self.assertPatchFails(ValueError, UNDERFLOW, 'ABCD', -1, [], '', '')

    def test_unallocatable_new_length(self):
        for new_length in (-2, -1000, INT32_MIN, INT32_MAX):
            self.assertPatchFails(MemoryError, '', 'ABCD', new_length, [], '', '')
            # The working buffer comes before any entry is looked at.
            self.assertPatchFails(MemoryError, '', 'ABCD', new_length, ['not an entry'], '', '')

    def test_negative_lengths(self):
        cases = [
            # Every bound test passes if the negative length is taken at its word.
            ('negative diff length', 'ABCD', 1, [(-1, 2, 0)], '', 'XY'),
            ('negative extra length', 'ABCD', 1, [(2, -1, 0)], '\x00\x00', ''),
            ('after a valid entry', 'ABCD', 2, [(2, 0, 0), (-1, 1, 0)], '\x00\x00', 'X'),
            ('most negative', 'ABCD', 4, [(0, 2, 0), (INT32_MIN, 0, 0)], '', 'XY'),
            ('both negative', 'ABCD', 0, [(-5, -5, 0)], '', ''),
            ('before a later fault', 'ABCD', 4, [(0, -1, 0), 'entry'], '', ''),
        ]
        for case in cases:
            self.assertPatchFails(ValueError, NEGATIVE, *case[1:], case=case[0])

    def test_entry_shape(self):
        cases = [
            (EXPECTING_TUPLE, [(0, 0, 0), [1, 2, 3]]),
            (EXPECTING_TUPLE, ['abc']),
            (EXPECTING_TUPLE, [None]),
            (EXPECTING_SIZE_3, [(1, 2)]),
            (EXPECTING_SIZE_3, [()]),
            (EXPECTING_SIZE_3, [(0, 0, 0), (1, 0, 0, 0)]),
        ]
        for message, control in cases:
            self.assertPatchFails(TypeError, message, 'ABCD', 1, control, '\x00', '')

    def test_first_faulty_entry_decides(self):
        # The first entry overflows before the string after it is looked at.
        self.assertPatchFails(ValueError, OVERFLOW, 'ABCD', 10, [(100, 0, 0), 'x'], '', '')
        self.assertPatchFails(TypeError, EXPECTING_TUPLE, 'ABCD', 10, [[1, 2, 3], (100, 0, 0)],
                              '', '')
        # Shape comes before the items, and items are converted in order.
        self.assertPatchFails(TypeError, EXPECTING_SIZE_3, 'ABCD', 1, [('x', 0)], '\x00', '')
        self.assertPatchFails(TypeError, NOT_AN_INTEGER, 'ABCD', 1, [(0, 'x', 2 ** 31)], '', 'X')
        self.assertPatchFails(OverflowError, TOO_LARGE, 'ABCD', 1, [(0, 2 ** 31, 'x')], '', 'X')
        # Every entry passes before the end-of-list test runs.
        self.assertPatchFails(TypeError, EXPECTING_TUPLE, 'ABCD', 5, [(0, 0, 0), 7], '', '')

    def test_item_conversion_errors(self):
        for bad in ('1', u'1', None, [1]):
            self.assertPatchFails(TypeError, NOT_AN_INTEGER, 'ABCD', 1, [(bad, 1, 0)], '', 'X')
        for bad in (2 ** 31, -2 ** 31 - 1, 2 ** 32, 2 ** 63, -2 ** 64, 2 ** 100):
            for position in range(3):
                entry = [0, 0, 0]
                entry[position] = bad
                self.assertPatchFails(OverflowError, TOO_LARGE, 'ABCD', 0, [tuple(entry)], '', '')

    def test_items_after_a_failed_conversion_are_left_alone(self):
        later = Hook(0)
        self.assertPatchFails(OverflowError, TOO_LARGE, 'ABCD', 0, [(2 ** 31, later, 0)], '', '')
        self.assertPatchFails(TypeError, NOT_AN_INTEGER, 'ABCD', 0, [(0, 'x', later)], '', '')
        self.assertEqual(later.conversions, 0)


class ArgumentTest(PatchTestCase):

    def test_parser_errors(self):
        cases = [
            (TypeError, 'argument 3 must be list, not tuple', ('', 0, (), '', '')),
            (TypeError, 'an integer is required', ('', '0', [], '', '')),
            (OverflowError, 'signed integer is greater than maximum', ('', 2 ** 31, [], '', '')),
            (TypeError, 'argument 4 must be string or read-only buffer, not None',
             ('', 0, [], None, '')),
        ]
        for exception, message, args in cases:
            self.assertPatchFails(exception, message, *args)

    def test_byte_arguments_the_parser_accepts(self):
        m = mmap.mmap(-1, 4)
        m.write('mmap')

        class Text(str):
            pass

        class UnicodeText(unicode):
            pass

        accepted = [('text', 'text'), (Text('text'), 'text'), (u'text', 'text'),
                    (UnicodeText(u'text'), 'text'), (buffer('a text', 2), 'text'),
                    (buffer(array.array('B', [1, 2])), '\x01\x02'),
                    (array.array('B', [0, 255, 7]), '\x00\xff\x07'),
                    (array.array('c', 'text'), 'text'), (m, 'mmap'), ('', '')]
        for data, equivalent in accepted:
            for position in (0, 3, 4):
                self.assertPatches(equivalent, *bytes_in(position, data, len(equivalent)))

    def test_byte_arguments_the_parser_rejects(self):
        for data in (bytearray('text'), memoryview('text')):
            for position in (0, 3, 4):
                self.assertPatchFails(
                    TypeError, 'argument %d must be string or read-only buffer, not %s'
                    % (position + 1, type(data).__name__), *bytes_in(position, data, 4))
        # Unicode goes through the default encoding, ASCII.
        with self.assertRaises(UnicodeEncodeError):
            core.patch(u'\xe9', 1, [(1, 0, 0)], '\x00', '')


def original_bytes(size):
    return ''.join(chr((i * 7 + 3) % 251) for i in range(size))


def move_and_overwrite(data):
    """Grows an array.array far enough that its buffer moves, then shrinks it to 'WXYZ'."""
    data.extend(array.array('B', [0x5A]) * (16 << 20))
    del data[4:]
    data[0:4] = array.array('B', 'WXYZ')


class HostileInputTest(PatchTestCase):
    """Python code run by an item's conversion changes the arguments under patch."""

    def test_control_list_changes(self):
        def clear(control):
            del control[:]

        def shrink(control):
            del control[1:]

        def grow(control):
            # Reallocates the list's item array many times over.
            control.extend([(0, 0, 0)] * 100000 + [(2, 0, 0)])

        # The dropped entries would overflow if they were still read; entries
        # appended during the walk are walked too, as a for loop would.
        cases = [(clear, [(9, 9, 9)] * 1000, 'AC'), (shrink, [(9, 9, 9)] * 1000, 'AC'),
                 (grow, [], 'ACDE')]
        for change, tail, expected in cases:
            control = []
            control.append((Hook(2, lambda: change(control)), 0, 0))
            control.extend(tail)
            diff_block = '\x00\x01\x01\x01'[:len(expected)]
            self.assertPatches(expected, 'ABCD', len(expected), control, diff_block, '')

    def test_entry_released_while_converted(self):
        kept = []

        def churn():
            # Reuse the memory of whatever the list just let go of.
            kept.append([(long('77777'), long('88888'), long('99999')) for _ in range(10000)])

        def drop(control):
            del control[0]
            churn()

        def replace(control):
            control[0] = (5, 5, 5)
            churn()

        for change in (drop, replace):
            control = []
            # Fresh longs, so that the entry alone keeps them alive.
            control.append((Hook(2, lambda: change(control)), long('1'), long('-1')))
            self.assertPatches('ABX', 'ABCD', 3, control, '\x00\x00', 'X')

    def test_byte_arguments_change_during_the_call(self):
        size = 4096
        original = original_bytes(size)
        plus_one = ''.join(chr((ord(c) + 1) % 256) for c in original)
        for position in (0, 3, 4):
            data = array.array('B', original)
            args = list(bytes_in(position, data, size))
            if position == 0:
                args[3] = '\x01' * size
                expected = plus_one
            else:
                expected = original
            entry = args[2][0]
            args[2] = [(Hook(entry[0], lambda: move_and_overwrite(data)), entry[1], entry[2])]
            self.assertPatches(expected, *args)
            self.assertEqual(data.tostring(), 'WXYZ', 'the hook did not run')

    def test_old_data_changes_while_the_new_length_is_parsed(self):
        # The old data is parsed before the new length, whose __int__ moves
        # it; patch must read it as it is afterwards, not through the old pointer.
        data = array.array('B', original_bytes(4096))
        self.assertPatches('WXYZ', data, Hook(4, lambda: move_and_overwrite(data)),
                           [(4, 0, 0)], '\x00' * 4, '')

    def test_mmap_closed_during_the_call(self):
        size = 1 << 20
        original = original_bytes(size)
        for position in (0, 3, 4):
            m = mmap.mmap(-1, size)
            m.write(original)
            args = list(bytes_in(position, m, size))
            entry = args[2][0]
            args[2] = [(Hook(entry[0], m.close), entry[1], entry[2])]
            self.assertPatches(original, *args)
            self.assertRaises(ValueError, m.read, 1)  # closed by the hook


class RandomizedTest(unittest.TestCase):
    """Random deltas, valid and damaged, against the reference applier."""

    GARBAGE_ENTRIES = ['x', None, [1, 2, 3], (1, 2), (1, 2, 3, 4), (0, 'x', 0), (None, 0, 0)]
    EXTREMES = [INT32_MAX, INT32_MIN, 2 ** 31, INT32_MIN - 1, -1]

    def random_delta(self, rng):
        old = ''.join(chr(rng.randint(0, 255)) for _ in range(rng.randint(0, 24)))
        control = []
        for _ in range(rng.randint(0, 5)):
            control.append((rng.randint(0, 8), rng.randint(0, 8), rng.randint(-12, 12)))
        diff_block = ''.join(chr(rng.randint(0, 255)) for _ in range(sum(e[0] for e in control)))
        extra_block = ''.join(chr(rng.randint(0, 255)) for _ in range(sum(e[1] for e in control)))
        return [old, len(diff_block) + len(extra_block), control, diff_block, extra_block]

    def damage(self, rng, args):
        control = args[2]
        kind = rng.randint(0, 5)
        numeric = [i for i, entry in enumerate(control)
                   if isinstance(entry, tuple) and len(entry) == 3
                   and all(isinstance(item, int) for item in entry)]
        if kind == 0 and numeric:
            index, field = rng.choice(numeric), rng.randrange(3)
            entry = list(control[index])
            entry[field] += rng.choice([-2, -1, 1, 2])
            if rng.random() < 0.2:
                entry[field] = rng.choice(self.EXTREMES)
            control[index] = tuple(entry)
        elif kind == 1:
            control.insert(rng.randint(0, len(control)), rng.choice(self.GARBAGE_ENTRIES))
        elif kind == 2 and control:
            del control[rng.randrange(len(control))]
        elif kind == 3:
            total = len(args[3]) + len(args[4])
            args[1] = rng.choice([total - 1, total + 1, -1, -2, 0, INT32_MAX])
        elif kind == 4:
            block = rng.choice([3, 4])
            args[block] = args[block][:-1] if rng.random() < 0.5 else args[block] + 'q'
        else:
            control.append((rng.randint(0, 8), rng.randint(0, 8), rng.randint(-50, 50)))

    def test_random_deltas(self):
        rng = random.Random(31337)
        outcomes = collections.Counter()
        for _ in range(4000):
            args = self.random_delta(rng)
            if rng.random() < 0.7:
                for _ in range(rng.randint(1, 2)):
                    self.damage(rng, args)
            expected = reference_patch(*args)
            try:
                result = core.patch(*args)
            except (ValueError, TypeError, OverflowError, MemoryError) as error:
                self.assertEqual((type(error), str(error)), expected, repr(args))
                outcomes[str(error) or type(error).__name__] += 1
            else:
                self.assertEqual(len(result), args[1], repr(args))
                self.assertEqual(result, expected, repr(args))
                outcomes['success'] += 1
        # The generator must reach every outcome, or the comparison proves little.
        for outcome in ('success', OVERFLOW, UNDERFLOW, NEGATIVE, EXPECTING_TUPLE,
                        EXPECTING_SIZE_3, NOT_AN_INTEGER, TOO_LARGE, 'MemoryError'):
            self.assertGreater(outcomes[outcome], 10, '%s: %r' % (outcome, outcomes))


if __name__ == '__main__':
    unittest.main()
