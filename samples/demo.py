"""Diffs two versions of a file, stores the Delta in a file the way a careful
caller does (samples/stored_delta.py), reads it back and patches, and shows
what the Delta costs and how the integer codec writes numbers.

Usage: PYTHONPATH=build/py<X.Y> python samples/demo.py [OLD NEW]
       make demo [PYTHON=/path/to/python]

Without arguments it runs on the two versions of a weather station's
configuration that sit next to this script (text settings followed by a
binary calibration table). Runs under Python 2.7 and 3. Exits non-zero if
anything read back or rebuilt differs.
"""

import argparse
import binascii
import os
import shutil
import sys
import tempfile
import timeit

try:
    import core
except ImportError:
    sys.exit('demo: cannot import core; build it with `make module` and run with '
             'PYTHONPATH=build/py%d.%d' % sys.version_info[:2])

import stored_delta

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = ('old.cfg', 'new.cfg')
CODEC_VALUES = (0, 1, 300, -300, 2 ** 63 - 1)


def read(path):
    with open(path, 'rb') as handle:
        return handle.read()


def write(path, data):
    with open(path, 'wb') as handle:
        handle.write(data)


def timed(function, *args):
    start = timeit.default_timer()
    result = function(*args)
    return result, (timeit.default_timer() - start) * 1000.0


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
    failures = []

    (control, diff_block, extra_block), diff_ms = timed(core.diff, old, new)
    rebuilt, patch_ms = timed(core.patch, old, len(new), control, diff_block, extra_block)
    print('Python %d.%d' % sys.version_info[:2])
    print('old    %-24s %9d bytes' % (shown[0], len(old)))
    print('new    %-24s %9d bytes' % (shown[1], len(new)))
    print('diff   %8.2f ms  %d control entries, diff block %d bytes, extra block %d bytes'
          % (diff_ms, len(control), len(diff_block), len(extra_block)))
    print('patch  %8.2f ms  rebuilt %d bytes: %s'
          % (patch_ms, len(rebuilt), 'identical to new' if rebuilt == new else 'MISMATCH'))
    if rebuilt != new:
        failures.append('patch')

    # Stored in a file with each compressor this Python has, read back from
    # it and checked against both digests.
    folder = tempfile.mkdtemp(prefix='core_demo')
    try:
        for name in sorted(stored_delta.COMPRESSORS):
            path = os.path.join(folder, 'new.cfg.' + name + '.delta')
            write(path, stored_delta.pack_delta(old, new, name))
            try:
                outcome = ('read back, old digest checked, patched, new digest checked'
                           if stored_delta.unpack_and_patch(old, read(path)) == new
                           else 'MISMATCH')
            except stored_delta.StoredDeltaError as error:
                outcome = 'FAILED: %s' % error
            if not outcome.startswith('read back'):
                failures.append('stored Delta (%s)' % name)
            print('stored %-4s %6d bytes (new alone, %s: %d bytes): %s'
                  % (name, os.path.getsize(path), name,
                     len(stored_delta.COMPRESSORS[name][0](new)), outcome))
        # The same file against other old data is refused before patching.
        try:
            stored_delta.unpack_and_patch(old[:-1], read(path))
            failures.append('stored Delta accepted other old data')
            print('check  other old data: ACCEPTED')
        except stored_delta.StoredDeltaError as error:
            print('check  other old data: refused (%s)' % error)
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    for value in CODEC_VALUES:
        encoded = core.encode_int64(value)
        decoded = core.decode_int64(encoded)
        if decoded != value:
            failures.append('codec %d' % value)
        print('codec  %20d -> %s -> %d'
              % (value, binascii.hexlify(encoded).decode('ascii'), decoded))

    if failures:
        print('demo: FAILED: %s' % ', '.join(failures))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
