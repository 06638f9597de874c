#!/usr/bin/env python3
"""Makes the damaged one-minute Video CD rips that bench/rescue_score.py
scores, in bench/rescue-data/ (or the folder given), each only when it is
missing or was made by another recipe. Two sets: the default one, five PAL
rips from ffmpeg's encoder; and the variants, rips from other encoders and
muxers (mjpegtools), NTSC, longer and closed groups, and more kinds of damage.

Each rip has its own folder holding:
  source.mpg    the clean system stream (ffmpeg -target pal-vcd, or the
                variant's encoder and muxer), the reference everything is
                measured against;
  clean/        the clean input in the rip's form: a whole-disc sector image
                made with vcdimager (.bin and .cue), the system stream, or a
                numbered set cut without loss;
  damaged/      the same input with the rip's damage;
  damage.json   the recipe, and the byte ranges of source.mpg the damage
                touched (a sector of the image is the 2324-byte pack of
                source.mpg it carries).

Usage: bench/make_rescue_rips.py [--data FOLDER] [--set default|variants] [--rip NAME]...
Everything is repeatable: fixed sources, fixed seeds, a fixed disc date.
"""
import argparse
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(here, 'rescue-data')

SECTOR = 2352                    # a raw CD sector
PAYLOAD_OFFSET = 12 + 4 + 8      # sync, header, Mode 2 subheader
PAYLOAD = 2324                   # Mode 2 Form 2 user data: one pack of the system stream
PACK_START = b'\x00\x00\x01\xba'
SECONDS = 60
DISC_DATE = '2000-01-01 00:00:00'
# The volume creation date in the image: in the primary volume descriptor
# (sector 16, a Mode 2 Form 1 sector), 813 bytes into its data.
VOLUME_DATE = 16 * SECTOR + PAYLOAD_OFFSET + 813

# The five rips: a synthetic picture source and tone, a group structure
# (ffmpeg's default of I and P pictures, or two B pictures between anchors),
# the form the ripper gave, and the damage with its seed.
RIPS = [
    dict(name='zeroed-sectors', input='zeroed.bin', b_frames=2,
         video='testsrc2=size=352x288:rate=25',
         audio='sine=frequency=437.1:sample_rate=44100',
         damage='zero-sectors', count=25, seed=101),
    dict(name='bit-errors', input='bits.mpg', b_frames=0,
         video='mandelbrot=size=352x288:rate=25,boxblur=2',
         audio='anoisesrc=color=pink:seed=5:sample_rate=44100:amplitude=0.3',
         damage='flip-bits', count=600, seed=202),
    dict(name='zeroed-burst', input='burst.bin', b_frames=0,
         video='smptehdbars=size=352x288:rate=25,scroll=horizontal=0.003:vertical=0.001',
         audio='sine=frequency=1003.7:sample_rate=44100',
         damage='zero-burst', count=60, seed=303),
    dict(name='skipped-chunks', input='skipped.mpg', b_frames=2,
         video='life=size=176x144:rate=25:seed=7:mold=10:ratio=0.1:'
               'life_color=#40c060:death_color=#802020,hue=h=t*36,scale=352:288',
         audio='anoisesrc=color=brown:seed=9:sample_rate=44100:amplitude=0.4',
         damage='skip-chunks', count=30, seed=404),
    dict(name='lossy-set', input='movie.000', b_frames=2,
         video='cellauto=size=88x72:rate=25:rule=30:seed=11,format=gray,scale=352:288:flags=bilinear',
         audio='sine=frequency=661.9:sample_rate=44100',
         damage='lossy-cuts', count=6, seed=505, lost=2048),
]

