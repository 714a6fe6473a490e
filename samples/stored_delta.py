"""Storing a Delta in a file, the way a careful caller does it.

core.diff returns a Delta as Python objects and leaves storing it to the
caller. patch cannot tell that it was given other old data than the Delta was
made from, or a damaged Delta: wrong bytes come back without an error. So the
file also holds a digest of the old data, checked before patching, and one of
the new data, checked after.

The file, every integer in the 8-byte form of core.encode_int64:

    magic        8 bytes   b'coredlt1'
    compressor   8 bytes   its name, zero padded: 'bz2', or 'xz' (Python 3)
    new length   8 bytes
    old digest  32 bytes   SHA-256 of the old data
    new digest  32 bytes   SHA-256 of the new data
    then three sections, each its compressed length (8 bytes) and its bytes:
    control      three integers per entry: diff length, extra length,
                 old adjustment
    diff block
    extra block

Runs under Python 2.7 and 3, with the compressors the interpreter was built
with (2.7 has no lzma).
"""
import hashlib

import core

MAGIC = b'coredlt1'
DIGEST_BYTES = 32
COMPRESSORS = {}
try:
    import bz2
    COMPRESSORS['bz2'] = (bz2.compress, bz2.decompress)
except ImportError:
    pass
try:
    import lzma
    COMPRESSORS['xz'] = (lzma.compress, lzma.decompress)
except ImportError:
    pass


class StoredDeltaError(ValueError):
    """The file is not a stored Delta, is damaged, or belongs to other data."""


def digest(data):
    return hashlib.sha256(data).digest()


def pack_delta(old, new, compressor='bz2'):
    """The stored form of the Delta that turns old into new."""
    compress = COMPRESSORS[compressor][0]
    control, diff_block, extra_block = core.diff(old, new)
    control_bytes = b''.join(core.encode_int64(item) for entry in control for item in entry)
    parts = [MAGIC, compressor.encode('ascii').ljust(8, b'\0'), core.encode_int64(len(new)),
             digest(old), digest(new)]
    for section in (control_bytes, diff_block, extra_block):
        packed = compress(section)
        parts += [core.encode_int64(len(packed)), packed]
    return b''.join(parts)


class _Reader(object):
    """Takes the file apart front to back; running short is an error."""

    def __init__(self, data):
        self.data = data
        self.offset = 0

    def take(self, count, what):
        if count < 0 or len(self.data) - self.offset < count:
            raise StoredDeltaError('stored Delta is truncated: %s is missing' % what)
        part = self.data[self.offset:self.offset + count]
        self.offset += count
        return part

    def integer(self, what):
        return core.decode_int64(self.take(8, what))


def unpack_and_patch(old, stored):
    """The new data the stored Delta rebuilds from old. Raises
    StoredDeltaError when old is not the data the Delta was made from, or the
    file is not a whole, undamaged stored Delta."""
    reader = _Reader(stored)
    if reader.take(len(MAGIC), 'the magic') != MAGIC:
        raise StoredDeltaError('not a stored Delta')
    name = reader.take(8, 'the compressor').rstrip(b'\0').decode('ascii', 'replace')
    if name not in COMPRESSORS:
        raise StoredDeltaError("stored Delta uses compressor '%s', which this Python lacks" % name)
    decompress = COMPRESSORS[name][1]
    new_length = reader.integer('the new length')
    old_digest = reader.take(DIGEST_BYTES, 'the old digest')
    new_digest = reader.take(DIGEST_BYTES, 'the new digest')
    if digest(old) != old_digest:
        raise StoredDeltaError('the old data is not the data this Delta was made from')
    sections = []
    for what in ('control', 'diff block', 'extra block'):
        packed = reader.take(reader.integer('the %s length' % what), 'the ' + what)
        try:
            sections.append(decompress(packed))
        except Exception as error:  # each compressor has its own error types
            raise StoredDeltaError('stored Delta is damaged: %s: %s' % (what, error))
    if reader.offset != len(stored):
        raise StoredDeltaError('stored Delta has %d bytes after its end'
                               % (len(stored) - reader.offset))
    control_bytes, diff_block, extra_block = sections
    if len(control_bytes) % 24:
        raise StoredDeltaError('stored Delta is damaged: control is not whole entries')
    # Every new byte comes from one of the two blocks: a new length that
    # says otherwise is damage, and must not size patch's output.
    if new_length != len(diff_block) + len(extra_block):
        raise StoredDeltaError('stored Delta is damaged: the new length does not match its blocks')
    numbers = [core.decode_int64(control_bytes[i:i + 8])
               for i in range(0, len(control_bytes), 8)]
    control = [tuple(numbers[i:i + 3]) for i in range(0, len(numbers), 3)]
    try:
        new = core.patch(old, new_length, control, diff_block, extra_block)
    except (TypeError, ValueError, OverflowError, MemoryError) as error:
        raise StoredDeltaError('stored Delta is damaged: patch: %s' % error)
    if digest(new) != new_digest:
        raise StoredDeltaError('stored Delta is damaged: the rebuilt data is not the new data')
    return new
