"""patch(old, new_length, control, diff_block, extra_block): rebuilding new data."""
import array
import collections
import mmap
import random
import sys
import tempfile
import unittest
import warnings

import core
from support import (INTEGER_TYPES, PARSER_INT_TOO_LARGE, PY2, RESULT_INTEGER, TEXT,
                     FreshInteger, byte_array, byte_string, byte_values, needs_objects_of_2_gib,
                     on_27)

INT32_MAX = 2 ** 31 - 1
INT32_MIN = -2 ** 31
OVERFLOW = 'corrupt patch (overflow)'
UNDERFLOW = 'corrupt patch (underflow)'
NEGATIVE = 'corrupt patch (negative length)'
TOO_LARGE = 'Python int too large to convert to C long'
NOT_AN_INTEGER = on_27('an integer is required')
EXPECTING_TUPLE = 'expecting tuple'
EXPECTING_SIZE_3 = 'expecting tuple of size 3'


def reference_patch(old, new_length, control, diff_block, extra_block):
    """Applies a Delta of plain ints and byte strings; returns the new data
    or (type, message), with None for a message the interpreter words."""
    if new_length < -1 or new_length == INT32_MAX:
        return MemoryError, ''
    old, diff_block = bytearray(old), bytearray(diff_block)
    output = bytearray()
    old_position = diff_position = extra_position = 0
    for entry in control:
        if not isinstance(entry, tuple):
            return TypeError, EXPECTING_TUPLE
        if len(entry) != 3:
            return TypeError, EXPECTING_SIZE_3
        for item in entry:
            if not isinstance(item, INTEGER_TYPES):
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
            value = diff_block[diff_position + i]
            if 0 <= old_position + i < len(old):
                value += old[old_position + i]
            output.append(value % 256)
        output.extend(extra_block[extra_position:extra_position + extra_length])
        diff_position += diff_length
        extra_position += extra_length
        old_position += diff_length + old_adjustment
    if (len(output) != new_length or diff_position != len(diff_block)
            or extra_position != len(extra_block)):
        return ValueError, UNDERFLOW
    return bytes(output)


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

    __index__ = __int__  # what 3.8 and later convert through


def bytes_in(position, data, length):
    """Arguments whose result is `data` itself, with `data` at one byte position."""
    if position == 0:
        return data, length, [(length, 0, 0)], b'\x00' * length, b''
    if position == 3:
        return b'', length, [(length, 0, 0)], data, b''
    return b'', length, [(0, length, 0)], b'', data


class PatchTestCase(unittest.TestCase):

    def assertPatchFails(self, exception, message, *args, **kwargs):
        case = kwargs.get('case') or '%.200r' % (args,)
        try:
            result = core.patch(*args)
        except Exception as error:
            self.assertIs(type(error), exception,
                          '%s: %r raised, %s expected' % (case, error, exception.__name__))
            if message is not None:
                self.assertEqual(str(error), message, '%s: message' % case)
        else:
            self.fail('%s: returned %.100r, %s expected' % (case, result, exception.__name__))

    def assertPatches(self, expected, *args):
        result = core.patch(*args)
        self.assertIs(type(result), bytes)
        self.assertEqual(result, expected, '%.200r' % (args,))


