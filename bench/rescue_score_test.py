#!/usr/bin/env python3
"""Checks what the rescue benchmark's figures rest on: that each damage
touches exactly the ranges it records, that "intact" follows picture
references, and that audio is split into frames by their headers."""
import os
import random
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
import make_rescue_rips as rips  # noqa: E402
import rescue_score as score  # noqa: E402

START = b'\x00\x00\x01'


def pack(*packets):
    return START + b'\xba' + bytes.fromhex('2100010001800001') + b''.join(packets)


def packet(stream_id, payload):
    body = b'\x0f' + payload          # no time stamps
    return START + bytes([stream_id]) + len(body).to_bytes(2, 'big') + body


def picture(index, temporal_reference, kind):
    header = bytes([temporal_reference >> 2, (temporal_reference & 3) << 6 | kind << 3, 0xFF, 0xF8])
    return START + b'\x00' + header + START + b'\x01' + bytes([0x40 + index]) * 300


def group(closed):
    return START + b'\xb8' + bytes([0, 8, 0, 0x40 if closed else 0])


# Two groups in decoding order: I P B B P B B, then I B B P B B. Pictures are
# numbered in decoding order; the second group's leading B pictures refer to
# the first group's last P picture unless that group is closed.
FIRST = [(0, 1), (3, 2), (1, 3), (2, 3), (6, 2), (4, 3), (5, 3)]
SECOND = [(2, 1), (0, 3), (1, 3), (5, 2), (3, 3), (4, 3)]
DISPLAY = [0, 2, 3, 1, 5, 6, 4, 8, 9, 7, 11, 12, 10]


def system_stream(second_closed):
    """The two groups as a system stream: the video cut into 130-byte packets
    (so pictures straddle packets), an audio packet in every third pack."""
    es = START + b'\xb3' + bytes(8) + group(True)
    es += b''.join(picture(i, tr, kind) for i, (tr, kind) in enumerate(FIRST))
    es += group(second_closed)
    es += b''.join(picture(len(FIRST) + i, tr, kind) for i, (tr, kind) in enumerate(SECOND))
    packs = []
    for k, at in enumerate(range(0, len(es), 130)):
        audio = packet(0xC0, b'\xaa' * 40) if k % 3 == 0 else b''
        packs.append(pack(audio, packet(0xE0, es[at:at + 130])))
    return b''.join(packs)


def slice_byte(stream, index):
    return stream.find(bytes([0x40 + index]) * 3)


class IntactPicturesTest(unittest.TestCase):
    def test_damage_spoils_the_picture_and_each_picture_predicted_from_it(self):
        stream = system_stream(second_closed=False)
        audio_byte = stream.find(b'\xaa')
        second_i_packet = stream.rfind(START + b'\xe0', 0, slice_byte(stream, 7) + 200)
        cases = [
            ('nothing', None, False, set()),
            ('audio only', audio_byte, False, set()),
            ('first I', slice_byte(stream, 0), False, {0, 1, 2, 3, 4, 5, 6, 8, 9}),
            ('last P before an open group', slice_byte(stream, 4), False, {4, 5, 6, 8, 9}),
            ('last P before a closed group', slice_byte(stream, 4), True, {4, 5, 6}),
            ('a B picture', slice_byte(stream, 3), False, {3}),
            ('header of a packet inside an I', second_i_packet + 4, False, {7, 8, 9, 10, 11, 12}),
        ]
        for name, at, closed, spoiled in cases:
            with self.subTest(name):
                stream = system_stream(second_closed=closed)
                damage = [] if at is None else [[at, at + 1]]
                expected = [i not in spoiled for i in DISPLAY]
                self.assertEqual(score.intact_pictures(stream, damage), expected)


