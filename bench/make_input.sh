#!/bin/sh
# Makes the benchmark input in the given folder (default bench/data) when it
# is missing: an hour of ffmpeg's testsrc2 and a sine tone as a PAL Video CD
# system stream (hour.mpg), and the whole-disc sector image of it made with
# vcdimager (hour.bin). Takes a few minutes and about 1.3 GB.
set -eu
folder="${1:-$(dirname "$0")/data}"
mkdir -p "$folder"
cd "$folder"
if [ ! -s hour.mpg ]; then
  ffmpeg -hide_banner -loglevel error -nostdin -y \
    -f lavfi -i testsrc2=size=352x288:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 \
    -t 3600 -target pal-vcd hour.mpg.part
  mv hour.mpg.part hour.mpg
fi
if [ ! -s hour.bin ]; then
  vcdimager -q -t vcd2 -c hour.cue -b hour.bin.part hour.mpg
  sed -i 's/hour.bin.part/hour.bin/' hour.cue
  mv hour.bin.part hour.bin
fi
ls -l hour.mpg hour.bin
