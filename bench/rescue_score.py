#!/usr/bin/env python3
"""Scores orvante on the damaged Video CD rips of bench/make_rescue_rips.py: runs
it plain and with --rescue on a copy of each rip, and measures what players
and muxers get from the outputs.

Usage: bench/rescue_score.py [--orvante PATH] [--set default|variants] [--rip NAME]
                             [--data FOLDER] [--clean] [--quality-only] [--jobs N]
                             [--keep] [--json]

  --orvante PATH  the program to score (default build/release/orvante of the
                  repository, which scripts/run-tests builds)
  --set NAME      the rips to score: the five PAL rips from ffmpeg (default),
                  or the variants (other encoders and muxers, NTSC, other
                  groups, more kinds of damage)
  --rip NAME      score this rip only (repeatable)
  --data FOLDER   where the rips are (made when missing; default
                  bench/rescue-data)
  --clean         run on the clean rips instead, and check that --rescue
                  writes byte for byte what the plain run writes
  --quality-only  run --rescue alone and measure the timeline only (no
                  plain run, no mplex, no other figure)
  --jobs N        score N rips at a time (default 1, so the wall times stay
                  comparable; with --quality-only, the cores up to 2)
  --keep          keep the scratch folder with the runs' outputs
  --json          print the figures as JSON instead of the table

A --rescue that the program does not take (it fails with "not found",
"unknown option" or the like, and writes nothing) is reported as not built
yet, and the plain run is scored alone.

Figures, for each run:
  messages    lines ffmpeg prints at -v error decoding the .mpv and the .mp2
  pictures    decoded pictures i of the .mpv equal to picture i of the clean
              rip (framemd5, display order)
  audio       frames i of the .mp2 (split by their headers) equal byte for
              byte to frame i of the clean rip's audio
  |a-v|       audio frames x 1152 / the rip's sample rate against pictures
              (picture start codes of the .mpv) / the rip's picture rate
  mplex       pictures and audio frames in the file `mplex -f 1` makes of the
              two outputs (ffprobe packets); "early" when the stream lengths
              mplex reports having read fall short of the outputs' sizes
  time        wall time of the run
and for each rip: "intact", the pictures whose own bytes (with the headers
of the packets carrying them) and whose reference pictures' bytes the damage
did not touch; "ffmpeg", the pictures ffmpeg decodes from the damaged input
itself that equal the clean picture of the same presentation time; and,
where a goal is missed on it, the audio frames whose bytes and packet
headers the damage did not touch. A rip that ends early is held to the
pictures and audio frames it still holds.

The timeline, for --rescue and for ffmpeg playing the damaged input: at
each moment k of the rip (k = 0 .. N-1 at its picture rate, N the clean
rip's pictures), the picture on screen then, against picture k of the
clean rip by the PSNR of their luma, capped at 60 dB (a moment with no
picture counts 0 dB). On screen: for --rescue, the k-th picture decoded
from the .mpv; for ffmpeg, the last picture it decodes whose presentation
time, counted from the clean rip's first picture's, falls at or before
moment k, held as a player holds it. Figures: the mean PSNR over the
moments, and the seconds below 30 dB ("visibly wrong") and below 20 dB
("far off"). Every decoder for it runs with -threads 1, as ffmpeg's
concealment varies with threading. numpy, when there is one, makes the
comparison faster.
Exit status: 0, or 1 when the --clean check finds outputs that differ.
"""
import argparse
import bisect
import concurrent.futures
import fractions
import hashlib
import json
import math
import operator
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

try:
    import numpy
except ImportError:
    numpy = None

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.dont_write_bytecode = True
import make_rescue_rips as rips  # noqa: E402

ROOT = os.path.dirname(here)
AUDIO_SAMPLES_PER_FRAME = 1152       # Layer II

# The goals of --rescue on the users' rips, summed over the rips unless
# said otherwise.
TARGET_MESSAGES = 0
TARGET_AUDIO_AT_TIME = (11200, 5 * 2297)   # frames at their time, of the frames
TARGET_AV_GAP = 0.04                  # seconds, each rip
TARGET_MPLEX_AUDIO_SHORT = 2297 - 2290     # audio frames mplex may miss, each rip;
                                           # and it takes every picture
USERS_INTACT = (5784, 7500)           # intact pictures over the users' five rips
# The timeline, over each set: the rescue's mean PSNR at least ffmpeg's
# plus this; its seconds below 30 dB at most this share of ffmpeg's; its
# seconds below 20 dB at most ffmpeg's.
TARGET_PSNR_GAIN = 1.0                # dB
TARGET_VISIBLY_WRONG_SHARE = 0.8

NOT_BUILT = re.compile(r'not found|unknown|unrecognized|usage|invalid option', re.I)
START_CODE = b'\x00\x00\x01'
PACK_HEADER = 4 + 8               # start code, SCR and mux rate (MPEG-1)
PICTURE, GROUP, SEQUENCE = 0x00, 0xB8, 0xB3
VIDEO_IDS, AUDIO_IDS = (0xE0, 0xEF), (0xC0, 0xDF)
# Pictures per second by the sequence header's frame_rate_code.
PICTURE_RATES = {1: 24000 / 1001, 2: 24, 3: 25, 4: 30000 / 1001, 5: 30, 6: 50, 7: 60000 / 1001, 8: 60}
PICTURE_OR_ABOVE = re.compile(b'\x00\x00\x01([\x00\xb3\xb7\xb8])')
I_TYPE, P_TYPE, B_TYPE = 1, 2, 3


# --- The clean stream: where each picture's bytes lie, and what it refers to.