class DamageTest(unittest.TestCase):
    """Each damage changes the clean stream exactly in the ranges it records."""

    stream = b''.join(rips.PACK_START + bytes([k % 251]) * (rips.PAYLOAD - 4) for k in range(400))

    def image(self):
        """A sector image carrying the stream from sector 10 on, between empty sectors."""
        sectors = [bytes(rips.SECTOR)] * 10
        for k in range(0, len(self.stream), rips.PAYLOAD):
            payload = self.stream[k:k + rips.PAYLOAD]
            sectors.append(bytes(rips.PAYLOAD_OFFSET) + payload + bytes(rips.SECTOR - rips.PAYLOAD_OFFSET - len(payload)))
        return b''.join(sectors + [bytes(rips.SECTOR)] * 5)

    def carried(self, image):
        return b''.join(image[s * rips.SECTOR + rips.PAYLOAD_OFFSET:s * rips.SECTOR + rips.PAYLOAD_OFFSET + rips.PAYLOAD]
                        for s in range(10, 10 + len(self.stream) // rips.PAYLOAD))

    def restored(self, damaged, touched):
        out = bytearray(damaged)
        for start, end in touched:
            out[start:end] = self.stream[start:end]
        return bytes(out)

    def without(self, touched):
        kept, at = b'', 0
        for start, end in touched:
            kept, at = kept + self.stream[at:start], end
        return kept + self.stream[at:]

    def test_each_damage_touches_what_it_records_and_nothing_else(self):
        rng = lambda: random.Random(7)
        flipped, flips = rips.damage_flip_bits(self.stream, rng(), 60)
        zeroed, zeros = rips.damage_zero_sectors(self.image(), rng(), 25)
        burst, bursts = rips.damage_zero_burst(self.image(), rng(), 60)
        skipped, skips = rips.damage_skip_chunks(self.stream, rng(), 30)
        members, cuts = rips.damage_lossy_cuts(self.stream, rng(), 6, 2048)

        self.assertEqual(len(flips), 60)
        self.assertEqual(sum(bin(a ^ b).count('1') for a, b in zip(flipped, self.stream)), 60)
        self.assertEqual(self.restored(flipped, flips), self.stream)
        for damaged, touched, sectors in ((zeroed, zeros, 25), (burst, bursts, 60)):
            self.assertEqual(sum(e - s for s, e in touched), sectors * rips.PAYLOAD)
            self.assertEqual(len(damaged), len(self.image()))
            self.assertEqual(damaged.count(bytes(rips.SECTOR)) >= sectors + 15, True)
            self.assertEqual(self.restored(self.carried(damaged), touched), self.stream)
        self.assertEqual(len(bursts), 1)
        self.assertTrue(all(s % rips.PAYLOAD == 0 for s, _ in skips))
        self.assertEqual(sum(e - s for s, e in skips), 30 * rips.PAYLOAD)
        self.assertEqual(skipped, self.without(skips))
        self.assertEqual(len(members), 6)
        self.assertEqual([e - s for s, e in cuts], [2048] * 5)
        self.assertEqual(b''.join(members), self.without(cuts))


class AudioFramesTest(unittest.TestCase):
    def test_frames_are_split_by_headers_as_a_decoder_steps_through_them(self):
        def frame(k, padded):
            header = b'\xff\xfd' + bytes([0xB0 | padded << 1, 0x04])
            return header + bytes([0x11 + k]) * (731 + padded - 4)
        f = [frame(k, k % 2) for k in range(6)]
        lone_header = b'\xff\xfd\xb0\x04' + b'\x22' * 40
        data = f[0] + f[1] + b'\xff\x00\x12' * 10 + lone_header + f[2] + f[3][:300] + f[4] + f[5] + f[0][:500]
        # Garbage after a frame keeps it; a header not followed by another is
        # passed over; a cut frame takes the start of the next; a cut last
        # frame is left out.
        cut = (f[3][:300] + f[4])[:len(f[3])]
        self.assertEqual(score.audio_frames(data), [f[0], f[1], f[2], cut, f[5]])


if __name__ == '__main__':
    unittest.main()
