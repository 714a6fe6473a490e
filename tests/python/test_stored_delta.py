"""The stored-Delta recipe of samples/stored_delta.py: what it writes reads
back into the new data, and every way a file can be wrong for the old data
at hand is refused with StoredDeltaError instead of wrong bytes."""
import os
import random
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, 'samples'))
import stored_delta  # noqa: E402
from stored_delta import StoredDeltaError  # noqa: E402
from support import byte_string  # noqa: E402


def sample_pair():
    generator = random.Random(7)
    old = byte_string(generator.randrange(256) for _ in range(3000))
    new = old[:1000] + b'inserted text' + old[1200:2500] + old[:300]
    return old, new


@unittest.skipIf('bz2' not in stored_delta.COMPRESSORS,
                 'this interpreter was built without bz2 (the 32-bit one: no 32-bit libbz2)')
class StoredDeltaTest(unittest.TestCase):

    def test_round_trip_with_every_compressor(self):
        old, new = sample_pair()
        for name in sorted(stored_delta.COMPRESSORS):
            for pair in ((old, new), (b'', new), (old, b''), (b'', b'')):
                stored = stored_delta.pack_delta(pair[0], pair[1], name)
                self.assertEqual(stored_delta.unpack_and_patch(pair[0], stored), pair[1],
                                 (name, len(pair[0]), len(pair[1])))

    def refused(self, old, stored, message):
        with self.assertRaises(StoredDeltaError) as caught:
            stored_delta.unpack_and_patch(old, stored)
        self.assertIn(message, str(caught.exception))

    def test_other_old_data_is_refused_before_patching(self):
        old, new = sample_pair()
        stored = stored_delta.pack_delta(old, new)
        self.refused(old[:-1], stored, 'not the data this Delta was made from')
        self.refused(old[1:] + old[:1], stored, 'not the data this Delta was made from')

    def test_truncation_anywhere_is_refused(self):
        old, new = sample_pair()
        stored = stored_delta.pack_delta(old, new)
        for length in (0, 7, 8, 20, 23, 60, 87, 88, 96, len(stored) // 2, len(stored) - 1):
            with self.assertRaises(StoredDeltaError, msg=length):
                stored_delta.unpack_and_patch(old, stored[:length])

    def test_damage_is_refused(self):
        old, new = sample_pair()
        stored = stored_delta.pack_delta(old, new)
        self.refused(old, b'x' + stored[1:], 'not a stored Delta')
        self.refused(old, stored[:8] + b'zip\0\0\0\0\0' + stored[16:], "compressor 'zip'")
        self.refused(old, stored + b'\0', '1 bytes after its end')
        # The new digest: the Delta still patches, into other bytes.
        other_new = stored_delta.pack_delta(old, new[:-1] + b'!')
        self.refused(old, stored[:56] + other_new[56:88] + stored[88:],
                     'the rebuilt data is not the new data')
        # A new length that its blocks do not add up to never sizes the output.
        huge = stored_delta.core.encode_int64(2 ** 31 - 2)
        self.refused(old, stored[:16] + huge + stored[24:], 'new length does not match')
        # A flipped bit past the header is refused, wherever it lands, or
        # lands where the compressor ignores it (a stream's padding bits):
        # never wrong bytes.
        generator = random.Random(3)
        refusals = 0
        for _ in range(40):
            damaged = bytearray(stored)
            position = generator.randrange(88, len(stored))
            damaged[position] ^= 1 << generator.randrange(8)
            try:
                self.assertEqual(stored_delta.unpack_and_patch(old, bytes(damaged)), new)
            except StoredDeltaError:
                refusals += 1
        self.assertGreater(refusals, 30)


if __name__ == '__main__':
    unittest.main()
