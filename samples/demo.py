"""Diffs two versions of a file, patches the old one back into the new one,
and shows what the Delta costs and how the integer codec writes numbers.

Usage: PYTHONPATH=build/py2.7 python samples/demo.py [OLD NEW]

Without arguments it runs on the two versions of a weather station's
configuration that sit next to this script (text settings followed by a
binary calibration table). Exits non-zero if the rebuilt data differs.
"""

import argparse
import bz2
import os
import sys
import timeit

try:
    import core
except ImportError:
    sys.exit('demo: cannot import core; build it with `make module` and run '
             'with PYTHONPATH=build/py2.7')

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = ('old.cfg', 'new.cfg')
CODEC_VALUES = (0, 1, 300, -300, 2 ** 63 - 1)


def read(path):
    with open(path, 'rb') as handle:
        return handle.read()


def timed(function, *args):
    start = timeit.default_timer()
    result = function(*args)
    return result, (timeit.default_timer() - start) * 1000.0


def control_bytes(control):
    # How a caller stores the control list: three 8-byte integers per entry.
    return ''.join(core.encode_int64(item) for entry in control for item in entry)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('old', nargs='?', metavar='OLD')
    parser.add_argument('new', nargs='?', metavar='NEW')
    args = parser.parse_args(argv)
    if (args.old is None) != (args.new is None):
        parser.error('give both OLD and NEW, or neither')
    if args.old is not None:
        old_path, new_path = args.old, args.new
        shown = [old_path, new_path]
    else:
        old_path, new_path = [os.path.join(HERE, name) for name in SAMPLES]
        shown = ['samples/' + name for name in SAMPLES]
    old, new = read(old_path), read(new_path)

    (control, diff_block, extra_block), diff_ms = timed(core.diff, old, new)
    rebuilt, patch_ms = timed(core.patch, old, len(new), control, diff_block,
                              extra_block)
    packed = [len(bz2.compress(block)) for block in
              (control_bytes(control), diff_block, extra_block)]

    print('old    %-24s %9d bytes' % (shown[0], len(old)))
    print('new    %-24s %9d bytes' % (shown[1], len(new)))
    print('diff   %8.2f ms  %d control entries, diff block %d bytes, '
          'extra block %d bytes' % (diff_ms, len(control), len(diff_block),
                                    len(extra_block)))
    print('bz2    control %d + diff %d + extra %d = %d bytes '
          '(new alone: %d bytes)' % (packed[0], packed[1], packed[2],
                                     sum(packed), len(bz2.compress(new))))
    print('patch  %8.2f ms  rebuilt %d bytes: %s' % (
        patch_ms, len(rebuilt), 'identical to new' if rebuilt == new
        else 'MISMATCH'))

    codec_ok = True
    for value in CODEC_VALUES:
        encoded = core.encode_int64(value)
        decoded = core.decode_int64(encoded)
        codec_ok = codec_ok and decoded == value
        print('codec  %20d -> %s -> %d' % (value, encoded.encode('hex'), decoded))

    if rebuilt != new or not codec_ok:
        print('demo: round trip FAILED')
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
