#!/usr/bin/env python3
"""Writes the fuzzing seeds into the folder given: cuts of the real recordings
in tests/data, and small streams built here that reach each stage."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
data = os.path.join(here, '..', 'data')
out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def write(name, content):
    with open(os.path.join(out, name), 'wb') as f:
        f.write(content)


def cut(name, start, length):
    with open(os.path.join(data, name), 'rb') as f:
        f.seek(start)
        return f.read(length)


# Cuts of the real recordings: the start of each, and sectors of the disc image
# around the start of its MPEG track.
write('vcd_start', cut('vcd.mpg', 0, 24000))
write('bare_start', cut('bare.m1v', 0, 24000))
write('damaged_start', cut('damaged.mpg', 0, 24000))
write('image_track_start', cut('vcd.bin', 478 * 2352, 6 * 2352))

start = b'\x00\x00\x01'
sequence = start + b'\xB3' + bytes.fromhex('160120130 2d520a4'.replace(' ', ''))
group = start + b'\xB8' + bytes.fromhex('00080040')


def picture(reference, coding_type):
    bits = (reference << 19) | (coding_type << 16) | 0xFFFF
    header = bits.to_bytes(4, 'big')
    if coding_type == 1:
        return start + b'\x00' + header[:3] + bytes([header[3] & 0xF8 | 0])
    return start + b'\x00' + header + b'\x00'


def slice_(row):
    return start + bytes([row]) + b'\x12\x34\x56\x78'


# A bare video stream with I, P and B pictures.
video = sequence + group
for reference, coding_type in ((2, 1), (0, 3), (1, 3), (5, 2), (3, 3), (4, 3)):
    video += picture(reference, coding_type) + slice_(1) + slice_(2)
video += start + b'\xB7'
write('bare_built', video)


def packet(stream_id, payload):
    body = b'\x0F' + payload
    return start + bytes([stream_id]) + len(body).to_bytes(2, 'big') + body


pack = start + b'\xBA' + bytes.fromhex('2100010001800001')
system = pack + packet(0xE0, video[:40]) + pack + packet(0xC0, b'\xFF\xFD' + bytes(30)) \
    + pack + packet(0xE0, video[40:]) + start + b'\xB9'
write('system_built', system)

# The same system stream in two CD sectors with a RIFF header before them.
sync = b'\x00' + b'\xFF' * 10 + b'\x00'
image = b'RIFF' + bytes(40)
for i in range(0, len(system), 2324):
    payload = system[i:i + 2324]
    payload += bytes(2324 - len(payload))
    image += sync + bytes(4) + bytes(8) + payload + bytes(4)
write('image_built', image)
