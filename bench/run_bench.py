"""Measures diff and patch on the benchmark corpus, beside xdelta3, zstd and
libdivsufsort in the same run, and writes bench/results.md and
bench/scaling.svg.

Every diff runs in a child process with a time cap, so that one slow case
costs at most the cap and its peak memory is its own. Every Delta is patched
back and every peer delta decoded: a result that does not rebuild the new
file stops the run, it is not a figure.

Usage (from the repository root, as `make bench` runs it):
  PYTHONPATH=build/py2.7 python bench/run_bench.py --tools build/cmake-bench/bench
      [--quick] [--cap SECONDS] [--output bench/results.md]
"""

import argparse
import ast
import bz2
import hashlib
import math
import os
import platform
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_corpus  # noqa: E402

MIB = 1 << 20
WORK_DIR = os.path.join(make_corpus.REPO_ROOT, 'build', 'bench', 'work')
GENERATED_MARK = '<!-- Everything below is written by bench/run_bench.py. -->'
BINARY_PAIRS = ('exe', 'lib-stripped', 'lib-debug')
LARGE_PAIRS = ('lib-debug', 'stdlib-tar')
SORT_TARGET_PAIRS = ('lib-stripped', 'lib-debug', 'stdlib-tar')
# diff through Python against xdelta3 -9's encode time: binaries, and text.
DIFF_TIME_TARGETS = (('exe', 1.0), ('lib-stripped', 0.4), ('lib-debug', 0.4),
                     ('stdlib-tar', 2.5))
# The scan's time against libdivsufsort's sort of the same old file.
SCAN_TARGET_PAIRS = ('lib-stripped', 'lib-debug')
SCAN_TARGET = 2.0
# Thread counts the scan is timed on; its processor time on N threads
# against one thread's, where one thread's scan takes long enough to tell.
SCAN_THREADS = (1, 2, 4, 8)
THREAD_CPU_TARGET = 1.15
THREAD_CPU_MIN_SECONDS = 0.1
SPEEDUP_PAIR = 'lib-debug'
SPEEDUP_TARGET = 1.8
# Two runs' peaks (ru_maxrss) of the same work differ by up to this much.
PEAK_NOISE_MIB = 2
# How far diff time per MiB may grow from the smallest scaling size to the
# largest: the sort and the scan should both stay near linear; long periods
# get more room.
GROWTH_LIMITS = {'stdlib-tar prefixes': 1.5, 'repetitive': 1.5}
LONG_PERIOD_GROWTH_LIMIT = 2.0
# How much more a diff through read-only mmaps may take at its peak than one
# through byte strings, under Python 3 (which reads such buffers in place).
MAPPED_PEAK_TARGET_MIB = 16
MAPPED_TARGET_PAIR = 'lib-debug'


class BenchError(Exception):
    pass


class Run(object):
    """A finished child: timed_out, status, seconds (wall), peak_mib, output."""


# Peak memory is reported by GNU time, which runs each measured command. A
# child's own rusage would not do: on Linux a process inherits, through fork
# and exec, the peak of the process that forked it, here this driver with
# its corpus in memory. time itself stays small.
GNU_TIME = '/usr/bin/time'


def run_capped(command, cap, env=None):
    """Runs command with its output in a file, killed after cap seconds.
    Wall time comes from here, peak RSS from GNU time."""
    output = tempfile.TemporaryFile()
    errors = tempfile.TemporaryFile()
    peak_file = tempfile.NamedTemporaryFile(prefix='bench-peak')
    start = time.time()
    # A session of its own, so that a kill reaches the command under time.
    process = subprocess.Popen([GNU_TIME, '-f', '%M', '-o', peak_file.name] + command,
                               stdout=output, stderr=errors, preexec_fn=os.setsid, env=env)
    killed = []

    def kill():
        killed.append(True)
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except OSError:
            pass
    timer = threading.Timer(cap, kill)
    timer.start()
    _, status, _ = os.wait4(process.pid, 0)
    run = Run()
    run.seconds = time.time() - start
    timer.cancel()
    process.returncode = status  # reaped here; keeps Popen from waiting again
    run.timed_out = bool(killed)
    run.status = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
    # time's last line is the peak in KiB; it says more first when the
    # command failed, and nothing when it was killed with the command.
    lines = peak_file.read().split()
    run.peak_mib = int(lines[-1]) / 1024.0 if lines and lines[-1].isdigit() else float('nan')
    output.seek(0)
    errors.seek(0)
    run.output = output.read()
    if not run.timed_out and run.status != 0:
        raise BenchError('%s failed (status %d): %s'
                         % (' '.join(command), run.status, errors.read().strip()))
    return run


def key_values(line):
    return dict((key, float(value)) for key, value in
                (item.split('=') for item in line.split()))


def md5_of_file(path):
    digest = hashlib.md5()
    with open(path, 'rb') as handle:
        for block in iter(lambda: handle.read(MIB), ''):
            digest.update(block)
    return digest.hexdigest()


# ---- children ---------------------------------------------------------------

def read(path):
    with open(path, 'rb') as handle:
        return handle.read()


def diff_child(old_path, new_path):
    """Only reads the pair and diffs, then reads its peak: that is the peak
    of a process that only diffs. Patch and sizes come after."""
    import core
    old, new = read(old_path), read(new_path)
    start = time.time()
    control, diff_block, extra_block = core.diff(old, new)
    diff_seconds = time.time() - start
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    patch_seconds = []
    for _ in range(3):
        start = time.time()
        rebuilt = core.patch(old, len(new), control, diff_block, extra_block)
        patch_seconds.append(time.time() - start)
        if rebuilt != new:
            sys.exit('patch did not rebuild %s' % new_path)
        del rebuilt
    # Callers store each entry as three 8-byte integers and compress the
    # three parts apart.
    parts = (''.join(core.encode_int64(item) for entry in control for item in entry),
             diff_block, extra_block)
    print(repr(dict(
        diff_seconds=diff_seconds, peak_mib=peak_kib / 1024.0,
        patch_seconds=min(patch_seconds), entries=len(control),
        raw=sum(len(part) for part in parts),
        bz2=sum(len(bz2.compress(part)) for part in parts),
        digests=[hashlib.md5(part).hexdigest() for part in parts])))


