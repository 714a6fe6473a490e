"""Measures the mapped search: diff of data that repeats with a long period,
and of the ordinary corpus pairs, before and after, in one run.

"Before" is the scan without the mapped search (diff_stages --mapped never),
or, with --baseline, another diff_stages (a build of an earlier commit) run
as it is. "After" is the scan as the module runs it, switching on its own.
Each case gets 65, 1000 and 100,000-byte periods of random bytes repeated to
the size, with one byte inserted in the middle, and prints seconds per MiB
of sort plus scan. The Deltas of both runs must be the same, byte for byte,
or the run stops. A "before" run that passes the time cap is cut off and
shown as such; larger sizes of that period are not tried before.

The corpus pairs are run --repeat times each way, alternating, and the
least time kept; the mapped search's index must never be built for them.

Usage (from the repository root; diff_stages from a -DCORE_BENCH=ON build):
  python3 bench/mapped_search.py --tools build/cmake-bench/bench
      [--baseline OTHER/diff_stages] [--sizes 1,2,4,8,16,32] [--cap SECONDS]
"""

import argparse
import filecmp
import os
import random
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, '..', 'build', 'bench', 'corpus-1')
MIB = 1 << 20
PERIODS = (65, 1000, 100000)
PAIRS = ('source', 'lib-stripped', 'stdlib-tar')


def write_periodic(period, size, old_path, new_path):
    rng = random.Random(period)
    unit = bytes(bytearray(rng.getrandbits(8) for _ in range(period)))
    old = (unit * (size // period + 1))[:size]
    with open(old_path, 'wb') as f:
        f.write(old)
    with open(new_path, 'wb') as f:
        f.write(old[:size // 2] + b'!' + old[size // 2:])


def diff_stages(command, old, new, out, cap):
    """Runs one diff; returns its key=value figures, or None past the cap."""
    try:
        output = subprocess.check_output(command + [old, new, out], timeout=cap)
    except subprocess.TimeoutExpired:
        return None
    figures = dict(item.split('=') for item in output.decode().split())
    figures['seconds'] = float(figures['sort_seconds']) + float(figures['scan_seconds'])
    return figures


def same_delta(a, b):
    return all(filecmp.cmp(a + part, b + part, shallow=False)
               for part in ('.control', '.diff', '.extra'))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--tools', required=True, help='folder holding diff_stages')
    parser.add_argument('--baseline', help='a diff_stages to run as "before"')
    parser.add_argument('--sizes', default='1,2,4,8,16,32', help='MiB, comma separated')
    parser.add_argument('--cap', type=float, default=120, help='seconds a "before" run may take')
    parser.add_argument('--repeat', type=int, default=5, help='runs of each corpus pair and way')
    args = parser.parse_args()

    after = [os.path.join(args.tools, 'diff_stages')]
    before = [args.baseline] if args.baseline else after + ['--mapped', 'never']
    work = tempfile.mkdtemp(prefix='mapped-search-')
    old, new = os.path.join(work, 'old'), os.path.join(work, 'new')
    out_before, out_after = os.path.join(work, 'before'), os.path.join(work, 'after')
    failed = False
    try:
        print('Periodic data, one byte inserted: seconds per MiB (sort + scan)')
        print('%8s %6s %12s %12s %9s %6s' % ('period', 'MiB', 'before s/MiB', 'after s/MiB',
                                             'speed-up', 'index'))
        for period in PERIODS:
            before_capped = False
            for mib in [int(s) for s in args.sizes.split(',')]:
                write_periodic(period, mib * MIB, old, new)
                fast = diff_stages(after, old, new, out_after, None)
                slow = None if before_capped else diff_stages(before, old, new, out_before,
                                                              args.cap)
                if slow is None:
                    before_capped = True
                    shown, ratio = '> %.0f s' % args.cap, '> %.0fx' % (args.cap / fast['seconds'])
                else:
                    if not same_delta(out_before, out_after):
                        print('Deltas differ: period %d, %d MiB' % (period, mib))
                        return 1
                    shown = '%.3f' % (slow['seconds'] / mib)
                    ratio = '%.1fx' % (slow['seconds'] / fast['seconds'])
                print('%8d %6d %12s %12.3f %9s %6s' % (period, mib, shown, fast['seconds'] / mib,
                                                       ratio, fast['index_built']))
                sys.stdout.flush()

        print('\nCorpus pairs: least of %d runs each, seconds (sort + scan)' % args.repeat)
        print('%14s %10s %10s %8s %6s' % ('pair', 'before', 'after', 'ratio', 'index'))
        for pair in PAIRS:
            pair_old = os.path.join(CORPUS, pair + '.old')
            pair_new = os.path.join(CORPUS, pair + '.new')
            if not os.path.exists(pair_old):
                print('%14s missing (bench/make_corpus.py makes it)' % pair)
                continue
            times = {'before': [], 'after': []}
            built = '0'
            for _ in range(args.repeat):
                slow = diff_stages(before, pair_old, pair_new, out_before, None)
                fast = diff_stages(after, pair_old, pair_new, out_after, None)
                if not same_delta(out_before, out_after):
                    print('Deltas differ: %s' % pair)
                    return 1
                times['before'].append(slow['seconds'])
                times['after'].append(fast['seconds'])
                built = max(built, fast['index_built'])
            failed = failed or built != '0'
            print('%14s %10.3f %10.3f %7.2fx %6s' % (pair, min(times['before']),
                                                     min(times['after']),
                                                     min(times['after']) / min(times['before']),
                                                     built))
    finally:
        shutil.rmtree(work)
    if failed:
        print('The index was built for an ordinary pair')
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
