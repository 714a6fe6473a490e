"""Deltas agree across interpreters: the same inputs give byte-for-byte the
same Delta under each of them, and each one's patch rebuilds the data from
the first one's Deltas and from the last one's.

    compare_deltas.py PYTHON=MODULE_DIR PYTHON=MODULE_DIR ...

Each interpreter runs this script as a child with its own build of core on
its path; the first pair is the reference. Prints "name: passed" or
"name: FAILED" per check, then "N passed, M failed", and exits non-zero if
any failed.
"""
import os
import struct
import subprocess
import sys
import tempfile

THIS_SCRIPT = os.path.abspath(__file__)


def byte_stream(seed, length):
    """Bytes from a fixed linear congruential generator: random's methods
    differ between 2.7 and 3, so the inputs are made the same way here."""
    state = seed
    values = bytearray(length)
    for i in range(length):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2 ** 64
        values[i] = state >> 56
    return bytes(values)


def edited(data, seed, edits):
    """data with `edits` insertions, deletions and moved stretches."""
    picks = bytearray(byte_stream(seed, 8 * edits))
    for n in range(edits):
        at = (picks[8 * n] << 8 | picks[8 * n + 1]) % (len(data) + 1)
        size = 1 + picks[8 * n + 2] % 200
        kind = picks[8 * n + 3] % 3
        if kind == 0:
            data = data[:at] + byte_stream(seed + n, size) + data[at:]
        elif kind == 1:
            data = data[:at] + data[at + size:]
        else:
            source = (picks[8 * n + 4] << 8 | picks[8 * n + 5]) % (len(data) + 1)
            data = data[:at] + data[source:source + size] + data[at:]
    return data


def cases():
    """(name, old, new) for a handful of seeded inputs of different kinds."""
    random_old = byte_stream(1, 60000)
    lines = [('line %d of a text that changes a little\n' % n).encode('ascii') for n in range(2000)]
    old_text = b''.join(lines)
    new_text = b''.join(lines[:500] + [b'an inserted line\n'] + lines[500:1500:2] + lines[1700:])
    every_byte = bytes(bytearray(range(256)))
    return [
        ('unrelated', byte_stream(2, 5000), byte_stream(3, 7000)),
        ('edited', random_old, edited(random_old, 4, 40)),
        ('text', old_text, new_text),
        ('runs', b'a' * 30000 + b'b' * 30000, b'a' * 20000 + b'c' + b'b' * 35000),
        ('every_byte', every_byte * 64, edited(every_byte * 64, 5, 10)),
        ('empty_old', b'', byte_stream(6, 1000)),
        ('empty_new', byte_stream(7, 1000), b''),
    ]


def serialize(delta):
    control, diff_block, extra_block = delta
    parts = [struct.pack('<q', len(control))]
    parts += [struct.pack('<qqq', *entry) for entry in control]
    parts += [struct.pack('<q', len(diff_block)), diff_block,
              struct.pack('<q', len(extra_block)), extra_block]
    return b''.join(parts)


def deserialize(data, offset):
    def number():
        return struct.unpack_from('<q', data, offset[0])[0]

    count = number()
    offset[0] += 8
    control = []
    for _ in range(count):
        control.append(struct.unpack_from('<qqq', data, offset[0]))
        offset[0] += 24
    blocks = []
    for _ in range(2):
        length = number()
        offset[0] += 8
        blocks.append(data[offset[0]:offset[0] + length])
        offset[0] += length
    return control, blocks[0], blocks[1]


def read_only_view(data):
    """A read-only buffer of data: 3 reads it in place, 2.7 copies it."""
    return buffer(data) if sys.version_info[0] < 3 else memoryview(data)  # noqa: F821


def child_diff(path):
    """Writes the Delta of every case; through read-only buffers it must be
    the same."""
    import core
    failures = 0
    with open(path, 'wb') as out:
        for name, old, new in cases():
            delta = core.diff(old, new)
            if core.diff(read_only_view(old), read_only_view(new)) != delta:
                print('%s: another Delta through read-only buffers' % name)
                failures += 1
            out.write(serialize(delta))
    return 1 if failures else 0


def child_patch(path):
    """Patches every case from the Deltas in `path`; prints the failing ones."""
    import core
    with open(path, 'rb') as source:
        data = source.read()
    offset = [0]
    failures = 0
    for name, old, new in cases():
        control, diff_block, extra_block = deserialize(data, offset)
        if core.patch(old, len(new), list(control), diff_block, extra_block) != new:
            print('%s does not rebuild' % name)
            failures += 1
    return 1 if failures else 0


def run(python, module_dir, *args):
    env = dict(os.environ, PYTHONPATH=module_dir)
    child = subprocess.Popen([python, THIS_SCRIPT] + list(args), env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = child.communicate()[0].decode('utf-8', 'replace')
    return child.returncode, output


def label(python):
    """The interpreter's tag, as every build folder and suite is named."""
    tag_tool = os.path.join(os.path.dirname(THIS_SCRIPT), os.pardir, os.pardir, 'tools',
                            'python-tag')
    return subprocess.check_output([tag_tool, python]).decode('ascii').strip()


def main(pairs):
    interpreters = [pair.split('=', 1) for pair in pairs]
    if len(interpreters) < 2:
        print('compare_deltas: name two or more PYTHON=MODULE_DIR pairs')
        return 2
    work = tempfile.mkdtemp(prefix='core_deltas')
    failed = 0
    checks = []

    def report(name, ok, output=''):
        if not ok and output:
            sys.stdout.write(output)
        print('%s: %s' % (name, 'passed' if ok else 'FAILED'))
        checks.append(ok)
        return 0 if ok else 1

    files = []
    for python, module_dir in interpreters:
        path = os.path.join(work, label(python) + '.deltas')
        status, output = run(python, module_dir, 'diff', path)
        failed += report('diff_' + label(python), status == 0, output)
        files.append(path if status == 0 else None)
    reference_name = label(interpreters[0][0])
    with open(files[0], 'rb') as source:
        reference = source.read()
    for (python, _), path in zip(interpreters[1:], files[1:]):
        same = path is not None and open(path, 'rb').read() == reference
        failed += report('deltas_%s_as_%s' % (label(python), reference_name), same)
    # Every interpreter patches the first one's Deltas and the last one's.
    for python, module_dir in interpreters:
        for source_python, path in [(interpreters[0][0], files[0]),
                                    (interpreters[-1][0], files[-1])]:
            status, output = run(python, module_dir, 'patch', path)
            failed += report('patch_%s_from_%s' % (label(python), label(source_python)),
                             status == 0, output)
    for path in files:
        if path is not None:
            os.remove(path)
    os.rmdir(work)
    print('%d passed, %d failed' % (checks.count(True), checks.count(False)))
    return 1 if failed else 0


if __name__ == '__main__':
    if sys.argv[1:2] == ['diff']:
        sys.exit(child_diff(sys.argv[2]))
    if sys.argv[1:2] == ['patch']:
        sys.exit(child_patch(sys.argv[2]))
    sys.exit(main(sys.argv[1:]))
