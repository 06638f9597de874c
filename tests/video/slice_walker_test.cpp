#include "video/slice_walker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/container/demuxed_streams.h"
#include "tests/support/host_tools.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"
#include "tests/video/slice_index.h"
#include "video/dead_ends.h"
#include "video/macroblock_codes.h"
#include "video/repeat_slice_writer.h"

namespace {

// The video elementary stream of a recording: bare.m1v as it is, the video
// packets of a system stream (vcd.mpg) joined.
Bytes recordingVideo(const std::string& name) {
  const Bytes file = testRecording(name);
  return name == "vcd.mpg" ? demuxStreams(file).video : file;
}

SliceWalk walkSlice(const IndexedSlice& slice, const uint8_t* data, size_t length) {
  return SliceWalker(slice.context).walk(slice.verticalPosition, data, length);
}

// Decodes a video elementary stream with ffmpeg. Returns what ffmpeg printed
// at level error or above ("" when the stream decodes cleanly); `frames`,
// when given, receives the decoded pictures in display order, as raw 4:2:0.
std::string ffmpegErrors(const Bytes& stream, Bytes* frames = nullptr) {
  TempDir dir;
  dir.write("in.m1v", stream);
  const std::string output =
      frames != nullptr ? std::string("-vsync passthrough -f rawvideo -pix_fmt yuv420p out.yuv") : "-f null -";
  const ProgramRun run =
      runProgram("/bin/sh", {"-c", "ffmpeg -nostdin -hide_banner -v error -f mpegvideo -i in.m1v " + output + " 2>&1"},
                 dir.path());
  if (frames != nullptr) *frames = dir.read("out.yuv");
  if (run.status != 0) return run.output + "(exit status " + std::to_string(run.status) + ")\n";
  return run.output;
}

// A copy of `stream` in which each slice i for which replace(i, &bytes)
// returns true is replaced by the bytes it put (start code included; none to
// leave the slice out).
template <typename Replace>
Bytes replaceSlices(const Bytes& stream, const std::vector<IndexedSlice>& slices, Replace replace) {
  Bytes out;
  size_t copied = 0;
  Bytes replacement;
  for (size_t i = 0; i < slices.size(); ++i) {
    replacement.clear();
    if (!replace(i, &replacement)) continue;
    out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(copied),
               stream.begin() + static_cast<std::ptrdiff_t>(slices[i].start));
    out.insert(out.end(), replacement.begin(), replacement.end());
    copied = slices[i].end;
  }
  out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(copied), stream.end());
  return out;
}

// Slice data as a string of '0' and '1', and back: spaces are skipped, the
// last byte is padded with zeros.
std::string bitsOf(const Bytes& bytes) {
  std::string bits;
  for (const uint8_t b : bytes) {
    for (int i = 7; i >= 0; --i) bits += ((b >> i) & 1) ? '1' : '0';
  }
  return bits;
}
Bytes bytesOf(const std::string& bits) {
  Bytes bytes;
  size_t n = 0;
  for (const char c : bits) {
    if (c == ' ') continue;
    if (n % 8 == 0) bytes.push_back(0);
    if (c == '1') bytes.back() = static_cast<uint8_t>(bytes.back() | (0x80 >> (n % 8)));
    ++n;
  }
  return bytes;
}
std::string repeated(const std::string& bits, int times) {
  std::string all;
  while (times-- > 0) all += bits;
  return all;
}

TEST(SliceWalker, EverySliceOfTheRecordingsWalksCleanAndTilesItsPicture) {
  for (const char* recording : {"bare.m1v", "vcd.mpg"}) {
    SCOPED_TRACE(recording);
    std::map<uint32_t, size_t> picturesByType;
    for (const WalkedPicture& picture : walkPictures(recordingVideo(recording))) {
      ASSERT_EQ(picture.trouble, "");
      ++picturesByType[picture.codingType];
    }
    EXPECT_GT(picturesByType[1], 0u);
    EXPECT_GT(picturesByType[2], 0u);
    EXPECT_EQ(picturesByType[3] > 0, std::string(recording) == "bare.m1v");
  }
}

// A slice to walk: the picture, the start code's value and the data.
struct Walked {
  SliceContext context;
  uint32_t verticalPosition;
  Bytes data;
};

