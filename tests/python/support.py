"""What differs between the interpreters the tests run under, in one place.

On 2.7 the module's byte strings are str and its integers long; on 3 they
are bytes and int. Messages the interpreter words itself (its argument
parser, its integer conversions) change between 3.x releases, so the tests
compare them on 2.7 only; the module's own messages are compared everywhere.
A 32-bit interpreter has 32-bit C longs and sizes, which changes what an
argument can be and how a too-large one is refused.
"""
import array
import struct
import sys
import unittest

PY2 = sys.version_info[0] == 2

if PY2:
    INTEGER_TYPES = (int, long)  # noqa: F821 (2.7 only)
    RESULT_INTEGER = long  # noqa: F821
    TEXT = unicode  # noqa: F821
else:
    INTEGER_TYPES = (int,)
    RESULT_INTEGER = int
    TEXT = str

# An int argument past 2**31 - 1: where a C long holds it (64-bit Linux), the
# argument parser converts it and then finds it too large for an int; where a
# C long is 32 bits (32-bit x86) the conversion to long fails first.
if struct.calcsize('l') == 4:
    PARSER_INT_TOO_LARGE = 'Python int too large to convert to C long'
else:
    PARSER_INT_TOO_LARGE = 'signed integer is greater than maximum'

# Where sizes are 32 bits, no object reaches 2 GiB: there is nothing to pass.
needs_objects_of_2_gib = unittest.skipIf(
    sys.maxsize < 2 ** 31, 'sizes are 32 bits here: no object reaches 2 GiB (sys.maxsize is %d)'
    % sys.maxsize)


def on_27(message):
    """The interpreter's own wording of an error: checked on 2.7 only."""
    return message if PY2 else None


def byte(value):
    return bytes(bytearray([value]))


def byte_string(values):
    return bytes(bytearray(values))


def byte_values(data):
    return list(bytearray(data))


def array_bytes(data):
    return data.tostring() if PY2 else data.tobytes()


def byte_array(data):
    """An array.array('B') holding `data`."""
    return array.array('B', bytearray(data))


def assert_error(test, exception, message, function, *args):
    """function(*args) raises exactly `exception`; its text is `message`
    unless that is None. Returns the exception."""
    try:
        result = function(*args)
    except Exception as error:
        test.assertIs(type(error), exception,
                      '%.200r: %r raised, %s expected' % (args, error, exception.__name__))
        if message is not None:
            test.assertEqual(str(error), message, '%.200r: message' % (args,))
        return error
    test.fail('%.200r: returned %.100r, %s expected' % (args, result, exception.__name__))


class FreshInteger(RESULT_INTEGER):
    """An integer object of its own, never one the interpreter shares (small
    ints are cached), so that only its holders keep it alive."""


class Subinterpreters(object):
    """Interpreters of this process beside the main one, isolated, each with
    a lock of its own: through _interpreters on 3.13 and _xxsubinterpreters
    on 3.12. Those of earlier versions share the main interpreter's lock,
    and their private modules differ from release to release: available is
    False there."""

    def __init__(self):
        self.module = None
        self.new_api = False
        if sys.version_info >= (3, 13):
            import _interpreters
            self.module, self.new_api = _interpreters, True
        elif sys.version_info >= (3, 12):
            import _xxsubinterpreters
            self.module = _xxsubinterpreters
        self.available = self.module is not None

    def create(self):
        if not self.new_api:
            return self.module.create(isolated=True)
        # Named, though it is the default: a lock of its own, and no
        # module that has not declared that it can do without the main one's.
        interpreter = self.module.create('isolated')
        assert self.module.get_config(interpreter).gil == 'own'
        return interpreter

    def run(self, interpreter, script, shared=None):
        """Runs script in the interpreter's __main__ with the names of
        `shared` (bytes, str, int) bound; an exception it raises fails with
        an AssertionError that holds its traceback."""
        if self.new_api:
            failure = self.module.run_string(interpreter, script, shared)
            if failure is not None:
                raise AssertionError('in a subinterpreter:\n' + failure.errdisplay)
            return
        try:
            self.module.run_string(interpreter, script, shared)
        except self.module.RunFailedError as error:
            raise AssertionError('in a subinterpreter: %s' % error)

    def destroy(self, interpreter):
        self.module.destroy(interpreter)
