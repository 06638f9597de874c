#!/bin/bash
# Makes samples/sample.mpg: a 3 s PAL Video CD system stream (test card + 440 Hz tone), bit-exact and repeatable.
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=352x288:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 -t 3 -target pal-vcd -fflags +bitexact -flags +bitexact "$(dirname "$0")/sample.mpg"