def stream_packets(stream, ids):
    """(pack start, packet start, payload start, payload end) of each packet
    of the first stream of an MPEG-1 system stream whose id lies in ids."""
    packets, pos, pack, chosen = [], 0, 0, None
    while True:
        pos = stream.find(START_CODE, pos)
        if pos < 0 or pos + 6 > len(stream):
            return packets
        code = stream[pos + 3]
        if code == 0xBA:
            pack = pos
            pos += PACK_HEADER
        elif code < 0xB9:
            pos += 3
        elif code == 0xB9:
            pos += 4
        else:
            end = pos + 6 + int.from_bytes(stream[pos + 4:pos + 6], 'big')
            if ids[0] <= code <= ids[1] and chosen in (None, code):
                chosen = code
                p = pos + 6
                while stream[p] == 0xFF:
                    p += 1
                if stream[p] >> 6 == 1:           # buffer scale and size
                    p += 2
                p += {2: 5, 3: 10}.get(stream[p] >> 4, 1)   # PTS, PTS and DTS, or none
                packets.append((pack, pos, p, end))
            pos = end


class Carried:
    """The first stream of a system stream whose id lies in ids, joined:
    es, its bytes; and where each stretch of them lies in the file."""

    def __init__(self, stream, ids):
        self.packets = stream_packets(stream, ids)
        self.es = b''.join(stream[a:b] for _, _, a, b in self.packets)
        self.starts, total = [], 0
        for _, _, a, b in self.packets:
            self.starts.append(total)
            total += b - a

    def ranges(self, start, end):
        """The file ranges of es[start:end], with the pack and packet headers
        of the packets carrying them."""
        ranges = []
        k = bisect.bisect_right(self.starts, start) - 1
        while k < len(self.packets) and self.starts[k] < end:
            pack, header, a, b = self.packets[k]
            ranges += [(pack, pack + PACK_HEADER), (header, a)]
            ranges.append((a + max(0, start - self.starts[k]), a + min(b - a, end - self.starts[k])))
            k += 1
        return ranges


def picture_map(stream):
    """The pictures of the first video stream in decoding order: each a dict
    with its coding type, the file ranges its bytes lie in (picture start
    code up to the next picture, group, sequence header or end, plus the
    headers of the packets carrying them) and the indexes of the pictures
    it refers to. Returns (pictures, display order as picture indexes)."""
    video = Carried(stream, VIDEO_IDS)
    es = video.es
    codes = [(m.start(), m.group(1)[0]) for m in PICTURE_OR_ABOVE.finditer(es)] + [(len(es), None)]
    pictures, anchors, closed, anchors_in_group = [], [], False, 0
    for (start, code), (end, _) in zip(codes, codes[1:]):
        if code == GROUP:
            closed = bool(es[start + 7] & 0x40)
            anchors_in_group = 0
        if code != PICTURE:
            continue
        kind = (es[start + 5] >> 3) & 7
        if kind == P_TYPE:
            refs = anchors[-1:]
        elif kind == B_TYPE:
            refs = anchors[-1:] if closed and anchors_in_group == 1 else anchors[-2:]
        else:
            refs = []
        ranges = video.ranges(start, end)
        if kind in (I_TYPE, P_TYPE):
            anchors = (anchors + [len(pictures)])[-2:]
            anchors_in_group += 1
        pictures.append(dict(kind=kind, refs=refs, ranges=ranges))
    display, held = [], None
    for index, picture in enumerate(pictures):
        if picture['kind'] == B_TYPE:
            display.append(index)
        else:
            if held is not None:
                display.append(held)
            held = index
    if held is not None:
        display.append(held)
    return pictures, display


def touches(damage, starts, start, end):
    """Whether any of the sorted disjoint [s, e) ranges (their starts given
    apart) meets [start, end)."""
    k = bisect.bisect_right(starts, start) - 1
    if k >= 0 and damage[k][1] > start:
        return True
    return k + 1 < len(damage) and damage[k + 1][0] < end


def untouched(damage, ranges):
    starts = [s for s, _ in damage]
    return not any(touches(damage, starts, s, e) for s, e in ranges)


def intact_pictures(stream, damage):
    """For each picture in display order, whether it and the pictures it
    refers to (followed back to an I picture) are untouched by the damage."""
    pictures, display = picture_map(stream)
    intact = []
    for picture in pictures:
        intact.append(untouched(damage, picture['ranges']) and all(intact[r] for r in picture['refs']))
    return [intact[i] for i in display]


# --- Audio frames.

LAYER2_KBPS = [0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384]
SAMPLE_RATES = [44100, 48000, 32000]


def layer2_frame_length(data, pos):
    """Length of the MPEG-1 Layer II frame whose header is at pos, or 0."""
    if pos + 4 > len(data) or data[pos] != 0xFF or data[pos + 1] & 0xFE != 0xFC:
        return 0
    rate, frequency = data[pos + 2] >> 4, (data[pos + 2] >> 2) & 3
    if rate in (0, 15) or frequency == 3 or data[pos + 3] & 3 == 2:
        return 0
    return 144000 * LAYER2_KBPS[rate] // SAMPLE_RATES[frequency] + ((data[pos + 2] >> 1) & 1)


def audio_frames(data):
    """The whole frames of a Layer II stream, split by their headers as a
    decoder does: a frame is taken wherever a header stands at the end of
    the frame before; after anything else, only a header whose frame ends at
    another header (or at the end of the data) is trusted."""
    frames, pos, in_step = [], 0, False
    while pos + 4 <= len(data):
        length = layer2_frame_length(data, pos)
        end = pos + length
        if length and end <= len(data) and (in_step or end == len(data) or layer2_frame_length(data, end)):
            frames.append(data[pos:end])
            pos, in_step = end, True
        else:
            in_step = False
            pos = data.find(b'\xff', pos + 1)
            if pos < 0:
                break
    return frames