# The variants: what the five above keep fixed, varied. Their clean streams
# come from the encoders below, each made once for the rips that share it:
# mjpegtools' chain (mpeg2enc -f 1 for the video, mp2enc for the audio, mplex
# -f 1 for the system stream), PAL and NTSC; ffmpeg's NTSC Video CD (open
# groups of 18 pictures); and ffmpeg's PAL one with closed groups (-g 18 gives
# groups of 16 there; ffmpeg closes groups only with scene cuts turned off).
SOURCES = {
    'mjpeg-pal': dict(encoder='mjpegtools', norm='pal',
                      video='testsrc=size=352x288:rate=25',
                      audio='sine=frequency=523.3:sample_rate=44100'),
    'mjpeg-ntsc': dict(encoder='mjpegtools', norm='ntsc',
                       video='life=size=176x120:rate=30000/1001:seed=13:mold=8:ratio=0.12:'
                             'life_color=#e0c040:death_color=#2040a0,hue=h=t*24,scale=352:240',
                       audio='anoisesrc=color=pink:seed=17:sample_rate=44100:amplitude=0.3'),
    'ntsc': dict(encoder='ffmpeg', norm='ntsc', b_frames=2, options=[],
                 video='testsrc2=size=352x240:rate=30000/1001',
                 audio='sine=frequency=811.3:sample_rate=44100'),
    'cgop': dict(encoder='ffmpeg', norm='pal', b_frames=2,
                 options=['-g', '18', '-flags', '+cgop', '-sc_threshold', '1000000000'],
                 video='mandelbrot=size=352x288:rate=25:maxiter=256,boxblur=1',
                 audio='anoisesrc=color=brown:seed=19:sample_rate=44100:amplitude=0.4'),
}

# Each variant: its clean stream, the form the ripper gave and the damage
# with its seed. Besides the five kinds above: bit errors anywhere in an
# image (sync, headers and error codes too), whole sectors left out of an
# image, the first sectors of the image or of the stream read back as zeros,
# and an image that ends before the stream does.
VARIANTS = [
    dict(name='mjpeg-zeroed-sectors', source='mjpeg-pal', input='zeroed.bin',
         damage='zero-sectors', count=25, seed=111),
    dict(name='mjpeg-bin-bits', source='mjpeg-pal', input='bits.bin',
         damage='flip-image-bits', count=600, seed=212),
    dict(name='mjpeg-disc-start', source='mjpeg-pal', input='start.bin',
         damage='zero-disc-start', count=10, seed=313),
    dict(name='mjpeg-ntsc-skipped-sectors', source='mjpeg-ntsc', input='skipped.bin',
         damage='skip-sectors', count=30, seed=414),
    dict(name='mjpeg-ntsc-lossy-set', source='mjpeg-ntsc', input='movie.000',
         damage='lossy-cuts', count=6, seed=515, lost=2048),
    dict(name='mjpeg-ntsc-start', source='mjpeg-ntsc', input='start.bin',
         damage='zero-start', count=10, seed=616),
    dict(name='ntsc-zeroed-burst', source='ntsc', input='burst.bin',
         damage='zero-burst', count=60, seed=717),
    dict(name='ntsc-bit-errors', source='ntsc', input='bits.mpg',
         damage='flip-bits', count=600, seed=818),
    dict(name='cgop-skipped-chunks', source='cgop', input='skipped.mpg',
         damage='skip-chunks', count=30, seed=919),
    dict(name='cgop-end-missing', source='cgop', input='end.bin',
         damage='cut-end', count=10, seed=1020),
]
SETS = {'default': RIPS, 'variants': VARIANTS}
RIP_NAMES = [rip['name'] for rip in RIPS]
ALL_NAMES = [rip['name'] for rips in SETS.values() for rip in rips]


def rip_by_name(name):
    for rips in SETS.values():
        for rip in rips:
            if rip['name'] == name:
                return rip
    raise KeyError(name)


def run(*command, cwd=None):
    subprocess.run(command, cwd=cwd, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def write(path, content):
    with open(path + '.tmp', 'wb') as f:
        f.write(content)
    os.replace(path + '.tmp', path)


def recorded(path):
    """What the JSON file holds, or None when there is none."""
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def merge(ranges):
    """Sorted, non-overlapping [start, end) ranges covering the ones given."""
    merged = []
    for start, end in sorted(ranges):
        if merged and start <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], end)
        else:
            merged.append([start, end])
    return merged


# The damage. Each takes the clean input's bytes (or the clean stream's, for
# the set) and a seeded generator, and returns the damaged bytes (or the
# set's members) and the touched [start, end) ranges of source.mpg.