class AppliesDeltaTest(PatchTestCase):

    def test_empty_delta_gives_empty_data(self):
        for old in (b'', b'ABCD', b'\xff' * 1000):
            self.assertPatches(b'', old, 0, [], b'', b'')

    def test_empty_old_data_passes_difference_bytes(self):
        self.assertPatches(b'\x01\x02\xfeXY', b'', 5, [(3, 2, 0)], b'\x01\x02\xfe', b'XY')
        # Adjustments move an old position that never lands inside anything.
        self.assertPatches(b'\x05\x06\x07', b'', 3, [(1, 0, -5), (2, 0, 9)], b'\x05\x06\x07', b'')

    def test_several_entries(self):
        # 'bc' from 'ab' + 1, 'X'; then 'de' + (0, 1) after the old position
        # moved by 2 + 1; then 'YZ' verbatim.
        control = [(2, 1, 1), (2, 0, -3), (0, 2, 0)]
        self.assertPatches(b'bcXdfYZ', b'abcdef', 7, control, b'\x01\x01\x00\x01', b'XYZ')

    def test_old_position_before_the_old_data(self):
        self.assertPatches(b'\x00\x00AB', b'ABCD', 4, [(0, 0, -2), (4, 0, 0)], b'\x00' * 4, b'')

    def test_old_position_past_the_old_data(self):
        self.assertPatches(b'E\x01\x01', b'ABCD', 3, [(0, 0, 3), (3, 0, 0)], b'\x01' * 3, b'')

    def test_addition_wraps(self):
        self.assertPatches(b'\x01', b'\xff', 1, [(1, 0, 0)], b'\x02', b'')
        every_byte = byte_string(range(256))
        differences = every_byte[::-1] + every_byte[1:] + b'\x80'
        old = every_byte * 2
        expected = byte_string((a + b) % 256
                               for a, b in zip(byte_values(old), byte_values(differences)))
        self.assertPatches(expected, old, 512, [(512, 0, 0)], differences, b'')

    def test_adjustment_only_entries(self):
        self.assertPatches(b'D', b'ABCD', 1, [(0, 0, 3), (1, 0, 0)], b'\x00', b'')
        self.assertPatches(b'CD', b'ABCD', 2, [(0, 0, 1), (0, 0, 1), (2, 0, 0)], b'\x00\x00', b'')
        self.assertPatches(b'ABBD', b'ABCD', 4, [(2, 0, -1), (2, 0, 0)], b'\x00\x00\x00\x01', b'')
        self.assertPatches(b'', b'ABCD', 0, [(0, 0, INT32_MIN), (0, 0, INT32_MAX)], b'', b'')
        self.assertPatches(b'\x07\x07', b'AB', 2, [(0, 0, INT32_MIN), (0, 0, INT32_MIN), (2, 0, 0)],
                           b'\x07\x07', b'')
        # Where an old position beyond 32 bits lands is not fixed; only that
        # nothing reads outside the old data or returns the wrong length.
        result = core.patch(b'AB', 2, [(0, 0, INT32_MAX)] * 2 + [(0, 0, 2), (2, 0, 0)],
                            b'\x00\x00', b'')
        self.assertEqual(len(result), 2)

    def test_subclasses_and_integer_kinds(self):
        Entry = collections.namedtuple('Entry', 'diff_length extra_length old_adjustment')

        class Entries(list):
            pass

        class Triple(tuple):
            pass

        # A long on 2.7 (RESULT_INTEGER), besides the ints and the long subclass.
        control = Entries([Entry(1, 0, 1), Triple((FreshInteger(1), 1, True)),
                           (0, True, RESULT_INTEGER(0))])
        self.assertPatches(b'ACXY', b'ABC', 4, control, b'\x00\x00', b'XY')

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

            __index__ = __int__

        self.assertPatches(b'B', b'AB', 1, [(Hook(1), 0, Hook(0)), (0, 0, -1)], b'\x01', b'')
        floats = (b'AB', 2, [(1.9, 0, 0.5), (1, 0, 0)], b'\x00\x00', b'')
        if sys.version_info < (3, 10):
            # A float is truncated the way int() truncates it (3.8 and 3.9 warn).
            with warnings.catch_warnings():
                warnings.simplefilter('ignore', DeprecationWarning)
                self.assertPatches(b'AB', *floats)
        else:
            self.assertPatchFails(TypeError, None, *floats)
        if sys.version_info < (3, 8):
            self.assertPatchFails(TypeError, NOT_AN_INTEGER, b'AB', 1, [(IndexOnly(), 0, 0)],
                                  b'\x00', b'')
        else:
            self.assertPatches(b'B', b'AB', 1, [(IndexOnly(), 0, -1), (0, 0, 0)], b'\x01', b'')
        self.assertPatchFails(TypeError, on_27('nb_int should return int object'),
                              b'AB', 1, [(BadInt(), 0, 0)], b'\x00', b'')
        with self.assertRaises(KeyError):
            core.patch(b'AB', 1, [(RaisingInt(), 0, 0)], b'\x00', b'')