def picture_rate(stream):
    """Pictures per second by the stream's first sequence header."""
    at = stream.find(START_CODE + bytes([SEQUENCE]))
    return PICTURE_RATES[stream[at + 7] & 0x0F]


def picture_size(stream):
    """(width, height) by the stream's first sequence header."""
    at = stream.find(START_CODE + bytes([SEQUENCE])) + 4
    size = int.from_bytes(stream[at:at + 3], 'big')
    return size >> 12, size & 0xFFF


def sample_rate(frames):
    return SAMPLE_RATES[(frames[0][2] >> 2) & 3] if frames else 0


def intact_audio(stream, damage):
    """For each audio frame of the first audio stream, whether its bytes
    and the headers of the packets carrying them are untouched."""
    audio = Carried(stream, AUDIO_IDS)
    intact, start = [], 0
    for frame in audio_frames(audio.es):
        start = audio.es.index(frame, start)
        intact.append(untouched(damage, audio.ranges(start, start + len(frame))))
        start += len(frame)
    return intact


# --- Running the tools.

def run(command, cwd=None, timeout=600):
    return subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout)


def frame_hashes(path, input_format=None, copyts=False):
    """(pts, md5) of each picture ffmpeg decodes, in display order, and the
    lines it printed at -v error."""
    command = ['ffmpeg', '-nostdin', '-v', 'error']
    if copyts:
        command.append('-copyts')
    if input_format:
        command += ['-f', input_format]
    command += ['-i', path, '-map', '0:v:0', '-fps_mode', 'passthrough', '-f', 'framemd5', '-']
    done = run(command)
    frames = []
    for line in done.stdout.decode(errors='replace').splitlines():
        if line and not line.startswith('#'):
            fields = [f.strip() for f in line.split(',')]
            frames.append((int(fields[2]), fields[5]))
    return frames, done.stderr.decode(errors='replace').splitlines()


def decoder_messages(path, input_format):
    done = run(['ffmpeg', '-nostdin', '-v', 'error', '-f', input_format, '-i', path, '-f', 'null', '-'])
    return done.stderr.decode(errors='replace').splitlines()


def stream_counts(path):
    """Packets of the first video and the first audio stream ffprobe reads."""
    done = run(['ffprobe', '-v', 'error', '-count_packets', '-show_entries',
                'stream=codec_type,nb_read_packets', '-of', 'json', path])
    counts = {}
    try:
        for stream in json.loads(done.stdout or b'{}').get('streams', []):
            counts.setdefault(stream.get('codec_type'), int(stream.get('nb_read_packets', 0)))
    except ValueError:
        pass
    return counts.get('video', 0), counts.get('audio', 0)


# --- The timeline: the picture on screen at each moment against the clean one.

PSNR_CAP = 60.0                  # dB, an equal picture's too
VISIBLY_WRONG, FAR_OFF = 30.0, 20.0   # dB
# A time stamp this share of a picture period after a moment still counts
# as at it: the clocks' ticks do not divide every picture rate.
SLACK = fractions.Fraction(1, 100)
# SQUARES[d] is d * d for -255 <= d <= 255 (negative d from the end).
SQUARES = [d * d for d in range(256)] + [d * d for d in range(-255, 0)]


def squared_error(picture, clean):
    """Sum of the squared differences of two luma planes of equal size."""
    if picture == clean:
        return 0
    if numpy is not None:
        d = numpy.frombuffer(picture, numpy.uint8).astype(numpy.int64) - numpy.frombuffer(clean, numpy.uint8)
        return int(numpy.dot(d, d))
    return sum(map(SQUARES.__getitem__, map(operator.sub, picture, clean)))


def psnr(error, samples):
    """PSNR in dB of a luma plane of `samples` samples whose squared
    differences sum to `error`, capped at PSNR_CAP."""
    if error == 0:
        return PSNR_CAP
    return min(PSNR_CAP, 10 * math.log10(255 * 255 * samples / error))


def held_pictures(times, moments):
    """For each moment 0 .. moments-1, the index of the picture on screen
    then, or None: the last picture in output order whose time (in picture
    periods from the first moment; None for a picture without a time stamp)
    falls at or before the moment."""
    latest = [None] * moments
    for index, at in enumerate(times):
        if at is None:
            continue
        first = max(0, math.ceil(at - SLACK))
        if first < moments:
            latest[first] = index
    held, on_screen = [], None
    for index in latest:
        if index is not None and (on_screen is None or index > on_screen):
            on_screen = index
        held.append(on_screen)
    return held


def timeline_psnr(clean, pictures, held):
    """The PSNR of each moment: the picture held then (held[k] indexes the
    pictures, in their order) against clean picture k; 0 dB for a moment
    with no picture. clean and pictures are iterables of luma planes, read
    once and in order."""
    pictures = iter(pictures)
    values, current, at = [], None, -1
    for k, (index, reference) in enumerate(zip(held, clean)):
        while index is not None and at < index:
            current, at = next(pictures, None), at + 1
        if index is None or current is None:
            values.append(0.0)
        else:
            values.append(psnr(squared_error(current, reference), len(reference)))
    if len(values) < len(held):
        raise ValueError('%d clean pictures for %d moments' % (len(values), len(held)))
    return values