def threads_child(old_path, new_path):
    """Two diffs in sequence, then the same two on two threads at once; the
    better of two rounds each, since other work on the machine can only
    slow a round down."""
    import core
    old, new = read(old_path), read(new_path)
    expected = core.diff(old, new)
    sequential = threaded = float('inf')
    for _ in range(2):
        start = time.time()
        results = [core.diff(old, new) for _ in range(2)]
        sequential = min(sequential, time.time() - start)

        def work(index):
            results[index] = core.diff(old, new)
        results = [None, None]
        threads = [threading.Thread(target=work, args=(index,)) for index in range(2)]
        start = time.time()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        threaded = min(threaded, time.time() - start)
        if results != [expected, expected]:
            sys.exit('diff on two threads gave another Delta than in sequence')
    print(repr(dict(sequential=sequential, threaded=threaded, load=os.getloadavg()[0])))


def busy_child(old_path, new_path):
    """diff alone, then beside a thread that runs Python code without a
    pause (a diff that takes the interpreter lock back often waits for that
    thread every time), then beside the same loop in another process. Best
    of two rounds each."""
    import core
    old, new = read(old_path), read(new_path)

    def timed_diff():
        start = time.time()
        core.diff(old, new)
        return time.time() - start
    alone = beside = beside_process = float('inf')
    for _ in range(2):
        alone = min(alone, timed_diff())
        stop = threading.Event()

        def spin():
            count = 0
            while not stop.is_set():
                count += 1
        spinner = threading.Thread(target=spin)
        spinner.start()
        try:
            beside = min(beside, timed_diff())
        finally:
            stop.set()
            spinner.join()
        # The same loop in a process of its own takes a core as the thread
        # does but never the lock: what diff loses beside it is the share
        # of the cores, not the lock.
        looping = subprocess.Popen([sys.executable, '-c', 'while True: pass'])
        try:
            beside_process = min(beside_process, timed_diff())
        finally:
            looping.kill()
            looping.wait()
    print(repr(dict(alone=alone, beside=beside, beside_process=beside_process,
                    version='%d.%d' % sys.version_info[:2])))


def mapped_child(form, old_path, new_path):
    """One diff of the pair, read into byte strings (form 'bytes') or
    through mappings opened for reading (form 'mmap'); prints a digest of
    the Delta. Nothing but the diff holds much memory, so the process's peak
    is the diff's."""
    import core
    import mmap
    with open(old_path, 'rb') as old_file, open(new_path, 'rb') as new_file:
        if form == 'bytes':
            old, new = old_file.read(), new_file.read()
        else:
            old = mmap.mmap(old_file.fileno(), 0, access=mmap.ACCESS_READ)
            new = mmap.mmap(new_file.fileno(), 0, access=mmap.ACCESS_READ)
    control, diff_block, extra_block = core.diff(old, new)
    digest = hashlib.md5(diff_block)
    digest.update(extra_block)
    for entry in control:
        digest.update(repr(entry).encode('ascii'))
    print(repr(dict(digest=digest.hexdigest())))


def python_child(*arguments):
    return [sys.executable, os.path.abspath(__file__)] + list(arguments)


# ---- measurements -----------------------------------------------------------

def measure_ours(pair, tools, cap, thread_rounds):
    """Sort/scan split from the harness, diff/patch/peak through Python,
    sizes, the scan on several threads and diff with the rank array from
    the first search. Returns a dict; 'capped' is set when a diff hit the cap."""
    figures = dict(old=os.path.getsize(pair.old_path), new=os.path.getsize(pair.new_path),
                   capped=False)
    divsufsort = run_capped([os.path.join(tools, 'divsufsort_time'), pair.old_path], cap)
    figures['divsufsort_seconds'] = key_values(divsufsort.output)['seconds']
    out = os.path.join(WORK_DIR, pair.name)
    stages = run_capped([os.path.join(tools, 'diff_stages'), pair.old_path, pair.new_path, out],
                        cap)
    if stages.timed_out:
        figures['capped'] = True
        return figures
    figures.update(key_values(stages.output))
    child = run_capped(python_child('--diff-child', pair.old_path, pair.new_path), cap)
    if child.timed_out:
        figures['capped'] = True
        return figures
    figures.update(ast.literal_eval(child.output))
    parts = [out + suffix for suffix in ('.control', '.diff', '.extra')]
    if [md5_of_file(path) for path in parts] != figures['digests']:
        raise BenchError('%s: the harness and the module gave different Deltas' % pair.name)
    # The reference way: the built-in sort, one search at a time on one
    # thread, no rank array, never the mapped search. Its Delta must be the
    # module's.
    reference = run_capped([os.path.join(tools, 'diff_stages'), '--builtin-sort',
                            '--no-lookahead', '--rank', 'never', '--threads', '1', '--mapped',
                            'never', pair.old_path, pair.new_path, out + '-reference'], cap)
    figures['builtin_sort_seconds'] = None
    if not reference.timed_out:
        figures['builtin_sort_seconds'] = key_values(reference.output)['sort_seconds']
        reference_parts = [out + '-reference' + suffix
                           for suffix in ('.control', '.diff', '.extra')]
        if [md5_of_file(path) for path in reference_parts] != figures['digests']:
            raise BenchError('%s: the built-in sort and the plain search gave another Delta'
                             % pair.name)
        for path in reference_parts:
            os.remove(path)
    # xz -9 as the lzma a caller could use instead of bz2, part by part.
    figures['xz'] = sum(len(subprocess.check_output(['xz', '-9', '-T1', '-c', path]))
                        for path in parts)
    for path in parts:
        os.remove(path)
    figures['threads'] = measure_scan_threads(pair, tools, cap, figures['digests'],
                                              thread_rounds)
    figures['ranked'] = measure_ranked(pair, tools, cap, figures['digests'])
    return figures


