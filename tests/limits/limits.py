"""diff and patch at the largest sizes the module accepts, 2**31 - 1 bytes.

Each case must give its exact result or MemoryError: never a crash, another
exception, or a report from the sanitizer the module is built with
(tools/run-limits builds it with UndefinedBehaviorSanitizer, under which any
wrapped signed sum, or a shift or cast out of range, ends the process). The
cases need up to about 14 GiB and a few minutes, so they are not part of
`make check`; `make limits` runs them. Prints one line per case with its
time and the process's peak memory, then "N passed, M failed".

Usage: PYTHONPATH=<module folder> python tests/limits/limits.py [case ...]
"""
import gc
import os
import resource
import subprocess
import sys
import time

import core

LARGEST = 2 ** 31 - 1


def peak_gib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / float(1 << 20)


def diff_of_largest_new_data():
    """Empty old data, the largest new data: one verbatim entry."""
    new = b'\0' * LARGEST
    control, diff_block, extra_block = core.diff(b'', new)
    assert control == [(0, LARGEST, 0)], control[:3]
    assert diff_block == b'' and extra_block == new
    return 'one entry of %d verbatim bytes' % LARGEST


def diff_of_largest_old_data():
    """The largest old data, the sort's worst case of one repeated byte,
    against a short new data that it contains."""
    old = b'\0' * LARGEST
    new = b'\0' * 1000 + b'\1'
    control, diff_block, extra_block = core.diff(old, new)
    assert sum(entry[0] + entry[1] for entry in control) == len(new)
    assert core.patch(old, len(new), control, diff_block, extra_block) == new
    return '%d entries' % len(control)


def diff_of_largest_both():
    """Both sides one byte short of the largest length, random bytes equal
    but for the last: one match as long as the data, positions and sums
    near 2**31, and a new length patch can still rebuild (2**31 - 1 itself
    it refuses, as patch_refuses_what_cannot_be_made shows). Runs of one
    byte would be slow here for a reason of their own: the search's rule
    finds one-byte matches in them, so the scan makes a pass per byte."""
    length = LARGEST - 1
    old = os.urandom(length)
    new = old[:-1] + (b'\0' if old[-1:] != b'\0' else b'\1')
    control, diff_block, extra_block = core.diff(old, new)
    assert sum(entry[0] + entry[1] for entry in control) == length, control
    assert core.patch(old, length, control, diff_block, extra_block) == new
    return '%d entries: %r' % (len(control), control[:3])


def patch_refuses_what_cannot_be_made():
    """A new length of 2**31 - 1 asks for 2**31 bytes with its terminator:
    refused before anything is made."""
    try:
        core.patch(b'', LARGEST, [], b'', b'')
    except MemoryError:
        return 'MemoryError'
    raise AssertionError('no MemoryError')


def patch_of_largest_output():
    """The largest output the module makes: old bytes plus a diff run over
    all but the last byte, then one verbatim byte."""
    length = LARGEST - 1
    old = b'\1' * length
    diff_block = b'\1' * (length - 1)
    rebuilt = core.patch(old, length, [(length - 1, 1, 0)], diff_block, b'\7')
    assert len(rebuilt) == length
    assert rebuilt[:4] == b'\2\2\2\2' and rebuilt[-2:] == b'\2\7'
    return 'rebuilt %d bytes' % length


CASES = [diff_of_largest_new_data, patch_refuses_what_cannot_be_made, patch_of_largest_output,
         diff_of_largest_old_data, diff_of_largest_both]


def run_case(case):
    """Runs one case in this process and prints its line; its status says
    whether it passed."""
    start = time.time()
    try:
        outcome, ok = case(), True
    except MemoryError:
        outcome, ok = 'MemoryError', True
    except Exception as error:  # the case's own finding: reported, then counted
        outcome, ok = 'FAILED: %r' % (error,), False
    print('%-36s %7.1f s  peak %5.1f GiB  %s' % (case.__name__, time.time() - start, peak_gib(),
                                                outcome))
    return 0 if ok else 1


def main(names):
    """Each case in a process of its own, so that its peak is its own and a
    sanitizer's abort ends only that case."""
    if len(names) == 1 and names[0].startswith('--case='):
        return run_case(dict((case.__name__, case) for case in CASES)[names[0][7:]])
    passed = failed = 0
    for case in CASES:
        if names and case.__name__ not in names:
            continue
        sys.stdout.flush()
        status = subprocess.call([sys.executable, os.path.abspath(__file__),
                                  '--case=' + case.__name__])
        if status == 0:
            passed += 1
        else:
            failed += 1
            print('%-36s exit status %d' % (case.__name__, status))
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