def stretches(flags):
    """[first, last] of each run of true flags."""
    runs = []
    for k, flag in enumerate(flags):
        if flag and runs and runs[-1][1] == k - 1:
            runs[-1][1] = k
        elif flag:
            runs.append([k, k])
    return runs


def timeline_figures(values, rate):
    """The figures of the PSNR of each moment, at `rate` moments a second:
    their sum and mean, the moments and seconds below 30 and 20 dB, and
    where the moments below 20 dB lie."""
    below_30 = sum(v < VISIBLY_WRONG for v in values)
    below_20 = sum(v < FAR_OFF for v in values)
    return dict(moments=len(values), psnr_sum=sum(values),
                mean_psnr=round(sum(values) / len(values), 2) if values else 0.0,
                below_30=below_30, below_20=below_20,
                seconds_below_30=round(below_30 / rate, 2), seconds_below_20=round(below_20 / rate, 2),
                far_off=stretches(v < FAR_OFF for v in values))


def sum_timelines(timelines):
    """The figures of a set of rips: the mean over all their moments and
    the seconds summed."""
    moments = sum(t['moments'] for t in timelines)
    total = sum(t['psnr_sum'] for t in timelines)
    return dict(moments=moments, mean_psnr=round(total / moments, 2) if moments else 0.0,
                seconds_below_30=round(sum(t['seconds_below_30'] for t in timelines), 2),
                seconds_below_20=round(sum(t['seconds_below_20'] for t in timelines), 2))


def timeline_targets(rescue, ffmpeg):
    """Each timeline goal of --rescue over a set, with whether it is met."""
    gain = ffmpeg['mean_psnr'] + TARGET_PSNR_GAIN
    wrong = TARGET_VISIBLY_WRONG_SHARE * ffmpeg['seconds_below_30']
    far = ffmpeg['seconds_below_20']
    return {
        'timeline: mean PSNR >= ffmpeg\'s + %.0f dB (%.2f)' % (TARGET_PSNR_GAIN, gain):
            rescue['mean_psnr'] >= gain,
        'timeline: seconds < 30 dB <= %d%% of ffmpeg\'s (%.1f)' % (100 * TARGET_VISIBLY_WRONG_SHARE, wrong):
            rescue['seconds_below_30'] <= wrong,
        'timeline: seconds < 20 dB <= ffmpeg\'s (%.1f)' % far: rescue['seconds_below_20'] <= far,
    }


SHOWN = re.compile(r'\bn:\s*\d+\s+pts:\s*(\S+)')
TIME_BASE = re.compile(r'config in time_base:\s*(\d+)/(\d+)')


def luma_command(path, size, input_format=None, times=False, out='rawvideo'):
    """ffmpeg decoding the first video stream of path on one thread into the
    luma planes of its pictures, scaled to size if need be, with their time
    stamps logged (showinfo) when times."""
    command = ['ffmpeg', '-nostdin', '-hide_banner', '-nostats', '-v', 'info' if times else 'error',
               '-threads', '1', '-filter_threads', '1', '-copyts']
    if input_format:
        command += ['-f', input_format]
    command += ['-i', path, '-map', '0:v:0', '-fps_mode', 'passthrough',
                '-vf', ('showinfo,' if times else '') + 'scale=%d:%d,format=yuv420p,extractplanes=y' % size]
    return command + ['-pix_fmt', 'gray', '-f', out, '-']


def shown_times(log):
    """The time stamp in seconds of each picture showinfo logged, None
    where it has none."""
    times, base = [], None
    for line in log.splitlines():
        m = TIME_BASE.search(line)
        if m:
            base = fractions.Fraction(int(m.group(1)), int(m.group(2)))
        m = SHOWN.search(line)
        if m:
            stamp = m.group(1)
            times.append(int(stamp) * base if base and re.fullmatch(r'-?\d+', stamp) else None)
    return times


def decoded_times(path, size, input_format=None):
    done = run(luma_command(path, size, input_format, times=True, out='null'))
    return shown_times(done.stderr.decode(errors='replace'))


class Lumas:
    """The luma planes ffmpeg decodes, one at a time, as an iterable; what
    ffmpeg logged is in log once the iteration is over."""

    def __init__(self, command, size):
        self.command, self.bytes, self.log = command, size[0] * size[1], ''

    def __iter__(self):
        with tempfile.TemporaryFile() as log:
            process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=log)
            try:
                while True:
                    plane = process.stdout.read(self.bytes)
                    if len(plane) < self.bytes:
                        break
                    yield plane
            finally:
                process.kill()
                process.stdout.close()
                process.wait()
                log.seek(0)
                self.log = log.read().decode(errors='replace')


def rate_fraction(rate):
    return fractions.Fraction(rate).limit_denominator(1001)


def clean_timeline(source, size, rate):
    """The clean rip's time origin (its first picture's time stamp, in
    seconds) and picture count; exits unless picture k is shown at moment k."""
    times = decoded_times(source, size)
    if not times or None in times:
        sys.exit('%s: ffmpeg gives no time stamps for the clean pictures' % source)
    if any(abs((t - times[0]) * rate_fraction(rate) - k) > SLACK for k, t in enumerate(times)):
        sys.exit('%s: the clean pictures are not one picture period apart' % source)
    return times[0], len(times)


def timeline(source, size, pictures, held):
    """The PSNR of each moment, the clean pictures decoded from source."""
    clean, pictures = iter(Lumas(luma_command(source, size), size)), iter(pictures)
    try:
        return timeline_psnr(clean, pictures, held)
    finally:
        clean.close()
        pictures.close()


