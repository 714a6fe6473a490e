"""Builds the benchmark's file pairs under build/bench/corpus.

Real pairs come from the interpreters pyenv keeps (nobody here wrote them,
and every machine of ours has them): the same executable and the same shared
library from adjacent versions, one standard-library source file, and a tar
of each version's standard-library sources. Synthetic pairs come from a
fixed seed. Files already built are reused, so reruns start at once.

Usage: make_corpus.py [--quick]   (prints the pairs it built)
       make_corpus.py --differential
The second form builds the binary pairs of the differential test suite
(tests/differential) and prints one line per pair, "NAME<TAB>OLD<TAB>NEW",
for tools/run-tests to hand over; what it had to do without goes to stderr.
"""

import glob
import os
import random
import subprocess
import sys
import tarfile

MIB = 1 << 20
SEED = 2718
REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Bump the suffix when a generator changes, so that no stale pair is reused.
CORPUS_DIR = os.path.join(REPO_ROOT, 'build', 'bench', 'corpus-1')
SCALING_SIZES_MIB = (1, 2, 4, 8, 16, 32)
SENTENCE = 'The quick brown fox jumps over the lazy dog. '


class Pair(object):
    def __init__(self, name, real, description, old_path, new_path):
        self.name = name
        self.real = real
        self.description = description
        self.old_path = old_path
        self.new_path = new_path


_pyenv_root = []  # asked once: pyenv's shim takes a while to answer


def pyenv_root():
    if not _pyenv_root:
        try:
            _pyenv_root.append(subprocess.check_output(['pyenv', 'root']).strip())
        except (OSError, subprocess.CalledProcessError):
            _pyenv_root.append(os.path.expanduser('~/.pyenv'))
    return _pyenv_root[0]


def installed_version_dir(minor):
    """The newest installed 3.<minor>.x under pyenv, or None."""
    found = sorted(glob.glob(os.path.join(pyenv_root(), 'versions', '3.%d.*' % minor)),
                   key=lambda path: [int(part) for part in
                                     os.path.basename(path).split('.') if part.isdigit()])
    return found[-1] if found else None


def version_dir(minor):
    found = installed_version_dir(minor)
    if found is None:
        raise SystemExit('make_corpus: Python 3.%d is not installed under %s/versions'
                         % (minor, pyenv_root()))
    return found


def installed_library(minor):
    """The shared library of 3.<minor> (libpython3.<minor>m up to 3.7), or None."""
    found = installed_version_dir(minor)
    if found is None:
        return None
    for name in ('libpython3.%d.so.1.0' % minor, 'libpython3.%dm.so.1.0' % minor):
        if os.path.isfile(os.path.join(found, 'lib', name)):
            return os.path.join(found, 'lib', name)
    return None


def library(minor):
    found = installed_library(minor)
    if found is None:
        raise SystemExit('make_corpus: no libpython3.%d under %s/versions'
                         % (minor, pyenv_root()))
    return found


def cached(path, make):
    """Runs make(temporary_path) unless path exists; a run cut short leaves
    no half-written file behind to be reused."""
    if not os.path.exists(path):
        partial = path + '.partial'
        make(partial)
        os.rename(partial, path)
    return path


def copy_from(source):
    def make(path):
        with open(source, 'rb') as handle:
            data = handle.read()
        with open(path, 'wb') as handle:
            handle.write(data)
    return make


def stripped(source):
    return lambda path: subprocess.check_call(['strip', '-o', path, source])


def source_tar(minor):
    """The .py files of the standard library (site-packages left out: it
    differs between machines), in sorted order with neutral owners and
    times, so that a tar differs between versions only where the sources do
    and is the same on every machine."""
    root = os.path.join(version_dir(minor), 'lib', 'python3.%d' % minor)

    def make(path):
        archive = tarfile.open(path, 'w', format=tarfile.GNU_FORMAT)
        for directory, subdirs, names in os.walk(root):
            subdirs[:] = sorted(d for d in subdirs if d != 'site-packages')
            for name in sorted(names):
                if not name.endswith('.py'):
                    continue
                full = os.path.join(directory, name)
                if not os.path.isfile(full) or os.path.islink(full):
                    continue
                info = archive.gettarinfo(full, 'lib/' + os.path.relpath(full, root))
                info.mtime = 0
                info.uid = info.gid = 0
                info.uname = info.gname = ''
                info.mode = 0o644
                with open(full, 'rb') as handle:
                    archive.addfile(info, handle)
        archive.close()
    return make


