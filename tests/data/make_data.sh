#!/bin/bash
# Remakes every test recording in this directory, plus CHECKSUMS.txt and the *.framemd5 files.
# Sources are synthetic (ffmpeg lavfi testsrc/testsrc2/sine); the disc image comes from vcdimager.
# Output is repeatable for a given ffmpeg/vcdimager version. Needs ffmpeg, ffprobe, vcdimager, python3.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

# a. vcd.mpg: 1.2 s PAL Video CD system stream (30 pictures in two groups, 440 Hz tone), just over
#    the 75 sectors vcdimager wants in a track.
ff -f lavfi -i testsrc=size=352x288:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 \
   -t 1.2 -target pal-vcd -fflags +bitexact -flags +bitexact vcd.mpg

# b. vcd.bin: whole-disc image, 2352-byte raw sectors. With -T alone the file dates come out an hour
#    apart on alternate runs (daylight-saving guess); a zone whose summer offset equals its winter one fixes that.
cp vcd.mpg "$tmp/"
(cd "$tmp" && TZ=AAA0BBB0 vcdimager -q -t vcd2 -T "2000-01-01 00:00:00" -c vcd.cue -b vcd.bin vcd.mpg)
mv "$tmp/vcd.bin" .

# c. vcd.dat: track 2 (from its INDEX 01 to the end of the image) behind a RIFF/CDXA header.
# d. seg.000 ...: vcd.mpg cut at odd offsets, with an empty member and gaps in the numbering.
#    The tests derive c and d from vcd.bin and vcd.mpg the same way, so that the recordings kept here
#    stay small; they are made here only for the facts below.
# f. damaged.mpg: vcd.mpg with flipped bytes and zeroed 2048-byte blocks, at fixed places.
python3 - "$tmp/vcd.cue" "$tmp" <<'EOF'
import re, struct, sys
cue = open(sys.argv[1]).read()
out = sys.argv[2] + '/'
m = re.search(r'TRACK 02.*?INDEX 01 (\d\d):(\d\d):(\d\d)', cue, re.S)
start = (int(m[1]) * 60 + int(m[2])) * 75 + int(m[3])          # sector number
raw = open('vcd.bin', 'rb').read()
track = raw[start * 2352:]
fmt = bytes.fromhex('00000000 1555 5841 01 00000000000000')  # owner/group 0, attributes 0x1555, "XA", file 1
hdr = b'RIFF' + struct.pack('<I', 4 + 24 + 8 + len(track)) + b'CDXA' + b'fmt ' + struct.pack('<I', 16) + fmt \
    + b'data' + struct.pack('<I', len(track))
open(out + 'vcd.dat', 'wb').write(hdr + track)
open(out + 'track2_start', 'w').write(str(start))

mpg = open('vcd.mpg', 'rb').read()
sizes = {'000': 1, '001': 77777, '003': 0, '004': 1234, '006': None}   # None = the rest
pos = 0
for name, n in sizes.items():
    end = len(mpg) if n is None else pos + n
    open(out + 'seg.' + name, 'wb').write(mpg[pos:end])
    pos = end
assert pos == len(mpg)