def rescued_timeline(source, mpv, size, rate, count):
    """The timeline figures of the .mpv: its k-th picture at moment k."""
    if mpv is None:
        return timeline_figures([0.0] * count, rate)
    values = timeline(source, size, Lumas(luma_command(mpv, size, 'mpegvideo'), size), list(range(count)))
    return timeline_figures(values, rate)


def played_timeline(source, path, size, rate, origin, count):
    """The timeline figures of ffmpeg playing the system stream at path:
    each picture held from its time stamp on, counted from origin."""
    times = decoded_times(path, size)
    periods = rate_fraction(rate)
    held = held_pictures([None if t is None else (t - origin) * periods for t in times], count)
    pictures = Lumas(luma_command(path, size, times=True), size)
    values = timeline(source, size, pictures, held)
    # The pictures were paired with the time stamps of a first run: the
    # second must decode the same ones.
    needed = 0 if not held or held[-1] is None else held[-1] + 1
    if shown_times(pictures.log)[:needed] != times[:needed]:
        sys.exit('%s: ffmpeg decodes other pictures or times on a second run' % path)
    return timeline_figures(values, rate)


def md5(path):
    with open(path, 'rb') as f:
        return hashlib.md5(f.read()).hexdigest()


# --- One rip: its reference figures, then each run.

def stream_cut_from(folder, which, scratch):
    """The damaged (or clean) input as a system stream ffmpeg can read: the
    packs the image's sectors carry, or the set's members joined."""
    with open(os.path.join(folder, 'damage.json')) as f:
        record = json.load(f)
    files = rips.input_files(folder, which)
    if 'first_sector' in record:
        image = rips.read(files[0])
        first = record['first_sector']
        content = b''.join(image[s * rips.SECTOR + rips.PAYLOAD_OFFSET:
                                 s * rips.SECTOR + rips.PAYLOAD_OFFSET + rips.PAYLOAD]
                           for s in range(first, first + record['stream_sectors']))
    elif len(files) > 1:
        content = b''.join(rips.read(f) for f in files)
    else:
        return files[0]
    path = os.path.join(scratch, 'cut-%s.mpg' % which)
    rips.write(path, content)
    return path


def reference(folder, which, scratch):
    """The rip's reference figures, kept in its folder once worked out (and
    worked out again when this script or the rip has changed)."""
    cache = os.path.join(folder, 'reference-%s.json' % which)
    key = hashlib.md5(rips.read(os.path.abspath(__file__))
                      + rips.read(os.path.join(folder, 'damage.json'))).hexdigest()
    if os.path.exists(cache):
        with open(cache) as f:
            figures = json.load(f)
        if figures.get('key') == key:
            return figures
    source_path = os.path.join(folder, 'source.mpg')
    source = rips.read(source_path)
    frames, messages = frame_hashes(source_path, copyts=True)
    if messages:
        sys.exit('%s: ffmpeg does not decode the clean rip cleanly: %s' % (folder, messages[0]))
    audio_path = os.path.join(folder, 'reference.mp2')
    subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', source_path, '-map', '0:a:0',
                    '-c', 'copy', '-f', 'mp2', audio_path], check=True)
    with open(os.path.join(folder, 'damage.json')) as f:
        record = json.load(f)
    damage = record['touched'] if which == 'damaged' else []
    intact = intact_pictures(source, damage)
    if len(intact) != len(frames):
        sys.exit('%s: %d pictures in the stream, %d decoded' % (folder, len(intact), len(frames)))
    if len(set(h for _, h in frames)) != len(frames):
        sys.exit('%s: the clean rip repeats pictures; shifted pictures would match' % folder)
    cut = stream_cut_from(folder, which, scratch)
    played, _ = frame_hashes(cut, copyts=True)
    by_time = dict(frames)
    at_time = len({pts for pts, h in played if by_time.get(pts) == h})
    audio = audio_frames(rips.read(audio_path))
    # What a rip that stops early still holds: the pictures and frames
    # before the end it lost.
    tail = [[record['lost_from'], len(source)]] if which == 'damaged' and 'lost_from' in record else []
    rate, size = picture_rate(source), picture_size(source)
    origin, count = clean_timeline(source_path, size, rate)
    if count != len(frames):
        sys.exit('%s: %d pictures decoded on one thread, %d on more' % (folder, count, len(frames)))
    figures = dict(key=key, hashes=[h for _, h in frames], intact=sum(intact), ffmpeg=at_time,
                   audio_frames=len(audio), intact_audio=sum(intact_audio(source, damage)),
                   held_pictures=sum(intact_pictures(source, tail)),
                   held_audio=sum(intact_audio(source, tail)),
                   picture_rate=rate, sample_rate=sample_rate(audio), size=size,
                   timeline=played_timeline(source_path, cut, size, rate, origin, count))
    with open(cache + '.tmp', 'w') as f:
        json.dump(figures, f)
    os.replace(cache + '.tmp', cache)
    return figures


