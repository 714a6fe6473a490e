"""encode_int64 / decode_int64: the 8-byte sign-and-magnitude form."""
import array
import random
import struct
import sys
import unittest

import core
from support import PY2, RESULT_INTEGER, TEXT, assert_error, byte, byte_string, on_27

INT64_MAX = 2 ** 63 - 1
NEGATIVE_ZERO = b'\x00' * 7 + b'\x80'
NO_FORM = 'int64 value -2**63 has no 8-byte form'


def form(hex_bytes):
    return byte_string(int(value, 16) for value in hex_bytes.split())


def reference_form(value):
    """The form built independently: magnitude little-endian, sign in bit 63."""
    magnitude = abs(value) & (2 ** 64 - 1)
    sign = 2 ** 63 if value < 0 else 0
    return struct.pack('<Q', magnitude | sign)


class ExactErrorMixin(object):

    def assertFailsWith(self, exception, message, function, *args):
        assert_error(self, exception, message, function, *args)


class KnownFormsTest(unittest.TestCase):
    TABLE = [
        (0, '00 00 00 00 00 00 00 00', 0),
        (1, '01 00 00 00 00 00 00 00', 1),
        (-1, '01 00 00 00 00 00 00 80', -1),
        (256, '00 01 00 00 00 00 00 00', 256),
        (-256, '00 01 00 00 00 00 00 80', -256),
        (INT64_MAX, 'FF FF FF FF FF FF FF 7F', INT64_MAX),
        (-INT64_MAX, 'FF FF FF FF FF FF FF FF', -INT64_MAX),
        # Every byte distinct, so a swapped or shifted byte shows.
        (0x0706050403020100, '00 01 02 03 04 05 06 07', 0x0706050403020100),
        (-0x0102030405060708, '08 07 06 05 04 03 02 81', -0x0102030405060708),
    ]

    def test_encode(self):
        for value, hex_bytes, _ in self.TABLE:
            encoded = core.encode_int64(value)
            self.assertIs(type(encoded), bytes, value)
            self.assertEqual(encoded, form(hex_bytes), 'encode_int64(%d)' % value)

    def test_decode(self):
        for _, hex_bytes, decoded in self.TABLE:
            self.assertEqual(core.decode_int64(form(hex_bytes)), decoded, hex_bytes)

    def test_negative_zero_form(self):
        # No value encodes to it (-2**63 would, and is refused), but another
        # writer may have produced it: it reads as 0.
        self.assertEqual(core.decode_int64(NEGATIVE_ZERO), 0)
        self.assertEqual(core.encode_int64(core.decode_int64(NEGATIVE_ZERO)), b'\x00' * 8)

    def test_decode_always_returns_the_wide_integer_type(self):
        # long on 2.7, even for values an int holds; int on 3.
        for value in (0, 1, -1, 255, 2 ** 31, -2 ** 31, INT64_MAX, -INT64_MAX):
            decoded = core.decode_int64(reference_form(value))
            self.assertIs(type(decoded), RESULT_INTEGER, 'decode of %d gave %r' % (value, decoded))
        self.assertIs(type(core.decode_int64(NEGATIVE_ZERO)), RESULT_INTEGER)


class RoundTripTest(unittest.TestCase):

    def test_values_round_trip(self):
        rng = random.Random(1964)
        values = [INT64_MAX, -INT64_MAX]
        for bits in range(64):
            values += [2 ** bits - 1, -(2 ** bits - 1), 2 ** bits, -2 ** bits]
        # Random magnitudes of every bit length, so that every byte gets used.
        for _ in range(2000):
            magnitude = rng.getrandbits(rng.randint(1, 63))
            values.append(-magnitude if rng.random() < 0.5 else magnitude)
        for value in values:
            if value < -INT64_MAX or value > INT64_MAX:
                continue
            encoded = core.encode_int64(value)
            self.assertEqual(encoded, reference_form(value), 'encode_int64(%d)' % value)
            self.assertEqual(core.decode_int64(encoded), value, 'round trip of %d' % value)

    def test_forms_round_trip(self):
        rng = random.Random(2718)
        for _ in range(2000):
            encoded = byte_string(rng.randint(0, 255) for _ in range(8))
            if rng.random() < 0.1:
                encoded = encoded[:7] + byte(bytearray(encoded)[7] & 0x80)  # small magnitudes
            expected = b'\x00' * 8 if encoded == NEGATIVE_ZERO else encoded
            self.assertEqual(core.encode_int64(core.decode_int64(encoded)), expected,
                             'round trip of %r' % encoded)


class EncodeArgumentTest(ExactErrorMixin, unittest.TestCase):

    def test_integer_kinds_and_bool(self):
        # RESULT_INTEGER(5) is a long on 2.7, whose value an int holds too.
        self.assertEqual(core.encode_int64(5), core.encode_int64(RESULT_INTEGER(5)))
        self.assertEqual(core.encode_int64(True), reference_form(1))
        self.assertEqual(core.encode_int64(-2 ** 40), reference_form(-2 ** 40))

    def test_out_of_range(self):
        for value in (2 ** 63, -2 ** 63 - 1, 2 ** 64, -2 ** 100):
            self.assertFailsWith(OverflowError, on_27('long too big to convert'),
                                 core.encode_int64, value)
        # In range of a signed 64-bit integer, but its form would be the
        # negative-zero form, which reads back as 0.
        self.assertFailsWith(OverflowError, NO_FORM, core.encode_int64, -2 ** 63)
        self.assertEqual(core.encode_int64(-2 ** 63 + 1), reference_form(-INT64_MAX))

    def test_not_an_integer(self):
        for value in (b'1', TEXT('1'), None, [1], object()):
            self.assertFailsWith(TypeError, on_27('an integer is required'),
                                 core.encode_int64, value)

    def test_conversion_protocols(self):
        class WithInt(object):
            def __int__(self):
                return 7

            __index__ = __int__  # what 3.10 and later convert through

        class WithIndexOnly(object):
            def __index__(self):
                return 7

        class WithFailingInt(object):
            def __int__(self):
                raise KeyError('from __int__')

            __index__ = __int__

        self.assertEqual(core.encode_int64(WithInt()), reference_form(7))
        if PY2 or sys.version_info < (3, 8):
            self.assertFailsWith(TypeError, on_27('an integer is required'),
                                 core.encode_int64, WithIndexOnly())
        else:
            self.assertEqual(core.encode_int64(WithIndexOnly()), reference_form(7))
        self.assertRaises(KeyError, core.encode_int64, WithFailingInt())


class DecodeArgumentTest(ExactErrorMixin, unittest.TestCase):

    def test_wrong_length(self):
        for text in (b'', b'\x01' * 7, b'\x01' * 9, b'\x00' * 16):
            self.assertFailsWith(ValueError, '8 bytes expected', core.decode_int64, text)

    def test_not_a_byte_string(self):
        # The type test comes first, so a wrong length does not change the error.
        values = [1, 2 ** 70, None, TEXT('12345678'), TEXT('123'), bytearray(8), bytearray(3),
                  memoryview(b'\x00' * 8), [b'\x00'] * 8, array.array('B', [0] * 8)]
        if PY2:
            values.append(buffer('\x00' * 8))  # noqa: F821 (2.7 only)
        for value in values:
            self.assertFailsWith(TypeError, 'string expected', core.decode_int64, value)

    def test_byte_string_subclass(self):
        class Form(bytes):
            pass

        decoded = core.decode_int64(Form(reference_form(-12345)))
        self.assertEqual(decoded, -12345)
        self.assertIs(type(decoded), RESULT_INTEGER)


if __name__ == '__main__':
    unittest.main()
