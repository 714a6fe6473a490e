"""Builds an old/new pair of data for the diff benchmark, like a software update.

The old data is a concatenation of the Python 2.7 standard library that ships
with the interpreter (.py sources, compiled .pyc files and the shared
libraries of lib-dynload), in a seeded order. The new data is the same files
after the kind of edits a release makes: files added, removed and moved,
scattered small changes, inserted and deleted blocks, and in compiled files
runs of shifted addresses, which leave the diff block mostly zero. Without
the library a seeded synthetic generator stands in, and the caller is told.

Both sides are cut or topped up to exactly `size` bytes. Same seed, same
machine, same bytes.

Usage: make_corpus.py [SIZE_MIB] [--seed N] [--synthetic]
Writes build/bench/old-<SIZE>M.bin and new-<SIZE>M.bin under the repo root.
"""

import os
import random
import struct
import sys

MIB = 1 << 20
DEFAULT_SEED = 2718
REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUTPUT_DIR = os.path.join(REPO_ROOT, 'build', 'bench')

# Share of files that an update touches in each way.
REMOVED_FILES = 0.03
ADDED_FILES = 0.03
MOVED_FILES = 0.04
EDITED_FILES = 0.30
# One edit per this many bytes of an edited file, plus one.
BYTES_PER_EDIT = 4096


def library_files():
    """Standard library files under the interpreter's prefix, sorted by path.

    site-packages is left out: what is installed there differs between
    machines, the standard library does not.
    """
    root = os.path.join(sys.prefix, 'lib', 'python2.7')
    found = []
    for directory, subdirs, names in os.walk(root):
        subdirs[:] = sorted(d for d in subdirs if d != 'site-packages')
        for name in sorted(names):
            if name.endswith(('.py', '.pyc', '.so')):
                found.append(os.path.join(directory, name))
    return found


def load_library(size, seed):
    """Contents of enough library files for both sides, or None if too few."""
    paths = library_files()
    random.Random(seed).shuffle(paths)
    contents = []
    total = 0
    # Up to twice the size: the old side plus a pool of files that the
    # update adds; a quarter of the size is pool enough.
    for path in paths:
        if total >= 2 * size:
            break
        with open(path, 'rb') as handle:
            data = handle.read()
        if data:
            contents.append(data)
            total += len(data)
    return contents if total >= size + size // 4 else None


WORDS = ('alpha beta gamma delta value count index table entry record limit '
         'offset buffer window stream header footer module config server '
         'client timeout retry level mode path name size flags version '
         'update channel region cache policy').split()


def synthetic_file(rng):
    """A made-up configuration-like text with, now and then, a binary table."""
    lines = []
    for _ in range(rng.randint(20, 400)):
        key = '_'.join(rng.choice(WORDS) for _ in range(rng.randint(1, 3)))
        value = rng.choice((str(rng.randint(0, 99999)), rng.choice(WORDS),
                            '%s/%s' % (rng.choice(WORDS), rng.choice(WORDS))))
        lines.append('%s%s = %s\n' % ('    ' * rng.randint(0, 2), key, value))
    text = ''.join(lines)
    if rng.random() < 0.3:
        base = rng.randint(0, 1 << 24)
        table = struct.pack('<%dI' % 256, *[base + 16 * i + rng.randint(0, 7)
                                            for i in range(256)])
        text += table
    return text


def load_synthetic(size, seed):
    rng = random.Random(seed ^ 0x5eed)
    contents = []
    total = 0
    while total < 2 * size:
        data = synthetic_file(rng)
        contents.append(data)
        total += len(data)
    return contents


def shift_addresses(data, rng):
    """Adds one constant to a sprinkle of aligned 32-bit words in a window,
    as relinking shifts the addresses a compiled file refers to."""
    if len(data) < 64:
        return data
    window = rng.randint(256, 8192)
    start = rng.randrange(0, max(1, len(data) - window)) & ~3
    end = min(len(data), start + window) & ~3
    shift = rng.randint(0x10, 0x400)
    out = bytearray(data)
    for at in range(start, end - 3, 4):
        if rng.random() < 1.0 / 16:
            word, = struct.unpack_from('<I', out, at)
            struct.pack_into('<I', out, at, (word + shift) & 0xffffffff)
    return str(out)


