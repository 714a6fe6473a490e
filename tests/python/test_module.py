"""The module as the interpreter sees it: its operations and how they take arguments."""
import types
import unittest

import core

OPERATIONS = ('diff', 'patch', 'encode_int64', 'decode_int64')


class CountingInt(object):
    """An integer argument that records whether anything converted it."""

    def __init__(self, value):
        self.value = value
        self.conversions = 0

    def __int__(self):
        self.conversions += 1
        return self.value


class MethodTableTest(unittest.TestCase):

    def test_exactly_four_operations(self):
        public = sorted(name for name in dir(core) if not name.startswith('__'))
        self.assertEqual(public, sorted(OPERATIONS))
        for name in OPERATIONS:
            operation = getattr(core, name)
            self.assertIsInstance(operation, types.BuiltinFunctionType, name)
            self.assertEqual(operation.__name__, name)
            # Registered without a module self object.
            self.assertIsNone(operation.__self__, name)

    def test_no_documentation(self):
        self.assertIsNone(core.__doc__)
        for name in OPERATIONS:
            self.assertIsNone(getattr(core, name).__doc__, name)


class ArgumentCountTest(unittest.TestCase):

    def assertTypeError(self, message, function, *args, **kwargs):
        with self.assertRaises(TypeError) as caught:
            function(*args, **kwargs)
        self.assertIs(type(caught.exception), TypeError)
        self.assertEqual(str(caught.exception), message)

    def test_patch_wrong_count(self):
        # The new length would run __int__ if the parser got as far as it.
        for args in [(), ('',), ('', CountingInt(0), [], ''),
                     ('', CountingInt(0), [], '', '', '')]:
            self.assertTypeError('function takes exactly 5 arguments (%d given)' % len(args),
                                 core.patch, *args)
            for arg in args:
                if isinstance(arg, CountingInt):
                    self.assertEqual(arg.conversions, 0, 'converted before the count test')

    def test_diff_wrong_count(self):
        for args in [(), ('old',), ('old', 'new', 'extra')]:
            self.assertTypeError('function takes exactly 2 arguments (%d given)' % len(args),
                                 core.diff, *args)

    def test_keywords_rejected(self):
        self.assertTypeError('patch() takes no keyword arguments', core.patch,
                             '', 0, [], '', extra_block='')
        self.assertTypeError('diff() takes no keyword arguments', core.diff, '', new='')

    def test_single_argument_operations(self):
        for name in ('encode_int64', 'decode_int64'):
            operation = getattr(core, name)
            counting = CountingInt(1)
            for args in [(), (counting, counting), ('\x00' * 8, '\x00' * 8)]:
                self.assertTypeError('%s() takes exactly one argument (%d given)'
                                     % (name, len(args)), operation, *args)
            self.assertEqual(counting.conversions, 0, name)
            self.assertTypeError('%s() takes no keyword arguments' % name, operation, value=1)
        # A tuple is one argument, not an argument list.
        self.assertTypeError('an integer is required', core.encode_int64, (1,))
        self.assertTypeError('string expected', core.decode_int64, ('\x00' * 8,))


if __name__ == '__main__':
    unittest.main()