def random_bytes(rng, length):
    if length <= 0:
        return ''
    return ('%0*x' % (2 * length, rng.getrandbits(8 * length))).decode('hex')


def edited_random(size, seed):
    """size bytes of random data, and a copy with scattered insertions,
    deletions, overwrites and moved blocks: data with no inner repeats, so
    every match the scan finds is one an edit left."""
    rng = random.Random(seed)
    old = random_bytes(rng, size)
    new = bytearray(old)
    for _ in range(max(8, size // (16 * 1024))):
        kind = rng.randrange(4)
        length = rng.randint(1, 4096)
        at = rng.randrange(len(new))
        if kind == 0:
            new[at:at] = random_bytes(rng, length)
        elif kind == 1:
            del new[at:at + length]
        elif kind == 2:
            new[at:at + length] = random_bytes(rng, len(new[at:at + length]))
        else:
            block = new[at:at + length]
            del new[at:at + length]
            target = rng.randrange(len(new) + 1)
            new[target:target] = block
    return old, str(new)


def repeated_sentence(size, seed):
    """A short sentence repeated to size bytes, and a copy with a few edits.
    Nearly every suffix shares a long prefix with many others: the hard case
    for both the sort and the search."""
    rng = random.Random(seed)
    old = (SENTENCE * (size // len(SENTENCE) + 1))[:size]
    new = bytearray(old)
    for edit in range(6):
        at = rng.randrange(len(new))
        if edit % 3 == 0:
            new[at:at + 3] = 'cat'
        elif edit % 3 == 1:
            new[at:at] = 'A sentence nobody repeated. '
        else:
            del new[at:at + 100]
    return old, str(new)


def long_period(period):
    """A generator of `period` random bytes repeated to size bytes, and a
    copy with one byte inserted in the middle: every suffix agrees with one
    in `period` of all the others to the end, with a period longer than the
    stretches the search's aids list."""
    def generate(size, seed):
        rng = random.Random(seed)
        unit = random_bytes(rng, period)
        old = (unit * (size // len(unit) + 1))[:size]
        return old, old[:size // 2] + '!' + old[size // 2:]
    return generate


# The long periods of the scaling series: just past what the aids list, a
# text-like line length, and one past any cache a search could lean on.
LONG_PERIODS = (65, 1000, 65536)


def generated(generator, size, seed):
    """Both sides of a generated pair, written in one go."""
    def write_pair(old_path, new_path):
        if os.path.exists(old_path) and os.path.exists(new_path):
            return
        old, new = generator(size, seed)
        for path, data in ((old_path, old), (new_path, new)):
            with open(path + '.partial', 'wb') as handle:
                handle.write(data)
            os.rename(path + '.partial', path)
    return write_pair


def make_corpus_dir():
    if not os.path.isdir(CORPUS_DIR):
        os.makedirs(CORPUS_DIR)


def path_of(name, side):
    return os.path.join(CORPUS_DIR, '%s.%s' % (name, side))


def real_pair(name, description, make_old, make_new):
    return Pair(name, True, description,
                cached(path_of(name, 'old'), make_old),
                cached(path_of(name, 'new'), make_new))


def synthetic_pair(name, description, write_pair):
    old_path, new_path = path_of(name, 'old'), path_of(name, 'new')
    write_pair(old_path, new_path)
    return Pair(name, False, description, old_path, new_path)


def main_pairs(quick=False):
    """The pairs of the main table; quick leaves out the two ~30 MB ones and
    shrinks the repetitive one."""
    make_corpus_dir()
    pairs = [
        real_pair('exe', 'python3.12 -> python3.13 executable (with debug info)',
                  copy_from(os.path.join(version_dir(12), 'bin', 'python3.12')),
                  copy_from(os.path.join(version_dir(13), 'bin', 'python3.13'))),
        stripped_library_pair('lib-stripped', 11, 12),
    ]
    if not quick:
        pairs.append(real_pair('lib-debug', 'libpython3.12 -> 3.13, with debug info',
                               copy_from(library(12)), copy_from(library(13))))
    pairs.append(real_pair(
        'source', 'argparse.py of 3.12 -> 3.13',
        copy_from(os.path.join(version_dir(12), 'lib', 'python3.12', 'argparse.py')),
        copy_from(os.path.join(version_dir(13), 'lib', 'python3.13', 'argparse.py'))))
    if not quick:
        pairs.append(stdlib_tar_pair())
    pairs.append(synthetic_pair(
        'random', '4 MiB random, scattered edits and moved blocks (seed %d)' % SEED,
        generated(edited_random, 4 * MIB, SEED)))
    repetitive_size = MIB // 4 if quick else 2 * MIB
    pairs.append(synthetic_pair(
        'repetitive', '%g MiB of one sentence, 6 edits (seed %d)'
        % (float(repetitive_size) / MIB, SEED),
        generated(repeated_sentence, repetitive_size, SEED)))
    return pairs


def stripped_library_pair(name, old_minor, new_minor):
    return real_pair(name, 'libpython3.%d -> 3.%d, stripped' % (old_minor, new_minor),
                     stripped(library(old_minor)), stripped(library(new_minor)))


# The differential suite compares diff's fast ways with its reference way,
# whose plain search takes about 1.5 s per MiB: two pairs of libraries of
# several MiB, the bench's lib-stripped and the next one.
DIFFERENTIAL_LIBRARIES = ((11, 12), (12, 13))


def differential_pairs():
    """The differential suite's pairs. Where an interpreter is missing it
    says so on stderr and takes the libraries of other neighbouring versions
    that are there, the newest first; with fewer than two it returns what
    it has, and the suite fails on too few."""
    make_corpus_dir()
    installed = [minor for minor in range(100) if installed_library(minor) is not None]
    chosen = []
    for old_minor, new_minor in DIFFERENTIAL_LIBRARIES:
        if old_minor in installed and new_minor in installed:
            chosen.append((old_minor, new_minor))
            continue
        missing = [minor for minor in (old_minor, new_minor) if minor not in installed]
        others = [(older, newer) for older, newer in reversed(list(zip(installed, installed[1:])))
                  if (older, newer) not in chosen and
                  (older, newer) not in DIFFERENTIAL_LIBRARIES]
        sys.stderr.write('make_corpus: no libpython %s under %s/versions: %s\n' % (
            ' or '.join('3.%d' % minor for minor in missing), pyenv_root(),
            'taking 3.%d -> 3.%d instead' % others[0] if others else 'no other pair of them'))
        if others:
            chosen.append(others[0])
    return [stripped_library_pair('lib-stripped-3.%d-3.%d' % versions, *versions)
            for versions in chosen]


def stdlib_tar_pair():
    return real_pair('stdlib-tar', 'tar of the standard library .py files, 3.12 -> 3.13',
                     source_tar(12), source_tar(13))


def prefix_of(source, size):
    def make(path):
        with open(source, 'rb') as handle:
            data = handle.read(size)
        with open(path, 'wb') as handle:
            handle.write(data)
    return make


def tar_prefix_pair(size_mib):
    """The first size_mib MiB of both sides of the standard library tar."""
    tar = stdlib_tar_pair()
    name = 'stdlib-tar-%dM' % size_mib
    return Pair(name, True, name,
                cached(path_of(name, 'old'), prefix_of(tar.old_path, size_mib * MIB)),
                cached(path_of(name, 'new'), prefix_of(tar.new_path, size_mib * MIB)))


def scaling_series(sizes_mib):
    """(series name, [(size in bytes, Pair)]): prefixes of the standard
    library tar pair, and the repetitive and long-period pairs generated at
    each size."""
    def generated_series(name, generator):
        return (name, [(size_mib * MIB,
                        synthetic_pair('%s-%dM' % (name.replace(' ', ''), size_mib), '',
                                       generated(generator, size_mib * MIB, SEED)))
                       for size_mib in sizes_mib])
    return ([('stdlib-tar prefixes',
              [(size_mib * MIB, tar_prefix_pair(size_mib)) for size_mib in sizes_mib]),
             generated_series('repetitive', repeated_sentence)] +
            [generated_series('period %d' % period, long_period(period))
             for period in LONG_PERIODS])


def main(argv):
    if '--differential' in argv:
        for pair in differential_pairs():
            print('%s\t%s\t%s' % (pair.name, pair.old_path, pair.new_path))
        return
    for pair in main_pairs('--quick' in argv):
        print('%-12s %10d -> %10d  %s' % (pair.name, os.path.getsize(pair.old_path),
                                          os.path.getsize(pair.new_path), pair.description))


if __name__ == '__main__':
    main(sys.argv[1:])