def parts_digests(out):
    """The Delta diff_stages wrote to out.*, as digests; the files go."""
    parts = [out + suffix for suffix in ('.control', '.diff', '.extra')]
    digests = [md5_of_file(path) for path in parts]
    for path in parts:
        os.remove(path)
    return digests


def measure_scan_threads(pair, tools, cap, digests, rounds):
    """The scan on each of SCAN_THREADS threads: its seconds on the clock
    and in processor time (of all threads), the least of `rounds` runs
    taken by turns, so that other work on the machine slows them alike.
    Every run's Delta must be the module's. None when a run hit the cap."""
    best = {}
    out = os.path.join(WORK_DIR, pair.name + '-threads')
    for _ in range(rounds):
        for count in SCAN_THREADS:
            run = run_capped([os.path.join(tools, 'diff_stages'), '--threads', str(count),
                              pair.old_path, pair.new_path, out], cap)
            if run.timed_out:
                return None
            figures = key_values(run.output)
            if parts_digests(out) != digests:
                raise BenchError('%s: the scan on %d threads gave another Delta'
                                 % (pair.name, count))
            entry = best.setdefault(count, dict(scan_seconds=float('inf'),
                                                scan_cpu_seconds=float('inf')))
            for key in entry:
                entry[key] = min(entry[key], figures[key])
    return best


def measure_ranked(pair, tools, cap, digests):
    """diff as the driver runs it with the rank array from the first search,
    which diff does not build: its Delta must be the module's, and its peak
    (GNU time) within the budget of both arrays."""
    out = os.path.join(WORK_DIR, pair.name + '-ranked')
    run = run_capped([os.path.join(tools, 'diff_stages'), '--rank', 'always', pair.old_path,
                      pair.new_path, out], cap)
    if run.timed_out:
        return None
    if parts_digests(out) != digests:
        raise BenchError('%s: the scan with the rank array gave another Delta' % pair.name)
    figures = key_values(run.output)
    return dict(peak_mib=run.peak_mib, scan_seconds=figures['scan_seconds'])


PEERS = (
    ('xdelta3',
     lambda old, new, delta: ['xdelta3', '-e', '-9', '-f', '-s', old, new, delta],
     lambda old, delta, out: ['xdelta3', '-d', '-f', '-s', old, delta, out]),
    # One thread, as diff sorts and scans on one; the decoder must be allowed
    # a window as large as the one --long=31 lets the encoder use.
    ('zstd',
     lambda old, new, delta: ['zstd', '-q', '-f', '-19', '-T1', '--long=31',
                              '--patch-from=' + old, new, '-o', delta],
     lambda old, delta, out: ['zstd', '-q', '-f', '-d', '--long=31', '--memory=2048MB',
                              '--patch-from=' + old, delta, '-o', out]),
)


def measure_peers(pair, cap):
    figures = {}
    new_digest = md5_of_file(pair.new_path)
    for name, encode, decode in PEERS:
        delta = os.path.join(WORK_DIR, '%s.%s' % (pair.name, name))
        rebuilt = delta + '.out'
        encoded = run_capped(encode(pair.old_path, pair.new_path, delta), cap)
        decoded = run_capped(decode(pair.old_path, delta, rebuilt), cap)
        if encoded.timed_out or decoded.timed_out:
            raise BenchError('%s on %s took longer than %g s' % (name, pair.name, cap))
        if md5_of_file(rebuilt) != new_digest:
            raise BenchError('%s did not rebuild %s' % (name, pair.name))
        figures[name] = dict(size=os.path.getsize(delta), encode_seconds=encoded.seconds,
                             decode_seconds=decoded.seconds, encode_peak_mib=encoded.peak_mib,
                             decode_peak_mib=decoded.peak_mib)
        os.remove(delta)
        os.remove(rebuilt)
    return figures


def measure_busy(pair, cap, pythons):
    """The busy-thread figures under each interpreter given as
    (python, module folder)."""
    figures = []
    for python, module_dir in pythons:
        env = dict(os.environ, PYTHONPATH=module_dir)
        command = [python, os.path.abspath(__file__), '--busy-child', pair.old_path,
                   pair.new_path]
        run = run_capped(command, 4 * cap, env)
        if not run.timed_out:
            figures.append(ast.literal_eval(run.output))
    return figures


def measure_mapped(pair, cap, pythons):
    """Peak of a diff through byte strings and through read-only mmaps, each
    in a process of its own, under each Python 3 given as (python, module
    folder): [(version, bytes peak MiB, mmap peak MiB)]."""
    figures = []
    for python, module_dir in pythons:
        env = dict(os.environ, PYTHONPATH=module_dir)
        version = subprocess.check_output(
            [python, '-c', 'import sys; print("%d.%d" % sys.version_info[:2])']).decode().strip()
        if version.startswith('2.'):
            continue  # 2.7 copies every buffer
        runs = [run_capped([python, os.path.abspath(__file__), '--mapped-child', form,
                            pair.old_path, pair.new_path], cap, env)
                for form in ('bytes', 'mmap')]
        if any(run.timed_out for run in runs):
            continue
        if runs[0].output != runs[1].output:
            raise BenchError('%s under %s: diff through mmaps gave another Delta'
                             % (pair.name, python))
        figures.append((version, runs[0].peak_mib, runs[1].peak_mib))
    return figures


