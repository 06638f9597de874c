#!/usr/bin/env python3
"""Checks what the rescue benchmark's figures rest on: that each damage
touches exactly the ranges it records, that "intact" follows picture
references, that audio is split into frames by their headers, what a rip
that stops early still holds, and which picture is on screen at each
moment of the timeline and how its PSNR counts."""
import os
import random
import re
import sys
import unittest
from fractions import Fraction as F

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


def audio_frame(k):
    """A 104-byte Layer II frame (32 kbit/s, 44.1 kHz) filled with k."""
    return b'\xff\xfd\x10\x04' + bytes([0x20 + k]) * 100


def system_stream(second_closed):
    """The two groups as a system stream: the video cut into 130-byte packets
    (so pictures straddle packets), 40 bytes of audio frames in every third
    pack."""
    es = START + b'\xb3' + bytes(8) + group(True)
    es += b''.join(picture(i, tr, kind) for i, (tr, kind) in enumerate(FIRST))
    es += group(second_closed)
    es += b''.join(picture(len(FIRST) + i, tr, kind) for i, (tr, kind) in enumerate(SECOND))
    audio = b''.join(audio_frame(k) for k in range(10))
    packs = []
    for k, at in enumerate(range(0, len(es), 130)):
        carried = packet(0xC0, audio[k // 3 * 40:k // 3 * 40 + 40]) if k % 3 == 0 else b''
        packs.append(pack(carried, packet(0xE0, es[at:at + 130])))
    return b''.join(packs)


def slice_byte(stream, index):
    return stream.find(bytes([0x40 + index]) * 3)


class IntactPicturesTest(unittest.TestCase):
    def test_damage_spoils_the_picture_and_each_picture_predicted_from_it(self):
        stream = system_stream(second_closed=False)
        audio_byte = stream.find(audio_frame(0)[4:8])
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


class WhatARipHoldsTest(unittest.TestCase):
    def test_audio_frames_are_intact_while_their_bytes_and_packet_headers_are(self):
        # Four whole frames in eleven 40-byte packets; the third packet
        # carries the end of frame 0 and the start of frame 1.
        stream = system_stream(second_closed=False)
        third_packet = [m.start() for m in re.finditer(START + b'\xc0', stream)][2]
        frame_2 = stream.find(audio_frame(2)[4:8])
        cases = [
            ('nothing', [], [True] * 4),
            ('a byte of frame 2', [[frame_2, frame_2 + 1]], [True, True, False, True]),
            ('the header of the third packet', [[third_packet + 4, third_packet + 5]], [False, False, True, True]),
        ]
        for name, damage, expected in cases:
            with self.subTest(name):
                self.assertEqual(score.intact_audio(stream, damage), expected)

    def test_a_rip_that_stops_early_holds_what_lies_wholly_before_its_end(self):
        # Packs 0 to 14 carry 15 x 130 bytes of video, pictures 0 to 5 whole
        # (20 bytes of headers, then 312 bytes each): picture 6, a B picture,
        # is lost with the end, and every picture of the second group. They
        # carry 5 x 40 bytes of audio: frame 0 whole (104 bytes), frame 1 not.
        stream = system_stream(second_closed=False)
        end = [m.start() for m in re.finditer(START + b'\xba', stream)][15]
        tail = [[end, len(stream)]]
        self.assertEqual(score.intact_pictures(stream, tail), [i <= 5 for i in DISPLAY])
        self.assertEqual(score.intact_audio(stream, tail), [True, False, False, False])

    def test_the_picture_rate_and_size_are_read_from_the_sequence_header(self):
        for size, code, rate in (('160120', 3, 25), ('1600f0', 4, 30000 / 1001)):
            with self.subTest(rate):
                header = START + b'\xb3' + bytes.fromhex(size) + bytes([0xC0 | code]) + b'\xff\xff\xe0\xa0'
                stream = pack(packet(0xC0, audio_frame(0)[:40]), packet(0xE0, header))
                self.assertAlmostEqual(score.picture_rate(stream), rate)
                self.assertEqual(score.picture_size(stream), (352, 288 if code == 3 else 240))


class DamageTest(unittest.TestCase):
    """Each damage changes the clean stream exactly in the ranges it records."""

    stream = b''.join(rips.PACK_START + bytes([k % 251]) * (rips.PAYLOAD - 4) for k in range(400))
    SECTORS = len(stream) // rips.PAYLOAD
    # Sectors of other data around the stream's: they carry the sync pattern.
    OTHER = b'\x00' + b'\xff' * 10 + b'\x00' + bytes(rips.SECTOR - 12)

    def image(self):
        """A sector image carrying the stream from sector 10 on, with 5 sectors after it."""
        sectors = [self.OTHER] * 10
        for k in range(0, len(self.stream), rips.PAYLOAD):
            payload = self.stream[k:k + rips.PAYLOAD]
            sectors.append(bytes(rips.PAYLOAD_OFFSET) + payload + bytes(rips.SECTOR - rips.PAYLOAD_OFFSET - len(payload)))
        return b''.join(sectors + [self.OTHER] * 5)

    def carried(self, image, sectors=SECTORS):
        """The payloads of `sectors` sectors of the image from sector 10 on."""
        return b''.join(image[s * rips.SECTOR + rips.PAYLOAD_OFFSET:s * rips.SECTOR + rips.PAYLOAD_OFFSET + rips.PAYLOAD]
                        for s in range(10, 10 + sectors))

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

    def test_each_stream_damage_touches_what_it_records_and_nothing_else(self):
        rng = lambda: random.Random(7)
        flipped, flips = rips.damage_flip_bits(self.stream, rng(), 60)
        skipped, skips = rips.damage_skip_chunks(self.stream, rng(), 30)
        members, cuts = rips.damage_lossy_cuts(self.stream, rng(), 6, 2048)

        self.assertEqual(len(flips), 60)
        self.assertEqual(sum(bin(a ^ b).count('1') for a, b in zip(flipped, self.stream)), 60)
        self.assertEqual(self.restored(flipped, flips), self.stream)
        self.assertTrue(all(s % rips.PAYLOAD == 0 for s, _ in skips))
        self.assertEqual(sum(e - s for s, e in skips), 30 * rips.PAYLOAD)
        self.assertEqual(skipped, self.without(skips))
        self.assertEqual(len(members), 6)
        self.assertEqual([e - s for s, e in cuts], [2048] * 5)
        self.assertEqual(b''.join(members), self.without(cuts))

    def test_each_image_damage_touches_what_it_records_and_nothing_else(self):
        image = self.image()
        sectors = lambda n: n * rips.PAYLOAD
        # kind, count, sectors the image loses, the payload bytes of the
        # stream touched (None: as many as the count says), and the ranges
        # touched where the damage fixes them.
        cases = [
            ('zero-sectors', 25, 0, sectors(25), None),
            ('zero-burst', 60, 0, sectors(60), None),
            ('zero-start', 10, 0, sectors(10), [[0, sectors(10)]]),
            ('zero-disc-start', 10, 0, 0, []),
            ('flip-image-bits', 600, 0, None, None),
            ('skip-sectors', 30, 30, sectors(30), None),
            ('cut-end', 10, 15, sectors(10), [[sectors(self.SECTORS - 10), sectors(self.SECTORS)]]),
            ('garble-burst', 60, 0, None, None),
        ]
        self.assertEqual(sorted(kind for kind, *_ in cases), sorted(rips.IMAGE_DAMAGE))
        for kind, count, lost, size, ranges in cases:
            with self.subTest(kind):
                damaged, touched = rips.IMAGE_DAMAGE[kind](image, random.Random(7), count)
                self.assertTrue(all(0 <= s < e <= len(self.stream) for s, e in touched))
                self.assertEqual(len(damaged), len(image) - lost * rips.SECTOR)
                if size is not None:
                    self.assertEqual(sum(e - s for s, e in touched), size)
                if ranges is not None:
                    self.assertEqual(touched, ranges)
                if lost:
                    kept = self.without(touched)
                    self.assertEqual(self.carried(damaged, len(kept) // rips.PAYLOAD), kept)
                else:
                    self.assertEqual(self.restored(self.carried(damaged), touched), self.stream)
                zeroed = sum(damaged[s * rips.SECTOR:(s + 1) * rips.SECTOR] == bytes(rips.SECTOR)
                             for s in range(len(damaged) // rips.SECTOR))
                self.assertEqual(zeroed, count if kind.startswith('zero') else 0)
        # Bit errors outside the payloads (sync, headers, error codes, other
        # sectors) touch nothing of the stream, but are made all the same.
        flipped, flips = rips.damage_flip_image_bits(image, random.Random(7), 600)
        self.assertEqual(sum(bin(a ^ b).count('1') for a, b in zip(flipped, image)), 600)
        self.assertLess(sum(e - s for s, e in flips), 600)


class TimelineTest(unittest.TestCase):
    """The picture on screen at each moment, and its PSNR against the clean one."""

    def test_a_player_holds_the_last_picture_whose_time_has_come(self):
        # Times in picture periods from the clean rip's first picture, in
        # the order ffmpeg gives the pictures; None: no time stamp.
        cases = [
            ('in step', [0, 1, 2, 3], 4, [0, 1, 2, 3]),
            ('a lost picture: the one before is held', [0, 1, 3], 4, [0, 1, 1, 2]),
            ('nothing on screen before the first picture', [2, 3], 4, [None, None, 0, 1]),
            ('the last picture is held to the end', [0, 1], 4, [0, 1, 1, 1]),
            ('a stamp a clock tick late is at its moment', [0, 1.005, 2], 3, [0, 1, 2]),
            ('half a period late: overtaken before its moment', [0, 1.5, 2], 3, [0, 0, 2]),
            ('stamps before the first moment', [-3, -2, 1], 3, [1, 2, 2]),
            ('a picture without a stamp is never shown', [0, None, 2], 3, [0, 0, 2]),
            ('two pictures at one time: the later one', [0, 1, 1, 2], 3, [0, 2, 3]),
            ('a stamp running back holds its picture from its time on', [0, 1, 2, 1, 4], 5, [0, 3, 3, 3, 4]),
            ('pictures after the last moment', [0, 1, 5, 6], 3, [0, 1, 1]),
            ('no picture at all', [], 2, [None, None]),
        ]
        for name, times, moments, held in cases:
            with self.subTest(name):
                self.assertEqual(score.held_pictures(times, moments), held)

    def test_psnr_of_the_luma_is_capped_and_counts_nothing_as_0_db(self):
        # (picture, clean picture, dB)
        cases = [
            ('equal', [7, 200, 0, 255], [7, 200, 0, 255], 60.0),
            ('one of four samples off by 1', [10, 10, 10, 11], [10, 10, 10, 10], 54.15),
            ('one of 256 samples off by 1: over the cap', [5] * 255 + [6], [5] * 256, 60.0),
            ('all off by 16, up or down', [16, 48, 16, 48], [32, 32, 32, 32], 24.05),
            ('black against white', [0] * 4, [255] * 4, 0.0),
        ]
        for name, picture, clean, db in cases:
            with self.subTest(name):
                value = score.timeline_psnr([bytes(clean)], [bytes(picture)], [0])
                self.assertEqual(len(value), 1)
                self.assertAlmostEqual(value[0], db, places=2)
        self.assertEqual(score.timeline_psnr([bytes(4)] * 2, [], [None, None]), [0.0, 0.0])

    def test_the_figures_follow_the_pictures_held_over_the_moments(self):
        clean = [bytes([16 * (k + 1)] * 4) for k in range(5)]
        played = [clean[1], bytes([48, 48, 48, 49]), clean[4]]
        cases = [
            # ffmpeg's pictures at their times 1, 2 and 4: nothing at moment
            # 0; the second, one sample off, held over moment 3.
            ('held by time', played, score.held_pictures([1, 2, 4], 5), [0.0, 60.0, 54.15, 24.18, 60.0]),
            # A stream of pictures in step, ending two pictures early.
            ('in step, ending early', clean[:3], list(range(5)), [60.0, 60.0, 60.0, 0.0, 0.0]),
        ]
        for name, pictures, held, expected in cases:
            with self.subTest(name):
                values = score.timeline_psnr(iter(clean), iter(pictures), held)
                self.assertEqual([round(v, 2) for v in values], expected)
        figures = score.timeline_figures([0.0, 60.0, 54.15, 24.18, 60.0], 25)
        self.assertEqual((figures['mean_psnr'], figures['below_30'], figures['below_20']), (39.67, 2, 1))
        self.assertEqual((figures['seconds_below_30'], figures['seconds_below_20']), (0.08, 0.04))
        self.assertEqual(score.timeline_figures([10.0, 10.0, 40.0, 10.0], 25)['far_off'], [[0, 1], [3, 3]])
        with self.assertRaises(ValueError):
            score.timeline_psnr(iter(clean[:2]), iter(clean), list(range(5)))

    def test_a_set_is_scored_over_all_its_moments(self):
        rips = [score.timeline_figures([60.0, 60.0], 25), score.timeline_figures([0.0, 30.0, 30.0, 0.0], 30)]
        summed = score.sum_timelines(rips)
        self.assertEqual(summed['mean_psnr'], 30.0)     # not 37.5, the mean of the means
        self.assertEqual((summed['seconds_below_30'], summed['seconds_below_20']), (0.07, 0.07))

    def test_the_goals_against_ffmpeg(self):
        ffmpeg = dict(mean_psnr=50.0, seconds_below_30=10.0, seconds_below_20=2.0)
        # rescue's mean, seconds < 30 dB and < 20 dB; goals met
        cases = [
            ((51.0, 8.0, 2.0), [True, True, True]),
            ((50.99, 8.01, 2.01), [False, False, False]),
            ((60.0, 0.0, 0.0), [True, True, True]),
        ]
        for (mean, wrong, far), met in cases:
            with self.subTest(mean=mean, wrong=wrong, far=far):
                rescue = dict(mean_psnr=mean, seconds_below_30=wrong, seconds_below_20=far)
                self.assertEqual(list(score.timeline_targets(rescue, ffmpeg).values()), met)

    def test_time_stamps_are_read_from_what_showinfo_logs(self):
        log = '\n'.join([
            '[Parsed_showinfo_0 @ 0x5] config in time_base: 1/90000, frame_rate: 25/1',
            '[Parsed_showinfo_0 @ 0x5] n:   0 pts:  43200 pts_time:0.48    pos: 2336 fmt:yuv420p',
            '[Parsed_showinfo_0 @ 0x5]   side data - pan/scan',
            'frame=    1 fps=0.0 q=-0.0 size=N/A [Parsed_showinfo_0 @ 0x5] n:   1 pts:  46800 pts_time:0.52',
            '[Parsed_showinfo_0 @ 0x5] n:   2 pts:NOPTS pts_time:NOPTS pos: 3',
            '[Parsed_showinfo_0 @ 0x6] config in time_base: 1/25, frame_rate: 25/1',
            '[Parsed_showinfo_0 @ 0x6] n:   3 pts:     -2 pts_time:-0.08',
        ])
        self.assertEqual(score.shown_times(log), [F(43200, 90000), F(46800, 90000), None, F(-2, 25)])


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