def edit_file(data, rng, donors):
    """Scattered small changes, inserted and deleted blocks; compiled files
    also get shifted addresses."""
    compiled = '\0' in data[:4096]
    for _ in range(1 + len(data) // BYTES_PER_EDIT):
        if not data:
            break
        at = rng.randrange(len(data))
        kind = rng.random()
        if kind < 0.55:
            # A few bytes replaced by bytes from elsewhere in the same file,
            # so the new bytes look like the file (renamed identifier,
            # changed constant).
            length = rng.randint(1, 12)
            source = rng.randrange(len(data))
            data = data[:at] + data[source:source + length] + data[at + length:]
        elif kind < 0.75:
            # New code: a block resembling some other file.
            donor = rng.choice(donors)
            length = rng.randint(32, 4096)
            source = rng.randrange(max(1, len(donor) - length))
            data = data[:at] + donor[source:source + length] + data[at:]
        elif kind < 0.95:
            data = data[:at] + data[at + rng.randint(32, 4096):]
        elif compiled:
            data = shift_addresses(data, rng)
    return data


def make_update(files, pool, rng):
    """The new release: `files` edited, some removed, moved, and some files
    from `pool` added."""
    new_files = []
    moved = []
    for data in files:
        roll = rng.random()
        if roll < REMOVED_FILES:
            continue
        if roll < REMOVED_FILES + MOVED_FILES:
            moved.append(data)
            continue
        if rng.random() < EDITED_FILES:
            data = edit_file(data, rng, files)
        new_files.append(data)
        if pool and rng.random() < ADDED_FILES:
            new_files.append(pool.pop())
    for data in moved:
        new_files.insert(rng.randrange(len(new_files) + 1), data)
    return new_files, pool


def build(size=16 * MIB, seed=DEFAULT_SEED, synthetic=False):
    """Returns (old, new, source), both exactly `size` bytes; source names
    what the data was made from."""
    contents = None if synthetic else load_library(size, seed)
    source = 'python2.7 standard library under %s' % sys.prefix
    if contents is None:
        contents = load_synthetic(size, seed)
        source = 'synthetic (seed %d)' % seed
    total = 0
    split = 0
    while total < size:
        total += len(contents[split])
        split += 1
    old_files = contents[:split]
    pool = contents[split:]
    old = ''.join(old_files)[:size]

    rng = random.Random(seed)
    new_files, pool = make_update(old_files, pool, rng)
    new = ''.join(new_files)
    # Topped up with files the update adds when the edits shrank it.
    while len(new) < size and pool:
        new += pool.pop()
    return old, new[:size], source


def corpus_paths(size):
    tag = '%gM' % (float(size) / MIB)
    return (os.path.join(OUTPUT_DIR, 'old-%s.bin' % tag),
            os.path.join(OUTPUT_DIR, 'new-%s.bin' % tag))


def write(size=16 * MIB, seed=DEFAULT_SEED, synthetic=False):
    """Builds the pair, writes it under build/bench and returns
    (old, new, source)."""
    old, new, source = build(size, seed, synthetic)
    if not os.path.isdir(OUTPUT_DIR):
        os.makedirs(OUTPUT_DIR)
    for path, data in zip(corpus_paths(size), (old, new)):
        with open(path, 'wb') as handle:
            handle.write(data)
    return old, new, source


def main(argv):
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('size_mib', nargs='?', type=float, default=16)
    parser.add_argument('--seed', type=int, default=DEFAULT_SEED)
    parser.add_argument('--synthetic', action='store_true',
                        help='use the seeded generator even if the library is there')
    args = parser.parse_args(argv)
    size = int(args.size_mib * MIB)
    old, new, source = write(size, args.seed, args.synthetic)
    old_path, new_path = corpus_paths(size)
    print('source: %s' % source)
    print('%s  %d bytes' % (old_path, len(old)))
    print('%s  %d bytes' % (new_path, len(new)))


if __name__ == '__main__':
    main(sys.argv[1:])