def measure_threads(pair, cap):
    run = run_capped(python_child('--threads-child', pair.old_path, pair.new_path), 4 * cap)
    return None if run.timed_out else ast.literal_eval(run.output)


def measure_scaling(tools, cap, sizes_mib):
    """Per series, [(size, stages figures or None when capped)]; a series
    stops at its first capped size, since larger ones can only take longer.
    Each point has its peak (GNU time); where the scan built the
    common-prefix index, also the peaks with the rank array from the start,
    on which the index builds, and refused, when the index holds ranks of
    its own as it did before there was one."""
    series = []
    for name, points in make_corpus.scaling_series(sizes_mib):
        measured = []
        for size, pair in points:
            command = [os.path.join(tools, 'diff_stages'), pair.old_path, pair.new_path]
            run = run_capped(command, cap)
            figures = None
            if not run.timed_out:
                figures = key_values(run.output)
                figures['peak_mib'] = run.peak_mib
                if figures['index_built']:
                    ranked = run_capped(command[:1] + ['--rank', 'always'] + command[1:], cap)
                    refused = run_capped(command[:1] + ['--rank', 'never'] + command[1:], cap)
                    if not ranked.timed_out and not refused.timed_out:
                        figures['peak_mib_ranked'] = ranked.peak_mib
                        figures['peak_mib_no_rank'] = refused.peak_mib
            measured.append((size, figures))
            log('  %s %d MiB: %s' % (name, size // MIB, 'capped' if run.timed_out
                                     else '%.2f s' % (figures['sort_seconds']
                                                      + figures['scan_seconds'])))
            if run.timed_out:
                break
        series.append((name, measured))
    return series


def log(message):
    sys.stderr.write(message + '\n')
    sys.stderr.flush()


# ---- report -----------------------------------------------------------------

def ratio(ours, theirs):
    return '%.3gx' % (float(ours) / theirs) if theirs else 'n/a'


def secs(seconds):
    return '%.3g' % seconds


def mb(size):
    return '%.2f' % (size / 1e6)


def budget_mib(figures, per_old_byte=8):
    # Arrays of 8 bytes per old byte (the suffix array and the rank array,
    # with either sort); two blocks per new byte, the inputs themselves, and
    # 32 MiB for the interpreter and the Delta's objects.
    return (per_old_byte * figures['old'] + 2 * figures['new'] + figures['old'] + figures['new']
            + 32 * MIB) / float(MIB)


def diff_budget_mib(figures):
    # diff as it runs: 4 bytes per old byte where libdivsufsort sorts (the
    # suffix array), 8 with the built-in sort (its ranks as well).
    return budget_mib(figures, 4 if figures['library_sort'] else 8)


def main_table(rows, cap):
    lines = [
        '| pair | old -> new MB | diff s (Python) | sort s | scan s | sort / divsufsort '
        '| scan / divsufsort | built-in sort / divsufsort '
        '| patch GB/s | diff peak MiB / budget | Delta raw MB | bz2 KB | xz KB '
        '| bz2 / xdelta3 size | bz2 / zstd size | diff / xdelta3 enc time '
        '| diff / zstd enc time | patch / xdelta3 dec time | patch / zstd dec time '
        '| diff peak / xdelta3 enc peak | diff peak / zstd enc peak |',
        '|' + '---|' * 21,
    ]
    for pair, ours, peers in rows:
        head = '| %s | %s -> %s ' % (pair.name, mb(ours['old']), mb(ours['new']))
        if ours['capped']:
            lines.append(head + '| > %g s cap |' % cap + ' |' * 19)
            continue
        xd, zs = peers['xdelta3'], peers['zstd']
        lines.append(head + '| ' + ' | '.join([
            secs(ours['diff_seconds']), secs(ours['sort_seconds']),
            secs(ours['scan_seconds']),
            ratio(ours['sort_seconds'], ours['divsufsort_seconds']),
            ratio(ours['scan_seconds'], ours['divsufsort_seconds']),
            'capped' if ours['builtin_sort_seconds'] is None else
            ratio(ours['builtin_sort_seconds'], ours['divsufsort_seconds']),
            '%.2f' % (ours['new'] / ours['patch_seconds'] / 1e9),
            '%.0f / %.0f' % (ours['peak_mib'], diff_budget_mib(ours)),
            mb(ours['raw']), '%.1f' % (ours['bz2'] / 1e3), '%.1f' % (ours['xz'] / 1e3),
            ratio(ours['bz2'], xd['size']), ratio(ours['bz2'], zs['size']),
            ratio(ours['diff_seconds'], xd['encode_seconds']),
            ratio(ours['diff_seconds'], zs['encode_seconds']),
            ratio(ours['patch_seconds'], xd['decode_seconds']),
            ratio(ours['patch_seconds'], zs['decode_seconds']),
            ratio(ours['peak_mib'], xd['encode_peak_mib']),
            ratio(ours['peak_mib'], zs['encode_peak_mib'])]) + ' |')
    return lines


def peer_table(rows):
    lines = ['| pair | xdelta3 KB | enc s | dec s | enc / dec peak MiB '
             '| zstd KB | enc s | dec s | enc / dec peak MiB | divsufsort s |',
             '|' + '---|' * 10]
    for pair, ours, peers in rows:
        cells = [pair.name]
        for name in ('xdelta3', 'zstd'):
            peer = peers[name]
            cells += ['%.1f' % (peer['size'] / 1e3), secs(peer['encode_seconds']),
                      secs(peer['decode_seconds']),
                      '%.0f / %.0f' % (peer['encode_peak_mib'], peer['decode_peak_mib'])]
        cells.append(secs(ours['divsufsort_seconds']))
        lines.append('| ' + ' | '.join(cells) + ' |')
    return lines


