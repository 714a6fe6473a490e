"""Runs every operation many times in one process and checks memory stays flat.

A long-lived caller (an update service, a version store) may call the module
millions of times; a leak of a few bytes on any path, failing ones included,
grows without bound. This runs a mix of succeeding and failing calls of
diff, patch, encode_int64 and decode_int64, warms up first so the
interpreter's own pools reach their working size, then compares the resident
set size and the number of live tracked objects before and after the
measured calls.

Usage: python tests/soak/leak_soak.py [CALLS]   (default 100000)
Prints the figures, then "leak_soak: passed" or "leak_soak: FAILED".
"""
import random
import sys

import core

# A leak of one 16-byte block per measured round of the mix below would add
# 100000 / len(MIX) * 16 bytes ~ 190 KiB; anything larger than the slack is
# a leak, anything smaller is noise from pages the allocator keeps.
RSS_SLACK_KIB = 128
WARM_UP_CALLS = 100000

OLD = bytes(bytearray(random.Random(7).getrandbits(8) for _ in range(300)))
NEW = OLD[:100] + b'inserted text' + OLD[120:250] + OLD[:40]
DELTA = core.diff(OLD, NEW)
CONTROL, DIFF_BLOCK, EXTRA_BLOCK = DELTA


def expect(error, function, *args):
    try:
        function(*args)
    except error:
        return
    raise AssertionError('%s%r did not raise %s' % (function.__name__, args, error.__name__))


class Drops(object):
    """An entry item whose conversion empties the control list it is in."""

    def __init__(self, control):
        self.control = control

    def __int__(self):
        del self.control[:]
        return 1

    __index__ = __int__


# On 3 diff reads a read-only buffer in place and holds its export to the
# end of the call, and patch copies it: both ways run with byte strings.
# 2.7 takes no memoryview.
VIEW = (lambda data: data) if sys.version_info[0] < 3 else memoryview


def diff_ok():
    assert core.diff(OLD, NEW) == DELTA
    assert core.diff(VIEW(OLD), VIEW(NEW)) == DELTA


def diff_bad_type():
    expect(TypeError, core.diff, OLD, 5)
    expect(TypeError, core.diff, VIEW(OLD), 5)


def patch_ok():
    assert core.patch(OLD, len(NEW), CONTROL, DIFF_BLOCK, EXTRA_BLOCK) == NEW
    assert core.patch(VIEW(OLD), len(NEW), CONTROL, VIEW(DIFF_BLOCK), VIEW(EXTRA_BLOCK)) == NEW


def patch_overflow():
    expect(ValueError, core.patch, OLD, len(NEW) - 1, CONTROL, DIFF_BLOCK, EXTRA_BLOCK)


def patch_underflow():
    expect(ValueError, core.patch, OLD, len(NEW) + 1, CONTROL, DIFF_BLOCK, EXTRA_BLOCK)


def patch_not_tuple():
    expect(TypeError, core.patch, OLD, len(NEW), [[1, 0, 0]], b'\0', b'')


def patch_wrong_size():
    expect(TypeError, core.patch, OLD, len(NEW), [(1, 0)], b'\0', b'')


def patch_negative():
    expect(ValueError, core.patch, OLD, 1, [(0, -1, 0)], b'', b'x')


def patch_hostile_item():
    control = [(0, 0, 0), (0, 0, 0)]
    control[0] = (Drops(control), 0, 0)
    try:
        core.patch(OLD, 1, control, b'\0', b'')
    except ValueError:
        pass


def codec_ok():
    value = random.randint(-(1 << 63) + 1, (1 << 63) - 1)
    assert core.decode_int64(core.encode_int64(value)) == value


def codec_bad():
    expect(OverflowError, core.encode_int64, 1 << 64)
    expect(OverflowError, core.encode_int64, -1 << 63)
    expect(ValueError, core.decode_int64, b'1234567')


MIX = [diff_ok, diff_bad_type, patch_ok, patch_overflow, patch_underflow,
       patch_not_tuple, patch_wrong_size, patch_negative, patch_hostile_item,
       codec_ok, codec_bad]


def rss_kib():
    with open('/proc/self/statm') as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * 4


def tracked_objects():
    import gc
    gc.collect()
    return len(gc.get_objects())


def run(calls):
    # A while loop: range() on 2.7 would build a list of every index.
    i = 0
    while i < calls:
        MIX[i % len(MIX)]()
        i += 1


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    run(WARM_UP_CALLS)
    rss_before, objects_before = rss_kib(), tracked_objects()
    run(calls)
    rss_after, objects_after = rss_kib(), tracked_objects()
    print('%d calls of %d kinds: RSS %d KiB -> %d KiB (%+d KiB), '
          'tracked objects %d -> %d (%+d)' % (
              calls, len(MIX), rss_before, rss_after, rss_after - rss_before,
              objects_before, objects_after, objects_after - objects_before))
    # The per-call objects are few and short-lived; a reference leaked on
    # any path would leave one tracked container per call of that kind.
    flat = rss_after - rss_before <= RSS_SLACK_KIB and objects_after - objects_before < 100
    print('%d passed, %d failed' % ((1, 0) if flat else (0, 1)))
    return 0 if flat else 1


if __name__ == '__main__':
    sys.exit(main())
