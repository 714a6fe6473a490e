"""Times diff and patch on an update-like corpus and sets them against bz2.

bz2 is what callers run over the Delta's blocks, so it is a peer a reader
can relate to: diff's time is compared with bz2-compressing the new data,
and the compressed Delta's size with the new data compressed by bz2 alone
(what shipping the whole new release would cost). Every size runs in a
fresh process, so that its peak memory (ru_maxrss) is its own.

Usage: PYTHONPATH=build/py27 python bench/bench_diff.py [SIZE_MIB ...]
       [--seed N] [--synthetic]          (default sizes: 1 4 16)
"""

import argparse
import ast
import bz2
import os
import resource
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_corpus

import core

MIB = 1 << 20


def timed(function, *args):
    start = time.time()
    result = function(*args)
    return result, time.time() - start


def control_bytes(control):
    # Callers store each entry as three 8-byte integers.
    return ''.join(core.encode_int64(item) for entry in control for item in entry)


def measure(size, seed, synthetic):
    """Figures for one size; runs in its own process."""
    old, new, source = make_corpus.write(size, seed, synthetic)
    base_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    delta, diff_seconds = timed(core.diff, old, new)
    control, diff_block, extra_block = delta
    rebuilt, patch_seconds = timed(core.patch, old, len(new), control,
                                   diff_block, extra_block)
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    new_bz2, bz2_seconds = timed(bz2.compress, new)
    return dict(
        source=source, size=size, round_trip=rebuilt == new,
        diff_seconds=diff_seconds, patch_seconds=patch_seconds,
        bz2_seconds=bz2_seconds, peak_mib=peak_kib / 1024.0,
        base_mib=base_kib / 1024.0,
        entries=len(control), diff_block=len(diff_block),
        extra_block=len(extra_block),
        control_bz2=len(bz2.compress(control_bytes(control))),
        diff_bz2=len(bz2.compress(diff_block)),
        extra_bz2=len(bz2.compress(extra_block)),
        new_bz2=len(new_bz2))


def run_child(size, args):
    command = [sys.executable, os.path.abspath(__file__), '--one', str(size),
               '--seed', str(args.seed)]
    if args.synthetic:
        command.append('--synthetic')
    return ast.literal_eval(subprocess.check_output(command))


def print_tables(rows):
    print('corpus: %s' % rows[0]['source'])
    print('')
    print('%8s %8s %8s %8s %8s %9s %8s %9s %9s' % (
        'size MiB', 'diff s', 'MB/s', 'patch s', 'MB/s', 'bz2(new)s',
        'diff/bz2', 'base MiB', 'peak MiB'))
    for r in rows:
        mb = r['size'] / 1e6
        print('%8g %8.2f %8.2f %8.3f %8.0f %9.2f %7.2fx %9.0f %9.0f' % (
            r['size'] / float(MIB), r['diff_seconds'], mb / r['diff_seconds'],
            r['patch_seconds'], mb / r['patch_seconds'], r['bz2_seconds'],
            r['diff_seconds'] / r['bz2_seconds'], r['base_mib'],
            r['peak_mib']))
    print('')
    print('%8s %8s %10s %9s %10s %10s %10s %10s %8s' % (
        'size MiB', 'entries', 'diff blk', 'extra blk', 'ctrl.bz2',
        'diff.bz2', 'extra.bz2', 'new.bz2', 'Delta/new'))
    for r in rows:
        delta_bz2 = r['control_bz2'] + r['diff_bz2'] + r['extra_bz2']
        print('%8g %8d %10d %9d %10d %10d %10d %10d %7.1f%%' % (
            r['size'] / float(MIB), r['entries'], r['diff_block'],
            r['extra_block'], r['control_bz2'], r['diff_bz2'],
            r['extra_bz2'], r['new_bz2'], 100.0 * delta_bz2 / r['new_bz2']))
    print('')
    print('MB/s in 10^6 bytes of new data per second; diff/bz2 = diff time over '
          'bz2 time on the new data;')
    print('base = ru_maxrss with the corpus loaded, peak = after diff and '
          'patch (one process per size);')
    print('Delta/new = (ctrl.bz2 + diff.bz2 + extra.bz2) over new.bz2.')


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('sizes', nargs='*', type=float, default=[1, 4, 16],
                        metavar='SIZE_MIB')
    parser.add_argument('--seed', type=int, default=make_corpus.DEFAULT_SEED)
    parser.add_argument('--synthetic', action='store_true')
    parser.add_argument('--one', type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.one is not None:
        print(repr(measure(args.one, args.seed, args.synthetic)))
        return 0
    rows = [run_child(int(size * MIB), args) for size in args.sizes]
    failed = [r['size'] for r in rows if not r['round_trip']]
    print_tables(rows)
    if failed:
        print('ROUND TRIP FAILED for sizes (bytes): %s' % ', '.join(map(str, failed)))
        return 1
    print('round trip: patch rebuilt the new data byte for byte at every size.')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