def score_run(orvante, folder, which, mode, scratch, ref, ref_audio, quality_only=False):
    """Runs orvante (plain, or with --rescue) on a copy of the rip, and
    measures its outputs (the rescue's timeline alone when quality_only).
    None when the program has no --rescue yet."""
    work = os.path.join(scratch, mode)
    os.makedirs(work)
    files = rips.input_files(folder, which)
    for path in files:
        shutil.copy(path, work)
    command = [orvante] + (['--rescue'] if mode == 'rescue' else []) + [os.path.basename(files[0])]
    started = time.perf_counter()
    try:
        done = run(command, cwd=work, timeout=300)
        status = done.returncode
        said = (done.stdout + done.stderr).decode(errors='replace')
    except subprocess.TimeoutExpired:
        status, said = 'timeout', ''
    seconds = time.perf_counter() - started
    untouched = all(rips.read(os.path.join(work, os.path.basename(p))) == rips.read(p) for p in files)
    outputs = sorted(os.listdir(work))
    mpv = [os.path.join(work, n) for n in outputs if n.endswith('.mpv')]
    mp2 = [os.path.join(work, n) for n in outputs if n.endswith('.mp2')]
    if mode == 'rescue' and status != 0 and not mpv and NOT_BUILT.search(said):
        return None
    result = dict(status=status, seconds=round(seconds, 3), input_untouched=untouched, md5={})
    if mode == 'rescue':
        result['timeline'] = rescued_timeline(os.path.join(folder, 'source.mpg'), mpv[0] if mpv else None,
                                              tuple(ref['size']), ref['picture_rate'], len(ref['hashes']))
    if quality_only:
        result['md5'] = {os.path.splitext(p)[1][1:]: md5(p) for p in mpv[:1] + mp2[:1]}
        return result
    video = audio = b''
    hashes, video_messages, audio_messages = [], [], []
    if mpv:
        video = rips.read(mpv[0])
        result['md5']['mpv'] = md5(mpv[0])
        decoded, video_messages = frame_hashes(mpv[0], 'mpegvideo')
        hashes = [h for _, h in decoded]
    if mp2:
        audio = rips.read(mp2[0])
        result['md5']['mp2'] = md5(mp2[0])
        audio_messages = decoder_messages(mp2[0], 'mp3')
    frames = audio_frames(audio)
    pictures = video.count(START_CODE + bytes([PICTURE]))
    result.update(
        messages=len(video_messages) + len(audio_messages),
        video_messages=len(video_messages), audio_messages=len(audio_messages),
        first_messages=['mpv: ' + m for m in video_messages[:3]] + ['mp2: ' + m for m in audio_messages[:3]],
        pictures=pictures, decoded=len(hashes),
        pictures_at_time=sum(1 for h, r in zip(hashes, ref['hashes']) if h == r),
        audio_frames=len(frames),
        audio_at_time=sum(1 for a, r in zip(frames, ref_audio) if a == r),
        av_gap=round(abs(len(frames) * AUDIO_SAMPLES_PER_FRAME / ref['sample_rate']
                         - pictures / ref['picture_rate']), 3))
    result.update(mplex(work, mpv, mp2))
    return result


def mplex(work, mpv, mp2):
    """What `mplex -f 1` makes of the outputs: the pictures and audio frames
    of the muxed file, and whether mplex stopped reading either output
    before its end (by the stream lengths it reports having read)."""
    if not mpv:
        return dict(mplex_pictures=0, mplex_audio=0, mplex_early=True, mplex_notes=['no .mpv'])
    out = os.path.join(work, 'mplex.mpg')
    try:
        done = run(['mplex', '-f', '1', '-o', out] + mpv[:1] + mp2[:1], timeout=300)
        status, said = done.returncode, done.stderr.decode(errors='replace')
    except subprocess.TimeoutExpired:
        status, said = 'timeout', ''
    notes = [line.strip() for line in said.splitlines() if 'WARN' in line or 'ERROR' in line]
    read = [int(m.group(1)) for m in re.finditer(r'stream length:?\s+(\d+) bytes', said, re.I)]
    sizes = [os.path.getsize(p) for p in mpv[:1] + mp2[:1]]
    early = len(read) != len(sizes) or any(r < s for r, s in zip(read, sizes))
    if status != 0:
        notes.insert(0, 'mplex exit status %s' % status)
    muxed_pictures, muxed_audio = stream_counts(out) if os.path.exists(out) else (0, 0)
    return dict(mplex_pictures=muxed_pictures, mplex_audio=muxed_audio, mplex_early=early,
                mplex_notes=notes[:3])


def score_rip(orvante, folder, which, scratch, modes, quality_only=False):
    os.makedirs(scratch)
    ref = reference(folder, which, scratch)
    ref_audio = audio_frames(rips.read(os.path.join(folder, 'reference.mp2')))
    figures = dict(pictures=len(ref['hashes']), audio_frames=ref['audio_frames'],
                   intact=ref['intact'], ffmpeg=ref['ffmpeg'], intact_audio=ref['intact_audio'],
                   held_pictures=ref['held_pictures'], held_audio=ref['held_audio'],
                   picture_rate=round(ref['picture_rate'], 3), ffmpeg_timeline=ref['timeline'])
    for mode in modes:
        figures[mode] = score_run(orvante, folder, which, mode, scratch, ref, ref_audio, quality_only)
    return figures


# --- The summary.

def rip_goals(figures, run):
    """Whether the run met, on this rip, each goal that --rescue has over
    the sums or on each rip: no message, the intact pictures and the share
    of the audio frames at their time, |a-v| and mplex."""
    return {
        'messages': run['messages'] == TARGET_MESSAGES,
        'pictures': run['pictures_at_time'] >= figures['intact'],
        'audio': run['audio_at_time'] * TARGET_AUDIO_AT_TIME[1] >= figures['audio_frames'] * TARGET_AUDIO_AT_TIME[0],
        '|a-v|': run['av_gap'] <= TARGET_AV_GAP,
        'mplex': (run['mplex_pictures'] >= figures['held_pictures'] and
                  run['mplex_audio'] >= figures['held_audio'] - TARGET_MPLEX_AUDIO_SHORT),
    }