bad = bytearray(mpg)
for k in range(1, 13):                        # 12 flipped bytes spread over the stream
    bad[len(bad) * k // 13 + 7 * k] ^= (0xFF, 0x01, 0x80, 0x5A)[k % 4]
bad[20 * 2324 + 2] ^= 0x01                    # a broken pack start code
for blk in (5, 31, 50):                       # three unreadable 2048-byte blocks
    bad[blk * 2048:(blk + 1) * 2048] = bytes(2048)
open('damaged.mpg', 'wb').write(bad)
EOF
track2=$(cat "$tmp/track2_start")

# e. bare.m1v: MPEG-1 video elementary stream with B pictures and open groups of pictures.
ff -f lavfi -i testsrc2=size=352x288:rate=25 -t 2 -c:v mpeg1video -bf 2 -g 18 \
   -fflags +bitexact -flags +bitexact -f mpeg1video bare.m1v

# g. mpeg2.vob: 0.5 s MPEG-2 program stream (MPEG-2 video, MP2 audio), small; an input of the kind
#    the program does not repair, which it must still get through.
ff -f lavfi -i testsrc=size=176x144:rate=25 -f lavfi -i sine=frequency=660:sample_rate=44100 \
   -t 0.5 -c:v mpeg2video -c:a mp2 -b:a 128k -fflags +bitexact -flags +bitexact -f vob mpeg2.vob

# --- checksums, all from ffmpeg / md5sum / a small independent header walker ---
out=CHECKSUMS.txt
{
echo "# <fact> <file> <value>; made by make_data.sh with $(ffmpeg -version | head -1 | cut -d' ' -f1-3)"
echo "# audio_*: ffmpeg -i FILE -map 0:a -c copy -f mp2 -    video_*: ffmpeg -i FILE -map 0:v -c copy -f mpeg1video -"
echo "# frames: lines of FILE.framemd5 = ffmpeg -flags +bitexact -i FILE -map 0:v -fflags +bitexact -flags +bitexact -f framemd5 -"
for f in vcd.mpg vcd.bin bare.m1v damaged.mpg "$tmp"/vcd.dat "$tmp"/seg.[0-9][0-9][0-9]; do
  echo "md5 ${f##*/} $(md5sum < "$f" | cut -d' ' -f1)"
  echo "bytes ${f##*/} $(stat -c %s "$f")"
done
echo "sectors vcd.bin $(( $(stat -c %s vcd.bin) / 2352 ))"
echo "track2_sector vcd.bin $track2"
echo "track2_byte vcd.bin $(( track2 * 2352 ))"
for f in vcd.mpg vcd.bin "$tmp"/vcd.dat; do
  if ff -i "$f" -map 0:a -c copy -f mp2 "$tmp/a.mp2" 2>/dev/null && [ -s "$tmp/a.mp2" ]; then
    echo "audio_md5 ${f##*/} $(md5sum < "$tmp/a.mp2" | cut -d' ' -f1)"
    echo "audio_bytes ${f##*/} $(stat -c %s "$tmp/a.mp2")"
  else
    echo "# ffmpeg cannot extract audio from ${f##*/}"
  fi
done
for f in vcd.mpg "$tmp"/vcd.dat; do
  ff -i "$f" -map 0:v -c copy -f mpeg1video "$tmp/v.m1v"
  echo "video_md5 ${f##*/} $(md5sum < "$tmp/v.m1v" | cut -d' ' -f1)"
  echo "video_bytes ${f##*/} $(stat -c %s "$tmp/v.m1v")"
done
for f in vcd.mpg bare.m1v; do
  ff -flags +bitexact -i "$f" -map 0:v -fflags +bitexact -flags +bitexact -f framemd5 "${f%.*}.framemd5"
  echo "frames $f $(grep -vc '^#' "${f%.*}.framemd5")"
done
echo "b_frames bare.m1v $(ffprobe -v error -select_streams v -show_entries frame=pict_type -of csv=p=0 bare.m1v | grep -c '^B')"
python3 - "$tmp" <<'EOF'
# Walk the pack and packet headers of vcd.mpg and sum the payload bytes per stream.
import sys
d = open('vcd.mpg', 'rb').read()
i, packs, pay, starts, skipped = 0, 0, {}, set(), 0
while i + 4 <= len(d):
    if d[i:i+3] != b'\0\0\1':                   # ffmpeg ends some packs with zero bytes
        j = d.find(b'\0\0\1', i); j = len(d) if j < 0 else j
        assert not any(d[i:j]), 'junk at %d' % i
        skipped += j - i; i = j; continue
    starts.add(i); sid = d[i+3]
    if sid == 0xBA: packs += 1; i += 12; continue
    if sid == 0xB9: i += 4; continue
    n = int.from_bytes(d[i+4:i+6], 'big'); body = d[i+6:i+6+n]; h = 0
    if sid not in (0xBB, 0xBE, 0xBF):          # MPEG-1 packet header: stuffing, buffer size, time stamps
        while body[h] == 0xFF: h += 1
        if body[h] >> 6 == 1: h += 2
        h += {2: 5, 3: 10}.get(body[h] >> 4, 1)
    pay[sid] = pay.get(sid, 0) + n - h
    i += 6 + n
print('packs vcd.mpg %d' % packs)
print('payload_audio vcd.mpg %d' % pay.get(0xC0, 0))
print('payload_video vcd.mpg %d' % pay.get(0xE0, 0))
print('payload_padding vcd.mpg %d' % pay.get(0xBE, 0))
print('zero_fill vcd.mpg %d' % skipped)
cut = 0                                          # the segment cuts must not fall on a pack or packet start
for n in ('000', '001', '003', '004'):
    cut += len(open(sys.argv[1] + '/seg.' + n, 'rb').read()); assert cut not in starts, 'cut on a header at %d' % cut
# Group of pictures headers of bare.m1v: the closed flag is bit 6 of the 4th byte after 00 00 01 B8.
m = open('bare.m1v', 'rb').read()
flags = [m[j+7] & 0x40 for j in range(len(m) - 8) if m[j:j+4] == b'\0\0\1\xb8']
print('gops bare.m1v %d' % len(flags))
print('open_gops bare.m1v %d' % flags.count(0))
EOF
echo "md5 mpeg2.vob $(md5sum < mpeg2.vob | cut -d' ' -f1)"
echo "bytes mpeg2.vob $(stat -c %s mpeg2.vob)"
} > "$out"

# Sanity checks on what was made.
(cd "$tmp" && cat seg.000 seg.001 seg.003 seg.004 seg.006) | cmp - vcd.mpg
grep -q '^open_gops bare.m1v [1-9]' $out || { echo "bare.m1v has no open group of pictures" >&2; exit 1; }
grep -q '^b_frames bare.m1v [1-9]' $out || { echo "bare.m1v has no B pictures" >&2; exit 1; }
cat $out