// The first slices of the first I, P and B pictures of bare.m1v, each
// spanning several rows, as bit strings.
struct RealSlices {
  RealSlices() {
    const Bytes stream = recordingVideo("bare.m1v");
    for (const IndexedSlice& slice : indexSlices(stream)) {
      Walked& w = slice.context.codingType == 1 ? i : slice.context.codingType == 2 ? p : b;
      if (!w.data.empty()) continue;
      w = {slice.context, slice.verticalPosition,
           Bytes(stream.begin() + static_cast<std::ptrdiff_t>(slice.dataStart()),
                 stream.begin() + static_cast<std::ptrdiff_t>(slice.end))};
    }
  }
  Walked i, p, b;
};

// `slice` with `erased` bits from bit `at` replaced by `bits`.
Walked edited(Walked slice, size_t at, size_t erased, const std::string& bits) {
  slice.data = bytesOf(bitsOf(slice.data).replace(at, erased, bits));
  return slice;
}
Walked made(uint32_t codingType, const std::string& bits, uint32_t fCode = 1) {
  return {{codingType, fCode, fCode, 22, 18}, 1, bytesOf(bits)};
}

// Macroblocks as bit strings, after the slice header "01000 0" (quantiser 8,
// no extra information). Intra: type 1, each block a DC size 0 and an end of
// block.
const std::string kHeader = "01000 0";
const std::string kIntraBlocks = repeated("100 10 ", 4) + repeated("00 10 ", 2);
const std::string kGreyMacroblock = "1 " + kIntraBlocks;
// P, motion compensated, not coded, zero motion.
const std::string kRepeatMacroblock = "001 1 1";

