#!/usr/bin/env python3
"""Makes the damaged one-minute PAL Video CD rips that bench/rescue_score.py
scores, in bench/rescue-data/ (or the folder given), each only when it is
missing or was made by another recipe.

Each rip has its own folder holding:
  source.mpg    the clean system stream (ffmpeg -target pal-vcd), the
                reference everything is measured against;
  clean/        the clean input in the rip's form: a whole-disc sector image
                made with vcdimager (.bin and .cue), the system stream, or a
                numbered set cut without loss;
  damaged/      the same input with the rip's damage;
  damage.json   the recipe, and the byte ranges of source.mpg the damage
                touched (a sector of the image is the 2324-byte pack of
                source.mpg it carries).

Usage: bench/make_rescue_rips.py [--data FOLDER] [--rip NAME]...
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
RIP_NAMES = [rip['name'] for rip in RIPS]


def rip_by_name(name):
    for rip in RIPS:
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


def zero_sectors(image, sectors, first):
    damaged = bytearray(image)
    for s in sectors:
        damaged[s * SECTOR:(s + 1) * SECTOR] = bytes(SECTOR)
    touched = [((s - first) * PAYLOAD, (s - first + 1) * PAYLOAD) for s in sectors]
    return bytes(damaged), merge(touched)


def damage_zero_sectors(image, rng, count):
    first, last = track_sectors(image)
    return zero_sectors(image, rng.sample(range(first, last + 1), count), first)


def damage_zero_burst(image, rng, count):
    first, last = track_sectors(image)
    start = rng.randrange(first, last + 2 - count)
    return zero_sectors(image, range(start, start + count), first)


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


def set_names(base, count):
    return ['%s.%03d' % (base, k) for k in range(count)]


# Making one rip.

def recipe_of(rip):
    return dict(rip, seconds=SECONDS, disc_date=DISC_DATE, version=2)


def make_source(rip, folder):
    path = os.path.join(folder, 'source.mpg')
    run('ffmpeg', '-hide_banner', '-loglevel', 'error', '-nostdin', '-y',
        '-f', 'lavfi', '-i', rip['video'], '-f', 'lavfi', '-i', rip['audio'],
        '-t', str(SECONDS), '-threads', '1', '-target', 'pal-vcd', '-bf', str(rip['b_frames']),
        '-f', 'vcd', path + '.tmp')
    os.replace(path + '.tmp', path)
    return read(path)


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
    if os.path.exists(record):
        with open(record) as f:
            if json.load(f).get('recipe') == recipe:
                return folder
    shutil.rmtree(folder, ignore_errors=True)
    clean, damaged = os.path.join(folder, 'clean'), os.path.join(folder, 'damaged')
    for path in (clean, damaged):
        os.makedirs(path)
    source = make_source(rip, folder)
    rng = random.Random(rip['seed'])
    name = rip['input']
    kind = rip['damage']
    if kind in ('zero-sectors', 'zero-burst'):
        image = make_image(clean, name)
        first, _ = track_sectors(image)
        carried = b''.join(image[s * SECTOR + PAYLOAD_OFFSET:s * SECTOR + PAYLOAD_OFFSET + PAYLOAD]
                           for s in range(first, first + len(source) // PAYLOAD))
        if carried != source:
            sys.exit('%s: the image does not carry source.mpg pack for pack' % rip['name'])
        shutil.copy(os.path.join(clean, os.path.splitext(name)[0] + '.cue'), damaged)
        damage = damage_zero_sectors if kind == 'zero-sectors' else damage_zero_burst
        content, touched = damage(image, rng, rip['count'])
        write(os.path.join(damaged, name), content)
        extra = dict(first_sector=first, stream_sectors=len(source) // PAYLOAD)
    elif kind in ('flip-bits', 'skip-chunks'):
        write(os.path.join(clean, name), source)
        damage = damage_flip_bits if kind == 'flip-bits' else damage_skip_chunks
        content, touched = damage(source, rng, rip['count'])
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
    parser.add_argument('--rip', action='append', choices=RIP_NAMES)
    args = parser.parse_args()
    for name in args.rip or RIP_NAMES:
        print(make_rip(rip_by_name(name), args.data))


if __name__ == '__main__':
    main()