class RejectsDeltaTest(PatchTestCase):

    def test_underflow(self):
        cases = [
            ('empty list, output expected', b'ABCD', 5, [], b'', b''),
            ('output short', b'ABCD', 3, [(2, 0, 0)], b'\x00\x00', b''),
            ('diff byte left over', b'ABCD', 2, [(2, 0, 0)], b'\x00\x00\x00', b''),
            ('extra byte left over', b'ABCD', 3, [(1, 2, 0)], b'\x00', b'XYZ'),
            ('blocks but no entries', b'ABCD', 0, [], b'\x00', b''),
            ('extra block but no entries', b'ABCD', 0, [], b'', b'X'),
        ]
        for case in cases:
            self.assertPatchFails(ValueError, UNDERFLOW, *case[1:], case=case[0])

    def test_overflow(self):
        cases = [
            ('extra run past the output', b'ABCD', 4, [(2, 3, 0)], b'\x00\x00', b'XYZ'),
            ('diff run past the output', b'ABCD', 2, [(3, 0, 0)], b'\x00' * 3, b''),
            ('diff run past its block', b'ABCD', 4, [(2, 0, 0), (2, 0, 0)], b'\x00' * 3, b''),
            ('extra run past its block', b'ABCD', 4, [(0, 3, 0), (0, 1, 0)], b'', b'XYZ'),
            # Each sum would wrap to a negative number in 32 bits.
            ('diff length at a non-zero position', b'ABCD', 10,
             [(1, 0, 0), (INT32_MAX, 0, 0)], b'\x00' * 10, b''),
            ('extra length at a non-zero position', b'ABCD', 10,
             [(0, 1, 0), (0, INT32_MAX, 0)], b'', b'X' * 10),
            ('diff and extra length together', b'ABCD', 10, [(1, INT32_MAX, 0)], b'\x00', b'X'),
            ('largest lengths', b'ABCD', 10, [(INT32_MAX, INT32_MAX, 0)], b'', b''),
        ]
        for case in cases:
            self.assertPatchFails(ValueError, OVERFLOW, *case[1:], case=case[0])

    def test_new_length_minus_one(self):
        self.assertPatchFails(ValueError, OVERFLOW, b'ABCD', -1, [(0, 0, 0)], b'', b'')
        self.assertPatchFails(ValueError, UNDERFLOW, b'ABCD', -1, [], b'', b'')

    def test_unallocatable_new_length(self):
        for new_length in (-2, -1000, INT32_MIN, INT32_MAX):
            self.assertPatchFails(MemoryError, '', b'ABCD', new_length, [], b'', b'')
            # The output is requested before any entry is looked at.
            self.assertPatchFails(MemoryError, '', b'ABCD', new_length, ['not an entry'], b'', b'')

    def test_output_the_interpreter_cannot_make(self):
        # 2**31 - 2 bytes fit an int, but with a byte string's header not a
        # 32-bit size: there the interpreter cannot make the output at all,
        # which is memory that cannot be had. Elsewhere it is made (its pages
        # untouched) and the empty list falls short of it.
        if sys.maxsize < 2 ** 32:
            self.assertPatchFails(MemoryError, '', b'', 2 ** 31 - 2, [], b'', b'')
        else:
            self.assertPatchFails(ValueError, UNDERFLOW, b'', 2 ** 31 - 2, [], b'', b'')

    def test_negative_lengths(self):
        cases = [
            # Every bound test passes if the negative length is taken at its word.
            ('negative diff length', b'ABCD', 1, [(-1, 2, 0)], b'', b'XY'),
            ('negative extra length', b'ABCD', 1, [(2, -1, 0)], b'\x00\x00', b''),
            ('after a valid entry', b'ABCD', 2, [(2, 0, 0), (-1, 1, 0)], b'\x00\x00', b'X'),
            ('most negative', b'ABCD', 4, [(0, 2, 0), (INT32_MIN, 0, 0)], b'', b'XY'),
            ('both negative', b'ABCD', 0, [(-5, -5, 0)], b'', b''),
            ('before a later fault', b'ABCD', 4, [(0, -1, 0), 'entry'], b'', b''),
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
            self.assertPatchFails(TypeError, message, b'ABCD', 1, control, b'\x00', b'')

    def test_first_faulty_entry_decides(self):
        # The first entry overflows before the string after it is looked at.
        self.assertPatchFails(ValueError, OVERFLOW, b'ABCD', 10, [(100, 0, 0), b'x'], b'', b'')
        self.assertPatchFails(TypeError, EXPECTING_TUPLE, b'ABCD', 10, [[1, 2, 3], (100, 0, 0)],
                              b'', b'')
        # Shape comes before the items, and items are converted in order.
        self.assertPatchFails(TypeError, EXPECTING_SIZE_3, b'ABCD', 1, [(b'x', 0)], b'\x00', b'')
        self.assertPatchFails(TypeError, NOT_AN_INTEGER, b'ABCD', 1, [(0, b'x', 2 ** 31)],
                              b'', b'X')
        self.assertPatchFails(OverflowError, TOO_LARGE, b'ABCD', 1, [(0, 2 ** 31, b'x')], b'', b'X')
        # Every entry passes before the end-of-list test runs.
        self.assertPatchFails(TypeError, EXPECTING_TUPLE, b'ABCD', 5, [(0, 0, 0), 7], b'', b'')

    def test_item_conversion_errors(self):
        for bad in (b'1', TEXT('1'), None, [1]):
            self.assertPatchFails(TypeError, NOT_AN_INTEGER, b'ABCD', 1, [(bad, 1, 0)], b'', b'X')
        for bad in (2 ** 31, -2 ** 31 - 1, 2 ** 32, 2 ** 63, -2 ** 64, 2 ** 100):
            for position in range(3):
                entry = [0, 0, 0]
                entry[position] = bad
                self.assertPatchFails(OverflowError, TOO_LARGE, b'ABCD', 0, [tuple(entry)],
                                      b'', b'')

    def test_items_after_a_failed_conversion_are_left_alone(self):
        later = Hook(0)
        self.assertPatchFails(OverflowError, TOO_LARGE, b'ABCD', 0, [(2 ** 31, later, 0)], b'', b'')
        self.assertPatchFails(TypeError, NOT_AN_INTEGER, b'ABCD', 0, [(0, b'x', later)], b'', b'')
        self.assertEqual(later.conversions, 0)


class ArgumentTest(PatchTestCase):

    def test_parser_errors(self):
        cases = [
            (TypeError, 'argument 3 must be list, not tuple', (b'', 0, (), b'', b'')),
            (TypeError, on_27('an integer is required'), (b'', b'0', [], b'', b'')),
            (OverflowError, PARSER_INT_TOO_LARGE, (b'', 2 ** 31, [], b'', b'')),
            (TypeError, on_27('argument 4 must be string or read-only buffer, not None'),
             (b'', 0, [], None, b'')),
        ]
        for exception, message, args in cases:
            self.assertPatchFails(exception, message, *args)

    def byte_arguments(self):
        """(argument, the bytes it stands for) for every kind of byte argument
        patch takes on this interpreter."""
        m = mmap.mmap(-1, 4)
        self.addCleanup(m.close)
        m.write(b'mmap')

        class Data(bytes):
            pass

        accepted = [(b'text', b'text'), (Data(b'text'), b'text'),
                    (array.array('B', [0, 255, 7]), b'\x00\xff\x07'), (m, b'mmap'), (b'', b'')]
        if PY2:
            class UnicodeText(unicode):  # noqa: F821 (2.7 only)
                pass

            accepted += [(u'text', b'text'), (UnicodeText(u'text'), b'text'),
                         (buffer('a text', 2), b'text'),  # noqa: F821
                         (buffer(array.array('B', [1, 2])), b'\x01\x02'),  # noqa: F821
                         (array.array('c', 'text'), b'text')]
        else:
            accepted += [(memoryview(b'a text')[2:], b'text'), (bytearray(b'text'), b'text'),
                         (memoryview(bytearray(b'\x01\x02')), b'\x01\x02')]
        return accepted

    def test_byte_arguments_the_parser_accepts(self):
        for data, equivalent in self.byte_arguments():
            for position in (0, 3, 4):
                self.assertPatches(equivalent, *bytes_in(position, data, len(equivalent)))

    def test_byte_arguments_the_parser_rejects(self):
        if PY2:
            rejected = [(bytearray('text'), 'argument %d must be string or read-only buffer, '
                         'not bytearray'),
                        (memoryview('text'), 'argument %d must be string or read-only buffer, '
                         'not memoryview')]
        else:
            # Text has no bytes until it is encoded, which is the caller's choice.
            class Text(str):
                pass

            rejected = [('text', None), (Text('text'), None), (4, None)]
        for data, message in rejected:
            for position in (0, 3, 4):
                self.assertPatchFails(TypeError, message and message % (position + 1),
                                      *bytes_in(position, data, 4))
        if PY2:
            # Unicode goes through the default encoding, ASCII.
            with self.assertRaises(UnicodeEncodeError):
                core.patch(u'\xe9', 1, [(1, 0, 0)], '\x00', '')

    @needs_objects_of_2_gib
    def test_buffers_of_2_gib_or_more(self):
        # A sparse file mapped read-only: 2 GiB of address space, no memory.
        with tempfile.TemporaryFile() as backing:
            backing.truncate(2 ** 31)
            mapped = mmap.mmap(backing.fileno(), 2 ** 31, access=mmap.ACCESS_READ)
            self.addCleanup(mapped.close)
            for position in (0, 3, 4):
                self.assertPatchFails(OverflowError, 'size does not fit in an int',
                                      *bytes_in(position, mapped, 0))


def original_bytes(size):
    return byte_string((i * 7 + 3) % 251 for i in range(size))


def move_and_overwrite(data):
    """Grows an array.array or bytearray far enough that its buffer moves,
    then shrinks it to 'WXYZ'."""
    if isinstance(data, bytearray):
        data.extend(b'\x5a' * (16 << 20))
    else:
        data.extend(array.array('B', [0x5A]) * (16 << 20))
    del data[4:]
    data[0:4] = array.array('B', b'WXYZ')


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
        cases = [(clear, [(9, 9, 9)] * 1000, b'AC'), (shrink, [(9, 9, 9)] * 1000, b'AC'),
                 (grow, [], b'ACDE')]
        for change, tail, expected in cases:
            control = []
            control.append((Hook(2, lambda: change(control)), 0, 0))
            control.extend(tail)
            diff_block = b'\x00\x01\x01\x01'[:len(expected)]
            self.assertPatches(expected, b'ABCD', len(expected), control, diff_block, b'')

    def test_entry_released_while_converted(self):
        kept = []

        def churn():
            # Reuse the memory of whatever the list just let go of.
            kept.append([(FreshInteger(77777), FreshInteger(88888), FreshInteger(99999))
                         for _ in range(10000)])

        def drop(control):
            del control[0]
            churn()

        def replace(control):
            control[0] = (5, 5, 5)
            churn()

        for change in (drop, replace):
            control = []
            # Fresh integers, so that the entry alone keeps them alive.
            control.append((Hook(2, lambda: change(control)), FreshInteger(1), FreshInteger(-1)))
            self.assertPatches(b'ABX', b'ABCD', 3, control, b'\x00\x00', b'X')

    def test_byte_arguments_change_during_the_call(self):
        size = 4096
        original = original_bytes(size)
        plus_one = byte_string((value + 1) % 256 for value in byte_values(original))
        # A bytearray (taken on 3 only) stays free to resize: patch works on
        # its own copy, holding no view of it that would block the resize.
        kinds = [byte_array] + ([] if PY2 else [bytearray])
        for kind, position in [(kind, position) for kind in kinds for position in (0, 3, 4)]:
            data = kind(original)
            args = list(bytes_in(position, data, size))
            if position == 0:
                args[3] = b'\x01' * size
                expected = plus_one
            else:
                expected = original
            entry = args[2][0]
            args[2] = [(Hook(entry[0], lambda: move_and_overwrite(data)), entry[1], entry[2])]
            self.assertPatches(expected, *args)
            self.assertEqual(bytes(bytearray(data)), b'WXYZ', 'the hook did not run')

    def test_byte_arguments_change_while_the_new_length_is_parsed(self):
        # The new length's own __int__ runs while the arguments are parsed,
        # before any entry is read. A mutable byte argument is taken as it
        # stands once parsing has reached it: on 2.7 the three are taken after
        # the parser is done, so the change shows in all of them; on 3 each is
        # taken when the parser reaches it, so it shows in the two blocks,
        # which come after the length, and not in the old data, which comes
        # before. Never through a stale pointer.
        for position in (0, 3, 4):
            data = byte_array(original_bytes(4096))
            hook = Hook(4, lambda: move_and_overwrite(data))
            if position == 0:
                args = (data, hook, [(4, 0, 0)], b'\x00' * 4, b'')
            elif position == 3:
                args = (b'', hook, [(4, 0, 0)], data, b'')
            else:
                args = (b'', hook, [(0, 4, 0)], b'', data)
            # Unchanged blocks would hold bytes no entry uses: underflow.
            seen = PY2 or position != 0
            self.assertPatches(b'WXYZ' if seen else original_bytes(4), *args)
            self.assertEqual(hook.conversions, 1)

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

    GARBAGE_ENTRIES = [b'x', None, [1, 2, 3], (1, 2), (1, 2, 3, 4), (0, b'x', 0), (None, 0, 0)]
    EXTREMES = [INT32_MAX, INT32_MIN, 2 ** 31, INT32_MIN - 1, -1]

    def random_delta(self, rng):
        old = byte_string(rng.randint(0, 255) for _ in range(rng.randint(0, 24)))
        control = []
        for _ in range(rng.randint(0, 5)):
            control.append((rng.randint(0, 8), rng.randint(0, 8), rng.randint(-12, 12)))
        diff_block = byte_string(rng.randint(0, 255) for _ in range(sum(e[0] for e in control)))
        extra_block = byte_string(rng.randint(0, 255) for _ in range(sum(e[1] for e in control)))
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
            args[block] = args[block][:-1] if rng.random() < 0.5 else args[block] + b'q'
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
                self.assertIsInstance(expected, tuple, repr(args))
                exception, message = expected
                self.assertIs(type(error), exception, repr(args))
                if message is not None:
                    self.assertEqual(str(error), message, repr(args))
                outcomes[message or exception.__name__] += 1
            else:
                self.assertEqual(len(result), args[1], repr(args))
                self.assertEqual(result, expected, repr(args))
                outcomes['success'] += 1
        # The generator must reach every outcome, or the comparison proves little.
        for outcome in ('success', OVERFLOW, UNDERFLOW, NEGATIVE, EXPECTING_TUPLE,
                        EXPECTING_SIZE_3, NOT_AN_INTEGER or 'TypeError', TOO_LARGE, 'MemoryError'):
            self.assertGreater(outcomes[outcome], 10, '%s: %r' % (outcome, outcomes))


if __name__ == '__main__':
    unittest.main()