def track_sectors(image):
    """First and last sector of the image whose payload opens a pack: the
    sectors that carry the system stream, one pack each."""
    carrying = [s for s in range(len(image) // SECTOR)
                if image[s * SECTOR + PAYLOAD_OFFSET:s * SECTOR + PAYLOAD_OFFSET + 4] == PACK_START]
    return carrying[0], carrying[-1]


def carried(ranges, first, last):
    """The ranges of source.mpg that the [start, end) ranges of the image
    meet: the parts of them lying in the payloads of sectors first to last."""
    touched = []
    for start, end in ranges:
        for s in range(max(start // SECTOR, first), min((end - 1) // SECTOR, last) + 1):
            payload = s * SECTOR + PAYLOAD_OFFSET
            a, b = max(start, payload), min(end, payload + PAYLOAD)
            if a < b:
                at = (s - first) * PAYLOAD - payload
                touched.append((at + a, at + b))
    return merge(touched)


def sector_spans(sectors):
    return [(s * SECTOR, (s + 1) * SECTOR) for s in sectors]


def zero_sectors(image, sectors):
    first, last = track_sectors(image)
    damaged = bytearray(image)
    for s in sectors:
        damaged[s * SECTOR:(s + 1) * SECTOR] = bytes(SECTOR)
    return bytes(damaged), carried(sector_spans(sectors), first, last)


def damage_zero_sectors(image, rng, count):
    first, last = track_sectors(image)
    return zero_sectors(image, rng.sample(range(first, last + 1), count))


def damage_zero_burst(image, rng, count):
    first, last = track_sectors(image)
    start = rng.randrange(first, last + 2 - count)
    return zero_sectors(image, range(start, start + count))


def damage_garble_burst(image, rng, count):
    """A scratch: `count` sectors in a row, each with a burst of 64 to 1023
    bytes of garbage somewhere in it."""
    first, last = track_sectors(image)
    start = rng.randrange(first, last + 2 - count)
    damaged = bytearray(image)
    touched = []
    for s in range(start, start + count):
        length = rng.randrange(64, 1024)
        at = s * SECTOR + rng.randrange(SECTOR - length)
        damaged[at:at + length] = rng.randbytes(length)
        touched.append((at, at + length))
    return bytes(damaged), carried(touched, first, last)


def damage_zero_start(image, rng, count):
    """The first sectors carrying the stream read back as zeros."""
    first, _ = track_sectors(image)
    return zero_sectors(image, range(first, first + count))


def damage_zero_disc_start(image, rng, count):
    """The first sectors of the image read back as zeros (the stream's
    sectors lie further on)."""
    return zero_sectors(image, range(count))


def damage_flip_image_bits(image, rng, count):
    """Bit errors anywhere in the image: in payloads, and in the sync,
    headers, subheaders and error codes around them."""
    first, last = track_sectors(image)
    damaged, flips = damage_flip_bits(image, rng, count)
    return damaged, carried(flips, first, last)


def damage_skip_sectors(image, rng, count):
    """Leaves whole sectors of the stream out of the image."""
    first, last = track_sectors(image)
    skipped = set(rng.sample(range(first, last + 1), count))
    kept = b''.join(image[s * SECTOR:(s + 1) * SECTOR]
                    for s in range(len(image) // SECTOR) if s not in skipped)
    return kept, carried(sector_spans(sorted(skipped)), first, last)


def damage_cut_end(image, rng, count):
    """The image ends `count` sectors before the stream does."""
    first, last = track_sectors(image)
    end = last + 1 - count
    return image[:end * SECTOR], carried(sector_spans(range(end, last + 1)), first, last)


def damage_flip_bits(stream, rng, count):
    damaged = bytearray(stream)
    positions = rng.sample(range(len(stream)), count)
    for p in positions:
        damaged[p] ^= 1 << rng.randrange(8)
    return bytes(damaged), merge([(p, p + 1) for p in positions])


def damage_skip_chunks(stream, rng, count):
    """Leaves out whole packs: what a ripper gives that skips sectors it
    cannot read."""
    packs = sorted(rng.sample(range(len(stream) // PAYLOAD), count))
    skipped = set(packs)
    kept = b''.join(stream[i * PAYLOAD:(i + 1) * PAYLOAD]
                    for i in range(len(stream) // PAYLOAD) if i not in skipped)
    kept += stream[len(stream) // PAYLOAD * PAYLOAD:]
    return kept, merge([(i * PAYLOAD, (i + 1) * PAYLOAD) for i in packs])


def damage_lossy_cuts(stream, rng, count, lost):
    """Cuts the stream into `count` members at uneven places, losing `lost`
    bytes at each cut. Returns the members."""
    share = len(stream) // count
    cuts = [k * share + rng.randrange(-share // 4, share // 4) for k in range(1, count)]
    members, start = [], 0
    for cut in cuts:
        members.append(stream[start:cut])
        start = cut + lost
    members.append(stream[start:])
    return members, merge([(cut, cut + lost) for cut in cuts])


IMAGE_DAMAGE = {
    'zero-sectors': damage_zero_sectors, 'zero-burst': damage_zero_burst,
    'zero-start': damage_zero_start, 'zero-disc-start': damage_zero_disc_start,
    'flip-image-bits': damage_flip_image_bits, 'skip-sectors': damage_skip_sectors,
    'cut-end': damage_cut_end, 'garble-burst': damage_garble_burst,
}
STREAM_DAMAGE = {'flip-bits': damage_flip_bits, 'skip-chunks': damage_skip_chunks}


def set_names(base, count):
    return ['%s.%03d' % (base, k) for k in range(count)]


# Making one rip.

def recipe_of(rip):
    recipe = dict(rip, seconds=SECONDS, disc_date=DISC_DATE, version=2)
    if 'source' in rip:
        recipe['encoded'] = SOURCES[rip['source']]
    return recipe


def make_source(rip, folder, data):
    """source.mpg in the folder: the rip's own, or a copy of the variant's
    clean stream (made once in data/encoded/ for the rips sharing it)."""
    path = os.path.join(folder, 'source.mpg')
    if 'source' not in rip:
        encode_ffmpeg(dict(rip, norm='pal', options=[]), path)
        return read(path)
    name, recipe = rip['source'], dict(SOURCES[rip['source']], seconds=SECONDS)
    encoded = os.path.join(data, 'encoded')
    made, record = os.path.join(encoded, name + '.mpg'), os.path.join(encoded, name + '.json')
    if recorded(record) != recipe:
        os.makedirs(encoded, exist_ok=True)
        encode = encode_ffmpeg if recipe['encoder'] == 'ffmpeg' else encode_mjpegtools
        encode(recipe, made)
        with open(record, 'w') as f:
            json.dump(recipe, f)
    shutil.copy(made, path)
    return read(path)


FFMPEG = ['ffmpeg', '-hide_banner', '-loglevel', 'error', '-nostdin', '-y']


def lavfi(*sources):
    return FFMPEG + [a for s in sources for a in ('-f', 'lavfi', '-i', s)] + [
        '-t', str(SECONDS), '-threads', '1']


def encode_ffmpeg(source, path):
    run(*lavfi(source['video'], source['audio']), '-target', source['norm'] + '-vcd',
        '-bf', str(source['b_frames']), *source['options'], '-f', 'vcd', path + '.tmp')
    os.replace(path + '.tmp', path)


def piped(producer, consumer):
    """Runs producer | consumer; fails unless both succeed."""
    first = subprocess.Popen(producer, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    second = subprocess.Popen(consumer, stdin=first.stdout, stdout=subprocess.DEVNULL)
    first.stdout.close()
    if second.wait() or first.wait():
        raise subprocess.CalledProcessError(second.returncode or first.returncode, consumer)


def encode_mjpegtools(source, path):
    """The video encoded from yuv4mpeg with mpeg2enc, the audio from raw
    samples with mp2enc, and the two muxed with mplex, all for a Video CD."""
    video, audio = path + '.m1v', path + '.mp2'
    norm = ['-n', 'n'] if source['norm'] == 'ntsc' else []
    piped(lavfi(source['video']) + ['-pix_fmt', 'yuv420p', '-f', 'yuv4mpegpipe', '-'],
          ['mpeg2enc', '-v', '0', '-f', '1', *norm, '-o', video])
    piped(lavfi(source['audio']) + ['-ac', '2', '-f', 's16le', '-'],
          ['mp2enc', '-v', '0', '-V', '-R', '44100,2,16', '-o', audio])
    run('mplex', '-v', '0', '-f', '1', '-o', path + '.tmp', video, audio)
    os.replace(path + '.tmp', path)
    os.remove(video)
    os.remove(audio)


def make_image(folder, name):
    """The whole-disc image of source.mpg as folder/name (+ .cue); returns it.
    vcdimager now and then writes the disc date an hour early (it reads the
    date given as local time with the daylight-saving flag unset): made
    again until the volume descriptor carries the date given."""
    stem = os.path.splitext(name)[0]
    date = DISC_DATE.replace('-', '').replace(':', '').replace(' ', '').encode() + b'00'
    for _ in range(50):
        run('vcdimager', '-q', '-T', DISC_DATE, '-t', 'vcd2', '-c', stem + '.cue', '-b', name,
            os.path.join('..', 'source.mpg'), cwd=folder)
        image = read(os.path.join(folder, name))
        if image[VOLUME_DATE:VOLUME_DATE + len(date)] == date:
            return image
    sys.exit('vcdimager does not write the disc date %s' % DISC_DATE)


def make_rip(rip, data=DATA):
    """Makes the rip's folder unless it holds this recipe's rip already.
    Returns the folder."""
    folder = os.path.join(data, rip['name'])
    recipe = recipe_of(rip)
    record = os.path.join(folder, 'damage.json')
    if (recorded(record) or {}).get('recipe') == recipe:
        return folder
    shutil.rmtree(folder, ignore_errors=True)
    clean, damaged = os.path.join(folder, 'clean'), os.path.join(folder, 'damaged')
    for path in (clean, damaged):
        os.makedirs(path)
    source = make_source(rip, folder, data)
    rng = random.Random(rip['seed'])
    name = rip['input']
    kind = rip['damage']
    if kind in IMAGE_DAMAGE:
        image = make_image(clean, name)
        first, _ = track_sectors(image)
        packs = b''.join(image[s * SECTOR + PAYLOAD_OFFSET:s * SECTOR + PAYLOAD_OFFSET + PAYLOAD]
                         for s in range(first, first + len(source) // PAYLOAD))
        if packs != source:
            sys.exit('%s: the image does not carry source.mpg pack for pack' % rip['name'])
        shutil.copy(os.path.join(clean, os.path.splitext(name)[0] + '.cue'), damaged)
        content, touched = IMAGE_DAMAGE[kind](image, rng, rip['count'])
        write(os.path.join(damaged, name), content)
        extra = dict(first_sector=first, stream_sectors=len(source) // PAYLOAD)
        if kind == 'cut-end':
            extra['lost_from'] = touched[-1][0]
    elif kind in STREAM_DAMAGE:
        write(os.path.join(clean, name), source)
        content, touched = STREAM_DAMAGE[kind](source, rng, rip['count'])
        write(os.path.join(damaged, name), content)
        extra = {}
    elif kind == 'lossy-cuts':
        base = os.path.splitext(name)[0]
        names = set_names(base, rip['count'])
        share = -(-len(source) // rip['count'])
        for k, member in enumerate(names):
            write(os.path.join(clean, member), source[k * share:(k + 1) * share])
        members, touched = damage_lossy_cuts(source, rng, rip['count'], rip['lost'])
        for member, content in zip(names, members):
            write(os.path.join(damaged, member), content)
        extra = dict(members=names)
    else:
        raise ValueError(kind)
    with open(record + '.tmp', 'w') as f:
        json.dump(dict(recipe=recipe, touched=touched,
                       source_md5=hashlib.md5(source).hexdigest(), **extra), f, indent=1)
    os.replace(record + '.tmp', record)
    return folder


def input_files(folder, which):
    """The files that make the rip's clean or damaged input, in order."""
    with open(os.path.join(folder, 'damage.json')) as f:
        record = json.load(f)
    members = record.get('members') or [record['recipe']['input']]
    return [os.path.join(folder, which, m) for m in members]


def main():
    parser = argparse.ArgumentParser(description='Makes the damaged Video CD rips.')
    parser.add_argument('--data', default=DATA)
    parser.add_argument('--set', choices=list(SETS), default='default')
    parser.add_argument('--rip', action='append', choices=ALL_NAMES)
    args = parser.parse_args()
    for name in args.rip or [rip['name'] for rip in SETS[args.set]]:
        print(make_rip(rip_by_name(name), args.data))


if __name__ == '__main__':
    main()
