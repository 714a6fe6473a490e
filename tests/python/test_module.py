"""The module as the interpreter sees it: its operations and how they take arguments."""
import types
import unittest

import core
from support import PY2, on_27

OPERATIONS = ('diff', 'patch', 'encode_int64', 'decode_int64')


class CountingInt(object):
    """An integer argument that records whether anything converted it."""

    def __init__(self, value):
        self.value = value
        self.conversions = 0

    def __int__(self):
        self.conversions += 1
        return self.value

    __index__ = __int__  # what 3.10 and later convert through


class MethodTableTest(unittest.TestCase):

    def test_exactly_four_operations(self):
        public = sorted(name for name in dir(core) if not name.startswith('__'))
        self.assertEqual(public, sorted(OPERATIONS))
        for name in OPERATIONS:
            operation = getattr(core, name)
            self.assertIsInstance(operation, types.BuiltinFunctionType, name)
            self.assertEqual(operation.__name__, name)
            # Registered without a module self object; on 3 a module's
            # functions always have the module as theirs.
            self.assertIs(operation.__self__, None if PY2 else core, name)

    def test_no_documentation(self):
        self.assertIsNone(core.__doc__)
        for name in OPERATIONS:
            self.assertIsNone(getattr(core, name).__doc__, name)


class ArgumentCountTest(unittest.TestCase):

    def assertTypeError(self, message, function, *args, **kwargs):
        with self.assertRaises(TypeError) as caught:
            function(*args, **kwargs)
        self.assertIs(type(caught.exception), TypeError)
        if message is not None:
            self.assertEqual(str(caught.exception), message)

    def test_patch_wrong_count(self):
        # The new length would run __int__ if the parser got as far as it.
        for args in [(), (b'',), (b'', CountingInt(0), [], b''),
                     (b'', CountingInt(0), [], b'', b'', b'')]:
            self.assertTypeError('function takes exactly 5 arguments (%d given)' % len(args),
                                 core.patch, *args)
            for arg in args:
                if isinstance(arg, CountingInt):
                    self.assertEqual(arg.conversions, 0, 'converted before the count test')

    def test_diff_wrong_count(self):
        for args in [(), (b'old',), (b'old', b'new', b'extra')]:
            self.assertTypeError('function takes exactly 2 arguments (%d given)' % len(args),
                                 core.diff, *args)

    def test_keywords_rejected(self):
        self.assertTypeError('patch() takes no keyword arguments', core.patch,
                             b'', 0, [], b'', extra_block=b'')
        self.assertTypeError('diff() takes no keyword arguments', core.diff, b'', new=b'')

    def test_single_argument_operations(self):
        for name in ('encode_int64', 'decode_int64'):
            operation = getattr(core, name)
            counting = CountingInt(1)
            for args in [(), (counting, counting), (b'\x00' * 8, b'\x00' * 8)]:
                # 3.10 and later put the module's name before the function's.
                self.assertTypeError(on_27('%s() takes exactly one argument (%d given)'
                                           % (name, len(args))), operation, *args)
            self.assertEqual(counting.conversions, 0, name)
            self.assertTypeError(on_27('%s() takes no keyword arguments' % name),
                                 operation, value=1)
        # A tuple is one argument, not an argument list.
        self.assertTypeError(on_27('an integer is required'), core.encode_int64, (1,))
        self.assertTypeError('string expected', core.decode_int64, (b'\x00' * 8,))


if __name__ == '__main__':
    unittest.main()