def summarize(results, quality_only=False):
    """Sums over the rips, and each target with whether each run met it
    (the timeline's alone when quality_only)."""
    names = list(results)
    total = lambda key: sum(results[n][key] for n in names)
    sums = dict(pictures=total('pictures'), audio_frames=total('audio_frames'),
                intact=total('intact'), ffmpeg=total('ffmpeg'))
    targets = {}
    rescues = [results[n].get('rescue') for n in names]
    sums['timeline'] = dict(ffmpeg=sum_timelines([results[n]['ffmpeg_timeline'] for n in names]), rescue=None)
    if rescues and None not in rescues:
        sums['timeline']['rescue'] = sum_timelines([r['timeline'] for r in rescues])
    for mode in ('plain', 'rescue'):
        runs = [results[n].get(mode) for n in names]
        if not runs or any(r is None for r in runs) or quality_only:
            sums[mode] = None
            continue
        summed = lambda key: sum(r[key] for r in runs)
        sums[mode] = dict(messages=summed('messages'), pictures_at_time=summed('pictures_at_time'),
                          audio_at_time=summed('audio_at_time'), seconds=round(summed('seconds'), 3),
                          mplex_pictures=summed('mplex_pictures'), mplex_audio=summed('mplex_audio'),
                          av_gap=max(r['av_gap'] for r in runs))
        audio_goal = TARGET_AUDIO_AT_TIME[0] * sums['audio_frames'] // TARGET_AUDIO_AT_TIME[1]
        targets[mode] = {
            'messages == %d' % TARGET_MESSAGES: sums[mode]['messages'] == TARGET_MESSAGES,
            'pictures at time >= intact (%d)' % sums['intact']:
                sums[mode]['pictures_at_time'] >= sums['intact'],
            'audio at time >= %d' % audio_goal: sums[mode]['audio_at_time'] >= audio_goal,
            '|a-v| <= %.2f s on each rip' % TARGET_AV_GAP:
                all(rip_goals(results[n], r)['|a-v|'] for n, r in zip(names, runs)),
            'mplex: every picture held, all audio frames but %d, each rip' % TARGET_MPLEX_AUDIO_SHORT:
                all(rip_goals(results[n], r)['mplex'] for n, r in zip(names, runs)),
        }
    if sums['timeline']['rescue'] is not None:
        targets.setdefault('rescue', {}).update(
            timeline_targets(sums['timeline']['rescue'], sums['timeline']['ffmpeg']))
    return sums, targets


def print_timeline(results, sums):
    width = max([15] + [len(n) for n in results])
    print('%-*s %7s | %-15s | %-15s | %-15s' % (width, 'timeline', '', 'mean PSNR dB', 's < 30 dB', 's < 20 dB'))
    print('%-*s %7s' % (width, 'rip', 'moments') + ' | %7s %7s' % ('rescue', 'ffmpeg') * 3)

    def row(name, moments, rescue, ffmpeg):
        line = '%-*s %7d' % (width, name, moments)
        for key, form in (('mean_psnr', '%.2f'), ('seconds_below_30', '%.1f'), ('seconds_below_20', '%.1f')):
            line += ' | %7s %7s' % tuple('-' if t is None else form % t[key] for t in (rescue, ffmpeg))
        print(line)

    for name, figures in results.items():
        rescue = figures.get('rescue')
        row(name, figures['ffmpeg_timeline']['moments'], rescue and rescue['timeline'], figures['ffmpeg_timeline'])
    row('sum (mean)', sums['timeline']['ffmpeg']['moments'], sums['timeline']['rescue'], sums['timeline']['ffmpeg'])
    print('(the luma of the picture on screen at each moment against the clean rip\'s, %.0f dB at most, '
          '0 dB with no picture; ffmpeg: playing the damaged input itself)' % PSNR_CAP)


def print_table(results, sums, targets, modes, clean, users, quality_only=False):
    if quality_only:
        print_timeline(results, sums)
        if 'rescue' not in modes:
            print('--rescue: not built yet')
        print_goals(results, targets, quality_only)
        return
    columns = [('messages', 'messages', '%d'), ('pictures', 'pictures_at_time', '%d'),
               ('audio', 'audio_at_time', '%d'), ('|a-v| s', 'av_gap', '%.3f'),
               ('mplex pict', 'mplex_pictures', '%d'), ('mplex audio', 'mplex_audio', '%d'),
               ('time s', 'seconds', '%.2f')]
    width = max([15] + [len(n) for n in results])
    head1 = '%-*s %6s %6s %6s %6s' % (width, '', 'pict', 'audio', 'intact', 'ffmpeg')
    head2 = '%-*s %6s %6s %6s %6s' % (width, 'rip', '', '', '', '')
    for title, _, _ in columns:
        head1 += ' | %-15s' % title
        head2 += ' | %7s %7s' % ('plain', 'rescue')
    print(head1)
    print(head2)

    def cell(run, key, form):
        if run is None:
            return '%7s' % '-'
        text = form % run[key]
        if key.startswith('mplex') and run['mplex_early']:
            text += '!'
        return '%7s' % text

    def row(name, figures, runs):
        line = '%-*s %6d %6d %6d %6d' % (width, name, figures['pictures'], figures['audio_frames'],
                                          figures['intact'], figures['ffmpeg'])
        for _, key, form in columns:
            line += ' | %s %s' % tuple(cell(runs.get(m), key, form) for m in ('plain', 'rescue'))
        return line

    for name, figures in results.items():
        print(row(name, figures, figures))
    sum_runs = {m: sums.get(m) and dict(sums[m], mplex_early=False) for m in ('plain', 'rescue')}
    print(row('sum (max |a-v|)', sums, sum_runs))
    print('("!": mplex stopped early; intact: pictures the damage left whole with their references;'
          ' ffmpeg: pictures ffmpeg plays at their time from the damaged input itself)')
    if 'rescue' not in modes or sums.get('rescue') is None:
        print('--rescue: not built yet; the plain run is scored alone')
    if users and not clean:
        print('users\' rips: %d of %d pictures intact' % USERS_INTACT)
    held = ['%s holds %d pictures, %d audio frames' % (n, f['held_pictures'], f['held_audio'])
            for n, f in results.items() if (f['held_pictures'], f['held_audio']) != (f['pictures'], f['audio_frames'])]
    if held:
        print('the rip stops early: ' + '; '.join(held))
    print()
    print_timeline(results, sums)
    print_goals(results, targets, quality_only)


