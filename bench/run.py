#!/usr/bin/env python3
"""Times orvante on the hour-long Video CD image against cp of the same image,
and against the peers that do less (ffmpeg remuxing the system stream;
vcdxrip extracting the track, then mpgdemux), alternating, in one run.

Usage: bench/run.py [--damaged] [rounds]    (default 7)
orvante runs plain and with --rescue (its outputs in run/rescued/).
With --damaged, every tool takes a damaged copy of the image instead
(data/hour-damaged.bin, made once, the same each time: 300 sectors of the
recording zeroed, 3000 bits flipped and five scratches of 60 sectors).
Each round runs every tool once, each replacing the outputs of its run
before. Prints the medians, the ratio orvante/cp, MB/s and peak memory;
then the same ratio from rounds in which the outputs were removed first
(not timed), so that every file is written anew.
"""
import os
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time

import make_rescue_rips as rips

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(here)
data = os.path.join(here, 'data')
work = os.path.join(here, 'run')
orvante = os.path.join(root, 'build-bench', 'orvante')
damaged = '--damaged' in sys.argv[1:]
arguments = [argument for argument in sys.argv[1:] if argument != '--damaged']
rounds = int(arguments[0]) if arguments else 7


def make_damaged(clean, damaged_name):
    """Writes a damaged copy of the image, the same damage each time, with
    the damage of the rescue rips (make_rescue_rips.py) over the sectors
    that carry the recording."""
    if os.path.exists(damaged_name):
        return
    with open(clean, 'rb') as image:
        bytes_ = image.read()
    chance = random.Random(4242)
    bytes_, _ = rips.damage_zero_sectors(bytes_, chance, 300)
    bytes_, _ = rips.damage_flip_image_bits(bytes_, chance, 3000)
    for _ in range(5):
        bytes_, _ = rips.damage_garble_burst(bytes_, chance, 60)
    with open(damaged_name + '.part', 'wb') as image:
        image.write(bytes_)
    os.replace(damaged_name + '.part', damaged_name)


def sh(*command, **options):
    subprocess.run(command, check=True, **options)


def timed(command, cwd):
    """Runs the command, returns (seconds, peak resident kB, peak anonymous kB)."""
    peak_anon = [0]
    finished = threading.Event()
    start = time.perf_counter()
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def sample():
        # Reads the child's status until it is reaped by wait4 below; a
        # finished child that is not yet reaped still has its entry.
        path = '/proc/%d/status' % child.pid
        while not finished.is_set():
            try:
                with open(path) as status:
                    for line in status:
                        if line.startswith('RssAnon:'):
                            peak_anon[0] = max(peak_anon[0], int(line.split()[1]))
            except OSError:
                break
            time.sleep(0.002)

    sampler = threading.Thread(target=sample)
    sampler.start()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    finished.set()
    child.returncode = os.waitstatus_to_exitcode(status)
    sampler.join()
    if child.returncode != 0:
        sys.exit('failed: %s' % ' '.join(command))
    return seconds, usage.ru_maxrss, peak_anon[0]


def main():
    sh(os.path.join(here, 'make_input.sh'), data)
    sh('cmake', '-S', root, '-B', os.path.join(root, 'build-bench'), '-G', 'Ninja',
       '-DCMAKE_BUILD_TYPE=Release', '-DORVANTE_TESTS=OFF', stdout=subprocess.DEVNULL)
    sh('cmake', '--build', os.path.join(root, 'build-bench'), '--target', 'orvante', stdout=subprocess.DEVNULL)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    image = os.path.join(data, 'hour.bin')
    if damaged:
        make_damaged(image, os.path.join(data, 'hour-damaged.bin'))
        image = os.path.join(data, 'hour-damaged.bin')
    os.symlink(image, os.path.join(work, 'hour.bin'))
    for name in ('hour.mpg', 'hour.cue'):
        os.symlink(os.path.join(data, name), os.path.join(work, name))
    image_bytes = os.path.getsize(image)
    with open(image, 'rb') as warm:  # the page cache holds the input
        while warm.read(1 << 24):
            pass

    tools = {
        'orvante': [orvante, 'hour.bin'],
        'orvante --rescue': [orvante, '--rescue', '-o', 'rescued', 'hour.bin'],
        'cp': ['cp', 'hour.bin', 'copy.bin'],
    }
    os.makedirs(os.path.join(work, 'rescued'))
    if shutil.which('ffmpeg') and not damaged:  # the peers read the clean recording
        tools['ffmpeg remux'] = ['ffmpeg', '-v', 'error', '-nostdin', '-y', '-i', 'hour.mpg',
                                 '-map', '0:v', '-c', 'copy', '-f', 'mpeg1video', 'ff.m1v',
                                 '-map', '0:a', '-c', 'copy', '-f', 'mp2', 'ff.mp2']
    if shutil.which('vcdxrip') and shutil.which('mpgdemux') and not damaged:
        tools['vcdxrip+mpgdemux'] = ['sh', '-c', 'vcdxrip -q --nofiles -b hour.bin -c hour.cue'
                                     ' && mpgdemux -f -b vx avseq01.mpg']
    times = {name: [] for name in tools}
    peaks = {name: (0, 0) for name in tools}
    for _ in range(rounds):
        for name, command in tools.items():
            seconds, rss, anon = timed(command, work)
            times[name].append(seconds)
            peaks[name] = (max(peaks[name][0], rss), max(peaks[name][1], anon))

    print('%d rounds on %s (%.0f MB), warm page cache' % (rounds, os.path.basename(image), image_bytes / 1e6))
    print('%-18s %9s %9s %9s %12s %14s' % ('', 'median s', 'min s', 'MB/s', 'peak RSS MB', 'peak anon MB'))
    for name in tools:
        median = statistics.median(times[name])
        print('%-18s %9.3f %9.3f %9.0f %12.1f %14.1f' % (
            name, median, min(times[name]), image_bytes / 1e6 / median, peaks[name][0] / 1024, peaks[name][1] / 1024))
    for name in ('orvante', 'orvante --rescue'):
        ratio = statistics.median(times[name]) / statistics.median(times['cp'])
        print('ratio %s/cp: %.2f' % (name, ratio))
        paired = [o / c for o, c in zip(times[name], times['cp'])]
        print('ratio of each pair: ' + ' '.join('%.2f' % r for r in paired))

    outputs = {'orvante': ['hour.mpv', 'hour.mp2'], 'orvante --rescue': ['rescued/hour.mpv', 'rescued/hour.mp2'],
               'cp': ['copy.bin']}
    fresh = {name: [] for name in outputs}
    for _ in range(rounds):
        for name in outputs:
            for output in outputs[name]:
                if os.path.exists(os.path.join(work, output)):
                    os.unlink(os.path.join(work, output))
            fresh[name].append(timed(tools[name], work)[0])
    orvante_fresh = statistics.median(fresh['orvante'])
    rescue_fresh = statistics.median(fresh['orvante --rescue'])
    cp_fresh = statistics.median(fresh['cp'])
    print('outputs removed before each run: orvante %.3f s, cp %.3f s, ratio orvante/cp: %.2f' % (
        orvante_fresh, cp_fresh, orvante_fresh / cp_fresh))
    print('outputs removed before each run: orvante --rescue %.3f s, ratio orvante --rescue/cp: %.2f' % (
        rescue_fresh, rescue_fresh / cp_fresh))


if __name__ == '__main__':
    main()