TEST(SliceWalker, TellsEachFaultInSlicesMadeFromRealOnes) {
  const RealSlices real;
  // The real slices have no extra information: their first macroblock starts
  // at bit 6 with its address increment.
  for (const Walked* w : {&real.i, &real.p, &real.b}) ASSERT_EQ(bitsOf(w->data)[5], '0');
  const size_t kFirstMacroblockBit = 6;

  struct Case {
    const char* what;
    Walked slice;
    SliceFault fault;
  };
  Walked wide = real.p;  // starts in the first row and spans several
  wide.context.heightInMacroblocks = 1;
  Walked low = real.p;
  low.verticalPosition = low.context.heightInMacroblocks + 1;
  Walked cut = real.b;
  cut.data.resize(cut.data.size() / 2);
  Walked followed = real.i;
  followed.data.insert(followed.data.end(), {0x00, 0x00, 0x00, 0x80});
  Walked stuffed = real.i;
  stuffed.data.insert(stuffed.data.end(), {0x00, 0x00, 0x00});

  const Case cases[] = {
      // Faults made from real slices.
      {"quantiser_scale 0 in the slice header", edited(real.p, 0, 5, "00000"), SliceFault::kZeroQuantiser},
      {"an unused address increment", edited(real.p, kFirstMacroblockBit, 0, "0000 0010 000"),
       SliceFault::kInvalidCode},
      {"an unused I macroblock type", edited(real.i, kFirstMacroblockBit + 1, 0, "00"), SliceFault::kInvalidCode},
      {"a first macroblock an escape past its row", edited(real.p, kFirstMacroblockBit, 0, "0000 0001 000"),
       SliceFault::kFirstMacroblockPastRow},
      {"a start code below the picture", low, SliceFault::kRowBelowPicture},
      {"macroblocks past the picture's end", wide, SliceFault::kAddressPastPicture},
      {"data that ends inside a macroblock", cut, SliceFault::kRunsIntoStartCode},
      {"a bit after 24 zero bits at the end", followed, SliceFault::kTrailingBits},
      {"nothing after the slice header", made(2, kHeader), SliceFault::kRunsIntoStartCode},
      // Faults deep inside a macroblock, in slices built from codes.
      {"a skipped macroblock in an I picture", made(1, kHeader + "1" + kGreyMacroblock + "011" + kGreyMacroblock),
       SliceFault::kSkipInIntraPicture},
      {"a B skip right after an intra macroblock", made(3, kHeader + "1 00011" + kIntraBlocks + "011 0010 1 1"),
       SliceFault::kSkipAfterIntra},
      {"coded_block_pattern 0", made(2, kHeader + "1 1 1 1 0000 0000 1 1111"), SliceFault::kInvalidCode},
      {"quantiser_scale 0 in a macroblock", made(2, kHeader + "1 0000 1 00000 111 10 10 1"),
       SliceFault::kZeroQuantiser},
      {"a luminance DC size MPEG-1 does not have", made(1, kHeader + "1 1 1111 111 1"), SliceFault::kInvalidCode},
      {"an unused motion code", made(2, kHeader + "1 001 0000 0010 11"), SliceFault::kInvalidCode},
      {"an unused run/level code", made(2, kHeader + "1 01 1101 10 0000 0000 0000 1111"), SliceFault::kInvalidCode},
      {"65 coefficients in a block", made(2, kHeader + "1 01 1101 10" + repeated("110", 64) + "10"),
       SliceFault::kTooManyCoefficients},
      {"an escape running past position 63",
       made(1, kHeader + "1 1 100 0000 01 111111 0000 0001 10" + kIntraBlocks.substr(6)),
       SliceFault::kTooManyCoefficients},
      // Well-formed slices: the limits of the same rules.
      {"64 coefficients in a block", made(2, kHeader + "1 01 1101 10" + repeated("110", 63) + "10"), SliceFault::kNone},
      {"an escape with a 16-bit level, then a long code",
       made(1,
            kHeader + "1 1 100 0000 01 000011 1000 0000 0000 0001 0000 0000 0001 1111 0 10" + kIntraBlocks.substr(6)),
       SliceFault::kNone},
      {"extra information bytes, stuffing and an escape",
       made(2, "01000 1 1010 1010 1 0101 0101 0 0000 0001 111 1" + kRepeatMacroblock + "0000 0001 000 0000 0100 011" +
                   kRepeatMacroblock),
       SliceFault::kNone},
      {"motion codes with f_code bits", made(2, kHeader + "1 1 010 11 0000 0011 001 01 1101 10 10", 3),
       SliceFault::kNone},
      {"B macroblocks of every prediction",
       made(3, kHeader + "1 10 1 1 1 1 1 11 1 1 1 1 1101 10 10 1 010 1 1 1 0010 1 1"), SliceFault::kNone},
      {"zero bytes after the end", stuffed, SliceFault::kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const SliceWalk walk =
        SliceWalker(c.slice.context).walk(c.slice.verticalPosition, c.slice.data.data(), c.slice.data.size());
    EXPECT_EQ(walk.fault, c.fault) << sliceFaultName(walk.fault) << " instead of " << sliceFaultName(c.fault);
  }
}

// Walks `data` as `slice` and checks what holds of any walk: an accepted
// slice lies in the picture and starts in its start code's row.
SliceWalk walkChecked(const IndexedSlice& slice, const Bytes& data) {
  const SliceWalk walk = walkSlice(slice, data.data(), data.size());
  if (walk.fault == SliceFault::kNone) {
    const uint32_t width = slice.context.widthInMacroblocks;
    EXPECT_EQ(walk.firstMacroblock / width, slice.verticalPosition - 1);
    EXPECT_LE(walk.firstMacroblock, walk.lastMacroblock);
    EXPECT_LT(walk.lastMacroblock, width * slice.context.heightInMacroblocks);
  }
  return walk;
}

TEST(SliceWalker, EndsOnEveryCutAndEveryFlippedBitOfRealSlices) {
  const Bytes stream = recordingVideo("bare.m1v");
  const std::vector<IndexedSlice> slices = indexSlices(stream);
  size_t walks = 0;
  for (const IndexedSlice& slice : slices) {
    const Bytes data(stream.begin() + static_cast<std::ptrdiff_t>(slice.dataStart()),
                     stream.begin() + static_cast<std::ptrdiff_t>(slice.end));
    const SliceWalk whole = walkSlice(slice, data.data(), data.size());
    ASSERT_EQ(whole.fault, SliceFault::kNone);
    // A cut slice is broken, or ends on a macroblock of the whole one.
    for (size_t length = 0; length < data.size(); length += 1 + length / 32) {
      const SliceWalk walk =
          walkChecked(slice, Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length)));
      if (walk.fault == SliceFault::kNone) {
        EXPECT_EQ(walk.firstMacroblock, whole.firstMacroblock);
        EXPECT_LT(walk.lastMacroblock, whole.lastMacroblock);
      }
      ++walks;
    }
    // Bits of every kind of element, flipped one at a time.
    Bytes flipped = data;
    for (size_t bit = slice.picture % 11; bit < data.size() * 8; bit += 11) {
      flipped[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
      walkChecked(slice, flipped);
      flipped[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
      ++walks;
    }
  }
  EXPECT_GT(walks, 100000u);
}

// A walk resumed inside a slice, once in step, reads the macroblocks the
// whole walk reads: at the same bits, of the same kinds, at the addresses
// the slice's end gives them, and with the same vectors from where a
// macroblock starts their predictions again. From the bits where a
// macroblock begins it is in step at once.
TEST(SliceWalker, ResumedWalksFallIntoStepWithTheWholeOne) {
  const Bytes stream = recordingVideo("bare.m1v");
  size_t inStep = 0;
  for (const IndexedSlice& slice : indexSlices(stream)) {
    if (slice.context.codingType != 2 || slice.picture > 12) continue;
    const Bytes data(stream.begin() + static_cast<std::ptrdiff_t>(slice.dataStart()),
                     stream.begin() + static_cast<std::ptrdiff_t>(slice.end));
    const SliceWalker walker(slice.context);
    std::vector<MacroblockRecord> whole;
    ASSERT_EQ(walker.walk(slice.verticalPosition, data.data(), data.size(), &whole).fault, SliceFault::kNone);
    std::map<uint32_t, const MacroblockRecord*> byStart;  // coded macroblocks
    for (const MacroblockRecord& mb : whole) {
      if (!mb.skipped) byStart[mb.start] = &mb;
    }
    const uint32_t quantiser = data[0] >> 3;
    for (size_t bit = 0; bit < data.size() * 8; bit += 1 + bit % 5) {
      std::vector<MacroblockRecord> resumed;
      const SliceWalk walk = walker.resume(bit, quantiser, data.data(), data.size(), &resumed);
      const bool atMacroblock = byStart.count(static_cast<uint32_t>(bit)) != 0;
      if (walk.fault != SliceFault::kNone) {
        EXPECT_FALSE(atMacroblock) << bit;
        continue;
      }
      ASSERT_FALSE(resumed.empty());
      const uint32_t base = whole.back().address - resumed.back().address;
      bool inPhase = false;
      bool predicted = false;  // the vectors' predictions started again
      for (const MacroblockRecord& mb : resumed) {
        inPhase = inPhase || (!mb.skipped && byStart.count(mb.start) != 0);
        if (atMacroblock) {
          EXPECT_TRUE(inPhase) << bit;
        }
        if (!inPhase) continue;
        predicted = predicted || mb.skipped || !(mb.flags & kMacroblockMotionForward);
        if (mb.skipped) continue;
        ASSERT_EQ(byStart.count(mb.start), 1u) << bit;
        const MacroblockRecord& same = *byStart[mb.start];
        EXPECT_EQ(mb.address + base, same.address);
        EXPECT_EQ(mb.flags, same.flags);
        EXPECT_EQ(mb.end, same.end);
        if (predicted) {
          EXPECT_EQ(std::vector<int>(mb.forward, mb.forward + 2), std::vector<int>(same.forward, same.forward + 2));
        }
      }
      inStep += inPhase ? 1 : 0;
    }
  }
  EXPECT_GT(inStep, 1000u);
  // From past the data: nothing to walk.
  const RealSlices real;
  std::vector<MacroblockRecord> none;
  EXPECT_EQ(SliceWalker(real.p.context).resume(real.p.data.size() * 8, 8, real.p.data.data(), real.p.data.size(), &none).fault,
            SliceFault::kRunsIntoStartCode);
}

// Walks resumed from every bit of a damaged slice end as they end without
// dead ends, with the same last address when they run clean; walks that
// meet a start an earlier walk broke from stop there, and so do walks that
// meet one an earlier walk ran clean from, their records then those of the
// walk on up to that start. Over pictures of each type: after an intra
// macroblock a B picture may not skip, which only the kind of macroblock
// before a start tells. Starts kept from the data's start, and from its
// middle only (a slice longer than what is kept), alike.
TEST(SliceWalker, DeadEndsStopWalksWithoutChangingTheirOutcome) {
  const Bytes stream = recordingVideo("bare.m1v");
  size_t clean[4] = {0, 0, 0, 0};   // by coding type
  size_t joined[4] = {0, 0, 0, 0};
  size_t stopped[4] = {0, 0, 0, 0};
  size_t walks = 0;
  for (const IndexedSlice& slice : indexSlices(stream)) {
    if (slice.picture > 20 || slice.verticalPosition % 3 != 1) continue;
    Bytes data(stream.begin() + static_cast<std::ptrdiff_t>(slice.dataStart()),
               stream.begin() + static_cast<std::ptrdiff_t>(slice.end));
    data[data.size() / 2] ^= 0x24;  // damage the walks run into, or not
    const SliceWalker walker(slice.context);
    const uint32_t quantiser = std::max(1, data[0] >> 3);
    for (const size_t keptFrom : {size_t{0}, data.size() * 4}) {
      DeadEnds deadEnds;
      deadEnds.reset(keptFrom, data.size());
      for (size_t bit = 0; bit < data.size() * 8; ++bit) {
        std::vector<MacroblockRecord> plain;
        std::vector<MacroblockRecord> ended;
        const SliceWalk a = walker.resume(bit, quantiser, data.data(), data.size(), &plain);
        const SliceWalk b = walker.resume(bit, quantiser, data.data(), data.size(), &ended, &deadEnds);
        ++walks;
        ASSERT_EQ(a.fault, b.fault) << bit;
        ASSERT_LE(ended.size(), plain.size()) << bit;
        if (a.fault == SliceFault::kNone) {
          EXPECT_EQ(b.lastMacroblock, a.lastMacroblock) << bit;
          const size_t join = deadEnds.joinedAt();
          if (join == DeadEnds::kNotJoined) {
            ASSERT_EQ(ended.size(), plain.size()) << bit;
          } else {
            // Joined where the walk on reads a macroblock (after the
            // macroblocks it skips to it, which begin there too).
            ASSERT_LT(ended.size(), plain.size()) << bit;
            EXPECT_EQ(plain[ended.size()].start, join) << bit;
            ++joined[slice.context.codingType];
          }
          for (size_t r = 0; r < ended.size(); ++r) {
            EXPECT_EQ(ended[r].start, plain[r].start) << bit;
            EXPECT_EQ(ended[r].address, plain[r].address) << bit;
            EXPECT_EQ(ended[r].end, plain[r].end) << bit;
          }
          ++clean[slice.context.codingType];
        } else if (ended.size() < plain.size()) {
          ++stopped[slice.context.codingType];
        }
      }
    }
  }
  EXPECT_GT(walks, 200000u);
  for (uint32_t type = 1; type <= 3; ++type) {
    EXPECT_GT(joined[type], 0u) << type;
    EXPECT_LT(joined[type], clean[type]) << type;
    EXPECT_GT(stopped[type], 1000u) << type;
  }
}

// The pictures of a stream in coding order: type, place in display order and
// their slices.
struct Picture {
  uint32_t codingType;
  size_t displayIndex;
  std::vector<size_t> slices;
};
std::vector<Picture> picturesOf(const std::vector<IndexedSlice>& slices) {
  std::vector<Picture> pictures;
  for (size_t i = 0; i < slices.size(); ++i) {
    if (pictures.size() <= slices[i].picture) {
      pictures.push_back({slices[i].context.codingType, slices[i].displayIndex, {}});
    }
    pictures.back().slices.push_back(i);
  }
  return pictures;
}

// Each slice of bare.m1v is damaged, then rescued as the rescue mode does: a
// slice the walker calls broken, or that no longer covers the macroblocks it
// covered, makes way for a repeat slice over them; one that ends early is
// followed by a repeat slice over the rest. In the first stream four
// pictures are also replaced whole by one repeat slice: a P picture, a B
// picture repeating its forward and one its backward reference, and an I
// picture, which turns grey; that stream damages B pictures only. ffmpeg
// must decode every stream without a word, and show each whole repeat as its
// reference.
TEST(SliceWalker, RescuedStreamsDecodeCleanlyAndRepeatsShowTheReference) {
  REQUIRE_TOOLS("it judges the streams made here", "ffmpeg");
  const Bytes stream = recordingVideo("bare.m1v");
  const std::vector<IndexedSlice> slices = indexSlices(stream);
  const std::vector<Picture> pictures = picturesOf(slices);
  // In coding order: I0 P3 B1 B2 P6 ... I18 B16 B17 P21 B19 B20 P24 B22 B23
  // ... I36; each repeated picture lies in a different group of pictures.
  const size_t p = 4, bForward = 20, bBackward = 24, i = 34;
  ASSERT_EQ(pictures.size(), 50u);
  ASSERT_TRUE(pictures[p].codingType == 2 && pictures[bForward].codingType == 3 &&
              pictures[bBackward].codingType == 3 && pictures[i].codingType == 1);
  ASSERT_EQ(ffmpegErrors(stream), "");

  size_t damaged = 0;
  size_t broken = 0;
  for (size_t round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const Bytes rescued = replaceSlices(stream, slices, [&](size_t n, Bytes* out) -> bool {
      const IndexedSlice& slice = slices[n];
      const uint32_t count = slice.context.widthInMacroblocks * slice.context.heightInMacroblocks;
      if (round == 0 &&
          (slice.picture == p || slice.picture == bForward || slice.picture == bBackward || slice.picture == i)) {
        const auto prediction = slice.picture == bBackward ? RepeatSliceWriter::Prediction::kBackward
                                                           : RepeatSliceWriter::Prediction::kForward;
        if (n == pictures[slice.picture].slices.front())
          RepeatSliceWriter(slice.context, prediction).append(0, count - 1, out);
        return true;  // the picture's other slices are left out
      }
      // The first stream damages only B pictures, which no picture refers to:
      // the references stay as they were, with pictures of their own.
      if (round == 0 && slice.context.codingType != 3) return false;
      // A cut, or 1, 2 or 8 bits flipped in a row, at a place of the slice's own.
      const Bytes original(stream.begin() + static_cast<std::ptrdiff_t>(slice.dataStart()),
                           stream.begin() + static_cast<std::ptrdiff_t>(slice.end));
      Bytes data = original;
      const size_t kind = (n + round) % 4;
      const size_t at = (n * 7919 + round * 104729) % (data.size() * 8);
      if (kind == 0) data.resize(at / 8);
      for (size_t b = at; kind != 0 && b < at + (kind == 3 ? 8 : kind) && b < data.size() * 8; ++b) {
        data[b / 8] ^= static_cast<uint8_t>(0x80 >> (b % 8));
      }
      const uint8_t prefix[] = {0, 0, 1};
      if (std::search(data.begin(), data.end(), prefix, prefix + 3) != data.end()) return false;
      ++damaged;
      const SliceWalk whole = walkSlice(slice, original.data(), original.size());
      const SliceWalk walk = walkChecked(slice, data);
      const RepeatSliceWriter writer(slice.context);
      if (walk.fault != SliceFault::kNone || walk.firstMacroblock != whole.firstMacroblock ||
          walk.lastMacroblock > whole.lastMacroblock) {
        ++broken;
        writer.append(whole.firstMacroblock, whole.lastMacroblock, out);
        return true;
      }
      out->insert(out->end(), stream.begin() + static_cast<std::ptrdiff_t>(slice.start),
                  stream.begin() + static_cast<std::ptrdiff_t>(slice.dataStart()));
      out->insert(out->end(), data.begin(), data.end());
      if (walk.lastMacroblock < whole.lastMacroblock) writer.append(walk.lastMacroblock + 1, whole.lastMacroblock, out);
      return true;
    });
    Bytes frames;
    EXPECT_EQ(ffmpegErrors(rescued, &frames), "");
    if (round != 0) continue;
    const size_t frameSize = 352 * 288 * 3 / 2;
    ASSERT_EQ(frames.size(), pictures.size() * frameSize);
    auto frame = [&](size_t picture) {
      const auto begin = frames.begin() + static_cast<std::ptrdiff_t>(pictures[picture].displayIndex * frameSize);
      return Bytes(begin, begin + static_cast<std::ptrdiff_t>(frameSize));
    };
    EXPECT_TRUE(frame(p) == frame(p - 3)) << "P picture";                 // after P3, B1, B2
    EXPECT_TRUE(frame(bForward) == frame(16)) << "B picture, forward";    // I18
    EXPECT_TRUE(frame(bBackward) == frame(22)) << "B picture, backward";  // P24
    EXPECT_TRUE(frame(i) == Bytes(frameSize, 128)) << "I picture";
    EXPECT_FALSE(frame(p) == frame(bForward));
  }
  // Both outcomes came up often: slices rescued, and damaged slices that
  // still walk clean and reach the decoder as they are.
  EXPECT_GT(broken, damaged / 4);
  EXPECT_LT(broken, damaged * 9 / 10);
}

}  // namespace