def print_goals(results, targets, quality_only):
    for mode, met in targets.items():
        print('targets, %s:' % mode)
        for goal, ok in met.items():
            print('  %-62s %s' % (goal, 'met' if ok else 'MISSED'))
        for name, figures in results.items():
            if quality_only:
                break
            missed = [goal for goal, ok in rip_goals(figures, figures[mode]).items() if not ok]
            if missed:
                print('  %s: %s missed on this rip (%d audio frames intact)' % (
                    name, ', '.join(missed), figures['intact_audio']))
    for name, figures in results.items():
        for mode in ('plain', 'rescue'):
            run = figures.get(mode)
            if run is None:
                continue
            notes = run.get('first_messages', []) + ['mplex: ' + n for n in run.get('mplex_notes', [])]
            if run['status'] != 0:
                notes.insert(0, 'exit status %s' % run['status'])
            if not run['input_untouched']:
                notes.insert(0, 'the input was changed')
            for note in notes:
                print('%s %s: %s' % (name, mode, note[:150]))


def score_rips(orvante, folders, which, scratch, quality_only, jobs):
    """Scores each rip (a dict of their folders by name), jobs at a time.
    Without --rescue in the program, the plain runs alone."""
    modes = ['rescue'] if quality_only else ['plain', 'rescue']
    results = {}
    if jobs > 1:
        with concurrent.futures.ProcessPoolExecutor(jobs) as pool:
            futures = {name: pool.submit(score_rip, orvante, folder, which, os.path.join(scratch, name),
                                         modes, quality_only) for name, folder in folders.items()}
            results = {name: future.result() for name, future in futures.items()}
    else:
        for name, folder in folders.items():
            results[name] = score_rip(orvante, folder, which, os.path.join(scratch, name), modes, quality_only)
            if results[name].get('rescue', 0) is None:
                modes = [m for m in modes if m != 'rescue']
    if any(f.get('rescue', 0) is None for f in results.values()):
        for figures in results.values():
            figures.pop('rescue', None)
        return results, [m for m in modes if m != 'rescue']
    return results, modes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--orvante', default=os.path.join(ROOT, 'build', 'release', 'orvante'))
    parser.add_argument('--set', choices=list(rips.SETS), default='default')
    parser.add_argument('--rip', action='append', choices=rips.ALL_NAMES)
    parser.add_argument('--data', default=rips.DATA)
    parser.add_argument('--clean', action='store_true')
    parser.add_argument('--quality-only', action='store_true')
    parser.add_argument('--jobs', type=int)
    parser.add_argument('--keep', action='store_true')
    parser.add_argument('--json', action='store_true')
    args = parser.parse_args()
    orvante = os.path.abspath(args.orvante)
    if not os.access(orvante, os.X_OK):
        sys.exit('no program at %s (build it: cmake --preset release && cmake --build --preset release)' % orvante)
    jobs = args.jobs or (min(2, os.cpu_count() or 1) if args.quality_only else 1)
    which = 'clean' if args.clean else 'damaged'
    # Made one after the other: the variants share their encoded streams.
    folders = {name: rips.make_rip(rips.rip_by_name(name), os.path.abspath(args.data))
               for name in args.rip or [rip['name'] for rip in rips.SETS[args.set]]}
    if numpy is None and not args.json:
        print('(no numpy: the pictures are compared in plain Python, slowly)', file=sys.stderr)
    scratch = tempfile.mkdtemp(prefix='rescue-score-')
    try:
        results, modes = score_rips(orvante, folders, which, scratch, args.quality_only, max(1, jobs))
    finally:
        if args.keep:
            print('outputs kept in %s' % scratch, file=sys.stderr)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    sums, targets = summarize(results, args.quality_only)
    differ = []
    checked = args.clean and 'rescue' in modes and 'plain' in modes
    if checked:
        differ = [n for n, f in results.items() if f['plain']['md5'] != f['rescue']['md5']]
    if args.json:
        json.dump(dict(rips=results, sums=sums, targets=targets, which=which, set=args.set,
                       rescue_built='rescue' in modes, quality_only=args.quality_only,
                       clean_outputs_differ=differ),
                  sys.stdout, indent=1)
        print()
    else:
        print_table(results, sums, targets, modes, args.clean,
                    all(n in rips.RIP_NAMES for n in results), args.quality_only)
        if args.clean:
            if 'rescue' not in modes:
                print('clean check: --rescue not built yet')
            elif not checked:
                print('clean check: not made with --quality-only (no plain run)')
            else:
                for name, figures in results.items():
                    print('clean check, %s: %s' % (name, 'differs: %s against %s' % (
                        figures['plain']['md5'], figures['rescue']['md5']) if name in differ else
                        '--rescue writes what the plain run writes'))
    return 1 if differ else 0


if __name__ == '__main__':
    sys.exit(main())