def per_mib(figures, size, stage):
    return figures[stage] / (float(size) / MIB)


def diff_per_mib(figures, size):
    return per_mib(figures, size, 'sort_seconds') + per_mib(figures, size, 'scan_seconds')


def scaling_table(series, cap):
    sizes = sorted(set(size for _, points in series for size, _ in points))
    lines = ['| size MiB | ' + ' | '.join('%s: sort s/MiB | scan s/MiB' % name
                                          for name, _ in series) + ' |',
             '|' + '---|' * (1 + 2 * len(series))]
    for size in sizes:
        cells = ['%d' % (size // MIB)]
        for _, points in series:
            found = dict(points)
            if size not in found:
                cells += ['skipped', 'skipped']
            elif found[size] is None:
                cells += ['> %g s cap' % cap, '']
            else:
                cells += ['%.3f' % per_mib(found[size], size, 'sort_seconds'),
                          '%.3f' % per_mib(found[size], size, 'scan_seconds')]
        lines.append('| ' + ' | '.join(cells) + ' |')
    return lines


def verdict(passed):
    return '**met**' if passed else '**not met**'


def targets(rows, series, sizes_mib):
    by_name = dict((pair.name, (ours, peers)) for pair, ours, peers in rows)
    done = lambda name: name in by_name and not by_name[name][0]['capped']
    lines = []
    for name in SORT_TARGET_PAIRS:
        if done(name):
            ours = by_name[name][0]
            value = ours['sort_seconds'] / ours['divsufsort_seconds']
            lines.append('- Suffix sort at most 1.1x libdivsufsort on %s: %.2fx, %s'
                         % (name, value, verdict(value <= 1.1)))
    real = [(pair.name, ours) for pair, ours, _ in rows if pair.real and not ours['capped']]
    for name, ours in real:
        value = ours['scan_seconds'] / ours['divsufsort_seconds']
        lines.append('- Scan at most %gx libdivsufsort on %s: %.2fx, %s'
                     % (SCAN_TARGET, name, value, verdict(value <= SCAN_TARGET)))
    for name, limit in DIFF_TIME_TARGETS:
        if done(name):
            ours, peers = by_name[name]
            value = ours['diff_seconds'] / peers['xdelta3']['encode_seconds']
            lines.append('- diff through Python at most %gx xdelta3 -9 encode time on %s: '
                         '%.2fx, %s' % (limit, name, value, verdict(value <= limit)))
    for name, points in series:
        limit = GROWTH_LIMITS.get(name, LONG_PERIOD_GROWTH_LIMIT)
        first, last = points[0], points[-1]
        if first[1] is None or last[1] is None:
            lines.append('- diff time per MiB grows at most %gx from %d to %d MiB on %s: '
                         'capped at %d MiB, %s' % (limit, first[0] // MIB, max(sizes_mib), name,
                                                   last[0] // MIB, verdict(False)))
            continue
        value = diff_per_mib(last[1], last[0]) / diff_per_mib(first[1], first[0])
        lines.append('- diff time per MiB (sort + scan) grows at most %gx from %d to %d MiB on '
                     '%s: %.2fx (the sort alone %.2fx), %s'
                     % (limit, first[0] // MIB, last[0] // MIB, name, value,
                        per_mib(last[1], last[0], 'sort_seconds')
                        / per_mib(first[1], first[0], 'sort_seconds'), verdict(value <= limit)))
    for name in LARGE_PAIRS:
        if done(name):
            ours = by_name[name][0]
            value = ours['new'] / ours['patch_seconds'] / 1e9
            lines.append('- patch at least 2 GB/s on %s: %.2f GB/s, %s'
                         % (name, value, verdict(value >= 2)))
    lines += thread_targets(rows)
    lines += memory_targets(rows, series)
    for name in BINARY_PAIRS:
        if done(name):
            ours, peers = by_name[name]
            lines.append('- bz2 Delta smaller than xdelta3 -9 on %s: %.2fx its size, %s'
                         % (name, float(ours['bz2']) / peers['xdelta3']['size'],
                            verdict(ours['bz2'] < peers['xdelta3']['size'])))
    zstd_wins = ['%s (%.2fx)' % (pair.name, float(ours['bz2']) / peers['zstd']['size'])
                 for pair, ours, peers in rows
                 if not ours['capped'] and peers['zstd']['size'] < ours['bz2']]
    lines.append('- Where zstd -19 still gives the smaller delta (our bz2 Delta / zstd): %s'
                 % (', '.join(zstd_wins) if zstd_wins else 'nowhere'))
    return lines


def thread_targets(rows):
    """The scan's processor time on N threads against one thread's, and the
    two-thread speed-up, from measure_scan_threads."""
    lines = []
    for pair, ours, _ in rows:
        threads = None if ours['capped'] else ours['threads']
        if not threads or threads[1]['scan_cpu_seconds'] <= THREAD_CPU_MIN_SECONDS:
            continue
        ratios = [(count, threads[count]['scan_cpu_seconds'] / threads[1]['scan_cpu_seconds'])
                  for count in SCAN_THREADS[1:]]
        lines.append('- Scan processor time on N threads at most %gx one thread\'s on %s: %s, %s'
                     % (THREAD_CPU_TARGET, pair.name,
                        ', '.join('%d: %.2fx' % item for item in ratios),
                        verdict(max(value for _, value in ratios) <= THREAD_CPU_TARGET)))
    for pair, ours, _ in rows:
        if pair.name == SPEEDUP_PAIR and not ours['capped'] and ours['threads']:
            threads = ours['threads']
            value = threads[1]['scan_seconds'] / threads[2]['scan_seconds']
            lines.append('- Scan on two threads at least %gx as fast as on one on %s: %.2fx, %s'
                         % (SPEEDUP_TARGET, pair.name, value, verdict(value >= SPEEDUP_TARGET)))
    return lines


def memory_targets(rows, series):
    """diff's peak against its budget, and (through the driver) with the
    rank array from the first search; and where the common-prefix index is built, the
    peak against the one with the index holding ranks of its own."""
    done = [(pair.name, ours) for pair, ours, _ in rows if not ours['capped']]
    lines = []
    if done:
        worst = max(((name, ours['peak_mib'] / diff_budget_mib(ours)) for name, ours in done),
                    key=lambda item: item[1])
        lines.append('- diff peak memory within 4 x old (8 x old with the built-in sort) + 2 x '
                     'new + inputs + 32 MiB on every pair: worst is %s at %.2f of the budget, %s'
                     % (worst[0], worst[1], verdict(worst[1] <= 1)))
    ranked = [(name, ours['ranked']['peak_mib'] / budget_mib(ours))
              for name, ours in done if ours['ranked']]
    if ranked:
        worst = max(ranked, key=lambda item: item[1])
        lines.append('- With the rank array from the first search, the same Deltas on every '
                     'pair, within 8 x old + 2 x new + inputs + 32 MiB: worst is %s at %.2f of '
                     'the budget, %s' % (worst[0], worst[1], verdict(worst[1] <= 1)))
    for name, points in series:
        built = [(size, figures) for size, figures in points
                 if figures is not None and 'peak_mib_no_rank' in figures]
        if not built:
            continue
        # The largest excess over the sizes; a MiB or two is the noise of
        # the resident set's measure.
        size, figures = max(built, key=lambda point: point[1]['peak_mib_ranked']
                            - point[1]['peak_mib_no_rank'])
        excess = figures['peak_mib_ranked'] - figures['peak_mib_no_rank']
        lines.append('- Where the common-prefix index is built, the peak with the rank array no '
                     'higher than with the index\'s own ranks, on %s (%s MiB): at most %+.1f MiB '
                     '(%.0f against %.0f MiB at %d MiB), %s'
                     % (name, ', '.join('%d' % (point_size // MIB) for point_size, _ in built),
                        excess, figures['peak_mib_ranked'], figures['peak_mib_no_rank'],
                        size // MIB, verdict(excess <= PEAK_NOISE_MIB)))
    return lines


def scan_threads_lines(rows):
    """The scan on each thread count, per pair: seconds on the clock and in
    processor time."""
    lines = ['| pair | ' + ' | '.join('%d thread%s s (cpu s)' % (count, '' if count == 1 else 's')
                                     for count in SCAN_THREADS)
             + ' | cpu ratios 2/4/8 to 1 | speed-up on 2 |',
             '|' + '---|' * (len(SCAN_THREADS) + 3)]
    for pair, ours, _ in rows:
        threads = None if ours['capped'] else ours['threads']
        if not threads:
            lines.append('| %s | capped |' % pair.name + ' |' * (len(SCAN_THREADS) + 1))
            continue
        cells = ['%s (%s)' % (secs(threads[count]['scan_seconds']),
                              secs(threads[count]['scan_cpu_seconds'])) for count in SCAN_THREADS]
        cells.append(' / '.join('%.2f' % (threads[count]['scan_cpu_seconds']
                                         / threads[1]['scan_cpu_seconds'])
                                for count in SCAN_THREADS[1:]))
        cells.append('%.2fx' % (threads[1]['scan_seconds'] / threads[2]['scan_seconds']))
        lines.append('| %s | %s |' % (pair.name, ' | '.join(cells)))
    return lines


def memory_lines(rows):
    """Peaks per pair: diff through Python, and the driver with the rank
    array from the first search, each against its budget."""
    lines = ['| pair | diff peak MiB / budget (4 x old) | rank array from the first search: '
             'peak MiB / budget (8 x old) | scan s with the rank array / as diff runs |',
             '|---|---|---|---|']
    for pair, ours, _ in rows:
        if ours['capped']:
            lines.append('| %s | capped | | |' % pair.name)
            continue
        ranked = ours['ranked']
        lines.append('| %s | %.0f / %.0f | %s | %s |'
                     % (pair.name, ours['peak_mib'], diff_budget_mib(ours),
                        '%.0f / %.0f' % (ranked['peak_mib'], budget_mib(ours))
                        if ranked else 'capped',
                        ratio(ranked['scan_seconds'], ours['scan_seconds']) if ranked else ''))
    return lines


def write_svg(path, series, cap):
    """Seconds per MiB (sort + scan) against size, both axes logarithmic so
    that a fast series and a slow one both show their slope; a capped size
    shows as a mark at the top edge."""
    width, height, left, right, top, bottom = 640, 360, 70, 150, 20, 50
    sizes = list(make_corpus.SCALING_SIZES_MIB)
    values = [per_mib(f, s, 'sort_seconds') + per_mib(f, s, 'scan_seconds')
              for _, points in series for s, f in points if f is not None]
    values = values or [1.0]
    low_decade = int(math.floor(math.log10(min(values))))
    high_decade = max(low_decade + 1, int(math.ceil(math.log10(max(values)))))
    colours = ('#1f77b4', '#d62728', '#2ca02c', '#9467bd')

    def x_of(size_mib):
        step = (width - left - right) / float(max(1, len(sizes) - 1))
        return left + step * sizes.index(size_mib)

    def y_of(value):
        share = (math.log10(value) - low_decade) / float(high_decade - low_decade)
        return top + (height - top - bottom) * (1 - share)
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
           'font-family="sans-serif" font-size="12">' % (width, height),
           '<rect width="100%" height="100%" fill="white"/>',
           '<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>'
           % (left, height - bottom, width - right, height - bottom),
           '<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>'
           % (left, top, left, height - bottom),
           '<text x="%d" y="%d" text-anchor="middle">size of old and new, MiB</text>'
           % ((left + width - right) // 2, height - 10),
           '<text x="15" y="%d" transform="rotate(-90 15 %d)" text-anchor="middle">'
           'diff seconds per MiB (sort + scan)</text>' % (height // 2, height // 2)]
    for size in sizes:
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%d</text>'
                   % (x_of(size), height - bottom + 16, size))
    for decade in range(low_decade, high_decade + 1):
        value = 10.0 ** decade
        out.append('<text x="%d" y="%.1f" text-anchor="end">%.3g</text>'
                   % (left - 6, y_of(value) + 4, value))
    for index, (name, points) in enumerate(series):
        colour = colours[index % len(colours)]
        coords = ['%.1f,%.1f' % (x_of(s // MIB), y_of(per_mib(f, s, 'sort_seconds')
                                                       + per_mib(f, s, 'scan_seconds')))
                  for s, f in points if f is not None]
        if coords:
            out.append('<polyline fill="none" stroke="%s" stroke-width="2" points="%s"/>'
                       % (colour, ' '.join(coords)))
        for coord in coords:
            x, y = coord.split(',')
            out.append('<circle cx="%s" cy="%s" r="3" fill="%s"/>' % (x, y, colour))
        for s, f in points:
            if f is None:
                out.append('<text x="%.1f" y="%d" fill="%s" text-anchor="middle">'
                           '&gt; %gs cap</text>' % (x_of(s // MIB), top + 12, colour, cap))
        legend_y = top + 20 * (index + 1)
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2"/>'
                   % (width - right + 10, legend_y, width - right + 30, legend_y, colour))
        out.append('<text x="%d" y="%d">%s</text>' % (width - right + 35, legend_y + 4, name))
    out.append('</svg>')
    with open(path, 'w') as handle:
        handle.write('\n'.join(out) + '\n')


def revision():
    try:
        head = subprocess.check_output(['git', 'rev-parse', '--short', 'HEAD'],
                                       cwd=make_corpus.REPO_ROOT).strip()
        dirty = subprocess.call(['git', 'diff', '--quiet', 'HEAD', '--', 'delta', 'patch',
                                 'codec', 'module'], cwd=make_corpus.REPO_ROOT)
        return head + (' with local changes to the module' if dirty else '')
    except (OSError, subprocess.CalledProcessError):
        return 'unknown'


def mapped_targets(mapped, pair):
    if pair.name != MAPPED_TARGET_PAIR:
        return []
    return ['- diff of %s through read-only mmaps at most %d MiB above its peak through byte '
            'strings on Python %s: %+.1f MiB (%.0f against %.0f MiB), %s'
            % (pair.name, MAPPED_PEAK_TARGET_MIB, version, mapped_peak - bytes_peak,
               mapped_peak, bytes_peak, verdict(mapped_peak - bytes_peak <= MAPPED_PEAK_TARGET_MIB))
            for version, bytes_peak, mapped_peak in mapped]


def mapped_lines(mapped, pair):
    if not mapped:
        return ['diff through read-only mmaps was not measured.']
    return ['Peak memory of a process that diffs %s, reading the files into byte strings or '
            'mapping them for reading (the mapped pages count as they are read):' % pair.name,
            ''] + ['- Python %s: %.0f MiB through byte strings, %.0f MiB through mmaps (%+.1f MiB)'
                   % (version, bytes_peak, mapped_peak, mapped_peak - bytes_peak)
                   for version, bytes_peak, mapped_peak in mapped]


def busy_lines(busy, pair):
    if not busy:
        return ['diff beside a busy thread was not measured.']
    return ['diff of %s alone and beside one thread running a Python loop, best of two '
            'rounds:' % pair.name, ''] + [
        '- Python %s: %.2f s alone, %.2f s beside the thread (%.2f of its speed), %.2f s '
        'beside the same loop in a process of its own (%.2f)'
        % (figures['version'], figures['alone'], figures['beside'],
           figures['alone'] / figures['beside'], figures['beside_process'],
           figures['alone'] / figures['beside_process']) for figures in busy]


def write_results(path, svg_name, rows, threads, thread_pair, series, args, seconds, busy,
                  busy_pair, mapped, mapped_pair):
    preamble = ''
    if os.path.exists(path):
        preamble = read(path).split(GENERATED_MARK)[0]
    lines = [GENERATED_MARK, '',
             'Run of %s, revision %s, %s mode, diff cap %g s, %.0f s in all; load average '
             '%.2f at the start, %.2f at the end (2 means both cores were busy with other '
             'work as well).'
             % (time.strftime('%Y-%m-%d %H:%M'), revision(), 'quick' if args.quick else 'full',
                args.cap, seconds, args.load_at_start, os.getloadavg()[0]), '',
             '### Targets', ''] + targets(rows, series, args.sizes) + (
             mapped_targets(mapped, mapped_pair)) + [
             '', '### diff and patch against the peers', '',
             'Ratios are ours over the peer: below 1 we are smaller, faster or leaner. '
             'diff, patch and the peak are through Python; sort and scan are the '
             'same Delta computed by `diff_stages`.', ''] + main_table(rows, args.cap) + [
             '', '### The peers alone', ''] + peer_table(rows) + ['', '### Threads', '']
    lines += ['The scan on 1, 2, 4 and 8 threads (`diff_stages --threads N`, the least of '
              'the rounds taken by turns): seconds on the clock, with its processor time '
              '(every thread\'s) in brackets. The machine has %d cores: more threads than '
              'that cannot run faster, and show the work that cutting the new data into '
              'pieces adds.' % (os.sysconf('SC_NPROCESSORS_ONLN')), ''] + \
        scan_threads_lines(rows) + ['']
    if threads:
        lines.append('Two diffs of %s on two Python threads, best of two rounds: %.2f s in '
                     'sequence, %.2f s at once: %.2fx the throughput. Each diff scans on every '
                     'core already, so two at once gain only where one sorts on a single '
                     'core. Load average after the rounds: %.2f.'
                     % (thread_pair.name, threads['sequential'], threads['threaded'],
                        threads['sequential'] / threads['threaded'], threads['load']))
    else:
        lines.append('Two diffs of %s on two threads took longer than the cap.'
                     % thread_pair.name)
    lines += ['', '### Memory', '',
              'Peak memory of a process that only diffs: through Python (as in the main '
              'table), and through `diff_stages --rank always`, the driver with the rank array '
              'from the first search, whose Delta must be the module\'s. diff does not build the '
              'array: the last column is the scan\'s time with it over diff\'s.', ''] + memory_lines(rows)
    lines += ['', '### Beside a busy Python thread', ''] + busy_lines(busy, busy_pair)
    lines += ['', '### Through read-only mmaps', ''] + mapped_lines(mapped, mapped_pair)
    lines += ['', '### Scaling', '',
              'diff_stages on prefixes of the stdlib-tar pair and on the repetitive and '
              'long-period pairs (65, 1,000 and 65,536 random bytes repeated, one byte '
              'inserted in the middle) generated at each size; a series stops at its first '
              'capped size.', '',
              ] + scaling_table(series, args.cap) + ['', '![time per MiB against size](%s)'
                                                     % svg_name, '']
    with open(path, 'w') as handle:
        handle.write(preamble + '\n'.join(lines))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--tools', default=os.path.join(make_corpus.REPO_ROOT, 'build',
                                                        'cmake-bench', 'bench'),
                        help='folder of diff_stages and divsufsort_time')
    parser.add_argument('--quick', action='store_true',
                        help='small pairs only, scaling up to 2 MiB')
    parser.add_argument('--cap', type=float, default=120,
                        help='seconds after which a diff is stopped (default 120)')
    parser.add_argument('--output', help='default bench/results.md, or '
                        'build/bench/results-quick.md with --quick')
    parser.add_argument('--diff-child', nargs=2, help=argparse.SUPPRESS)
    parser.add_argument('--threads-child', nargs=2, help=argparse.SUPPRESS)
    parser.add_argument('--busy-child', nargs=2, help=argparse.SUPPRESS)
    parser.add_argument('--mapped-child', nargs=3, help=argparse.SUPPRESS)
    parser.add_argument('--also', action='append', default=[], metavar='PYTHON=MODULE_DIR',
                        help='another interpreter, with its module, for the busy-thread figure '
                        'and, a Python 3, for the read-only mmap one')
    args = parser.parse_args(argv)
    if args.diff_child:
        return diff_child(*args.diff_child)
    if args.threads_child:
        return threads_child(*args.threads_child)
    if args.busy_child:
        return busy_child(*args.busy_child)
    if args.mapped_child:
        return mapped_child(*args.mapped_child)

    if args.output is None:
        args.output = (os.path.join(make_corpus.REPO_ROOT, 'build', 'bench', 'results-quick.md')
                       if args.quick else os.path.join(HERE, 'results.md'))
    args.sizes = [size for size in make_corpus.SCALING_SIZES_MIB
                  if not args.quick or size <= 2]
    started = time.time()
    args.load_at_start = os.getloadavg()[0]
    if not os.path.isdir(WORK_DIR):
        os.makedirs(WORK_DIR)
    log('corpus in %s' % make_corpus.CORPUS_DIR)
    pairs = make_corpus.main_pairs(args.quick)
    rows = []
    try:
        for pair in pairs:
            log('%s: diff' % pair.name)
            ours = measure_ours(pair, args.tools, args.cap, 1 if args.quick else 2)
            log('%s: peers' % pair.name)
            rows.append((pair, ours, measure_peers(pair, args.cap)))
        log('scaling')
        series = measure_scaling(args.tools, args.cap, args.sizes)
        thread_pair = make_corpus.tar_prefix_pair(4 if args.quick else 8)
        log('threads on %s' % thread_pair.name)
        threads = measure_threads(thread_pair, args.cap)
        busy_pair = [pair for pair in pairs if pair.name == 'lib-stripped'][0]
        log('beside a busy thread on %s' % busy_pair.name)
        busy = measure_busy(busy_pair, args.cap,
                            [(sys.executable, os.environ.get('PYTHONPATH', ''))] +
                            [tuple(also.split('=', 1)) for also in args.also])
        names = [pair.name for pair in pairs]
        mapped_pair = pairs[names.index(MAPPED_TARGET_PAIR if MAPPED_TARGET_PAIR in names
                                        else 'lib-stripped')]
        log('through read-only mmaps on %s' % mapped_pair.name)
        mapped = measure_mapped(mapped_pair, args.cap,
                                [tuple(also.split('=', 1)) for also in args.also])
    except BenchError as error:
        log('bench: %s' % error)
        return 1
    svg_name = os.path.splitext(os.path.basename(args.output))[0] + '-scaling.svg'
    write_svg(os.path.join(os.path.dirname(os.path.abspath(args.output)), svg_name),
              series, args.cap)
    write_results(args.output, svg_name, rows, threads, thread_pair, series, args,
                  time.time() - started, busy, busy_pair, mapped, mapped_pair)
    log('wrote %s and %s in %.0f s' % (args.output, svg_name, time.time() - started))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
