#include "container/audio_rescuer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>

#include "container/audio_extractor.h"
#include "source/memory_source.h"
#include "tests/container/demuxed_streams.h"
#include "tests/support/host_tools.h"
#include "tests/support/program_run.h"
#include "tests/support/progress_events.h"
#include "tests/support/recording_reporter.h"
#include "tests/support/special_files.h"
#include "tests/support/temp_dir.h"
#include "video/video_fixer.h"

namespace {

// Video CD frames (Layer II, 224 kbit/s, 44.1 kHz: 731 bytes unpadded) in
// packets of 2281 payload bytes.
constexpr uint8_t kHeader[4] = {0xFF, 0xFD, 0xB0, 0x04};
constexpr uint32_t kFrameBytes = 731;
constexpr uint32_t kPacketBytes = 2281;
constexpr uint64_t kFirstPts = 90000;

// Ticks of `frames` frames of 1152 samples at 44.1 kHz, rounded.
uint64_t ticks(uint64_t frames) { return (frames * 1152 * 90000 * 2 + 44100) / (2 * 44100); }

struct Recording {
  Bytes audio;
  std::vector<TimeStamp> stamps;
};

// Frames numbered `ids` (frame k: the header, then bytes 1 + k), each packet
// stamped with the time of the first frame that begins in it.
Recording record(std::vector<int> ids = {}) {
  if (ids.empty()) {
    for (int k = 0; k < 20; ++k) ids.push_back(k);
  }
  Recording r;
  std::vector<uint32_t> starts;
  for (const int id : ids) {
    starts.push_back(r.audio.size());
    r.audio.insert(r.audio.end(), kHeader, kHeader + 4);
    r.audio.resize(r.audio.size() + kFrameBytes - 4, static_cast<uint8_t>(1 + id));
  }
  for (uint32_t offset = 0; offset < r.audio.size(); offset += kPacketBytes) {
    const uint32_t length = std::min<uint32_t>(kPacketBytes, r.audio.size() - offset);
    for (size_t k = 0; k < ids.size(); ++k) {
      if (starts[k] < offset || starts[k] >= offset + length) continue;
      r.stamps.push_back({offset, length, kFirstPts + ticks(ids[k]), 0});
      break;
    }
  }
  return r;
}

// Bytes [at, at + length) gone, and with them the stamps of payloads wholly gone.
void erase(Recording& r, uint32_t at, uint32_t length) {
  const auto moved = [&](uint32_t x) { return x < at ? x : x < at + length ? at : x - length; };
  r.audio.erase(r.audio.begin() + at, r.audio.begin() + at + length);
  std::vector<TimeStamp> kept;
  for (TimeStamp s : r.stamps) {
    const uint32_t end = moved(s.offset + s.length);
    s.offset = moved(s.offset);
    s.length = end - s.offset;
    if (s.length != 0) kept.push_back(s);
  }
  r.stamps = kept;
}

// The stamps from the `first`-th on moved by `ticks`.
void shiftStamps(Recording& r, size_t first, int64_t ticks) {
  for (size_t k = first; k < r.stamps.size(); ++k) {
    r.stamps[k].pts = static_cast<uint64_t>(static_cast<int64_t>(r.stamps[k].pts) + ticks) % kTimeStampModulus;
  }
}

void insert(Recording& r, uint32_t at, const Bytes& bytes) {
  r.audio.insert(r.audio.begin() + at, bytes.begin(), bytes.end());
  for (TimeStamp& s : r.stamps) (s.offset >= at ? s.offset : s.length) += bytes.size() * (s.offset + s.length > at);
}

// The frames of an .mp2 of Video CD frames (of either padding): the number
// record() gave each, -1 for a silent frame, and last -2 when the bytes stop
// being whole frames.
std::vector<int> framesOf(const Bytes& mp2) {
  std::vector<int> frames;
  for (size_t at = 0; at < mp2.size();) {
    const uint8_t* p = mp2.data() + at;
    const size_t length = mp2.size() - at < 4 ? 0 : kFrameBytes + (p[2] >> 1 & 1);
    if (length == 0 || mp2.size() - at < length || p[0] != 0xFF || (p[1] & 0xFE) != 0xFC || (p[2] & 0xFC) != 0xB0) {
      frames.push_back(-2);
      break;
    }
    const bool silent = p[1] == 0xFD && std::all_of(p + 4, p + length, [](uint8_t b) { return b == 0; });
    frames.push_back(silent ? -1 : p[4] - 1);
    at += length;
  }
  return frames;
}

// "0-5 _ _ 8-19 !": runs of numbers, "_" for a silent frame, "!" for bytes
// that are no whole frame.
std::string describe(const std::vector<int>& frames) {
  std::string text;
  for (size_t k = 0; k < frames.size(); ++k) {
    if (!text.empty()) text += ' ';
    if (frames[k] < 0) {
      text += frames[k] == -1 ? "_" : "!";
      continue;
    }
    size_t last = k;
    while (last + 1 < frames.size() && frames[last + 1] == frames[last] + 1) ++last;
    text += std::to_string(frames[k]) + (last > k ? "-" + std::to_string(frames[last]) : "");
    k = last;
  }
  return text;
}

class AudioRescuerTest : public testing::Test {
 protected:
  // Rescues `r` to movie.mp2 over `recording`; returns what write() did.
  bool rescue(const Recording& r, const PresentationSpan& recording = {}) {
    TimeStampList stamps;
    for (const TimeStamp& s : r.stamps) stamps.append(s);
    MemorySource source(r.audio.data(), r.audio.size());
    log_ = RecordingReporter();
    events_.clear();
    AudioRescuer rescuer(source, stamps, recordingInto(events_), &log_);
    rescuer.analyze();
    span_ = rescuer.span();
    const bool written = rescuer.write(dir_.file("movie.mpg"), recording);
    writeFailed_ = rescuer.writeFailed();
    drops_.clear();
    for (const RecordingReporter::Dropped& d : log_.drops) {
      EXPECT_EQ(d.reason, RepairReporter::Drop::kBrokenAudioFrame);
      drops_ += std::to_string(d.offset) + "+" + std::to_string(d.length) + " ";
    }
    EXPECT_EQ(log_.count(RepairReporter::Repair::kSilentAudioFrame), log_.repairs.size());
    EXPECT_EQ(rescuer.silentFrames(), log_.repairs.size());
    return written;
  }
  // The frames written (kept in frames_), described. They must be whole, and
  // each silent one must have been reported at its time.
  std::string written() {
    frames_ = framesOf(dir_.read("movie.mp2"));
    std::vector<uint64_t> times;
    for (size_t k = 0; k < frames_.size(); ++k) {
      if (frames_[k] == -1) times.push_back(ticks(k));
    }
    std::vector<uint64_t> reported;
    for (const RecordingReporter::Repaired& repair : log_.repairs) reported.push_back(repair.time);
    EXPECT_EQ(reported, times);
    EXPECT_TRUE(frames_.empty() || frames_.back() != -2) << "bytes that are no whole frame";
    return describe(frames_);
  }

  TempDir dir_;
  RecordingReporter log_;
  std::string drops_;  // "offset+length " each
  std::vector<ProgressEvent> events_;
  PresentationSpan span_;
  bool writeFailed_ = false;
  std::vector<int> frames_;
};

}  // namespace

TEST_F(AudioRescuerTest, LostAndBrokenFramesBecomeSilenceInTheirPlace) {
  Bytes lookalike(kHeader, kHeader + 4);  // a header with too few bytes behind it
  lookalike.resize(60, 0x47);
  struct Case {
    const char* name;
    std::function<void(Recording&)> damage;
    const char* frames;
    const char* drops;
  };
  const Case cases[] = {
      // Frames 6 to 9 overlap the lost packet: the stamps tell four, where
      // the 643 bytes left of them would tell one.
      {"lost packet", [](Recording& r) { erase(r, 2 * kPacketBytes, kPacketBytes); }, "0-5 _ _ _ _ 10-19", "4386+643 "},
      {"lost packet, no stamps", [](Recording& r) { erase(r, 2 * kPacketBytes, kPacketBytes), r.stamps.clear(); },
       "0-5 _ 10-19", "4386+643 "},
      {"wild stamp beside a lost packet",
       [](Recording& r) { erase(r, 2 * kPacketBytes, kPacketBytes), r.stamps[3].pts ^= uint64_t{1} << 31; },
       "0-5 _ _ _ _ 10-19", "4386+643 "},
      {"wild stamp between two", [](Recording& r) { r = record({0, 1, 2, 3, 4, 5, 6, 7}), r.stamps[1].pts ^= 1 << 20; },
       "0-7", ""},
      {"frames lost whole",
       [](Recording& r) { r = record({0, 1, 2, 3, 4, 5, 6, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}); },
       "0-6 _ _ 9-19", ""},
      {"frame cut short", [](Recording& r) { erase(r, 5 * kFrameBytes + 200, 300); }, "0-4 _ 6-19", "3655+431 "},
      {"stream starts inside a frame", [](Recording& r) { erase(r, 0, 500); }, "1-19", "0+231 "},
      // A frame not followed by the next may have lost bytes: not kept.
      {"junk between frames", [](Recording& r) { insert(r, 8 * kFrameBytes, Bytes(100, 0x47)); }, "0-6 _ 8-19",
       "5117+831 "},
      {"junk that starts like a frame", [&](Recording& r) { insert(r, 8 * kFrameBytes, lookalike); }, "0-19",
       "5848+60 "},
      // Frames lost in one stretch go where the most bytes went.
      {"junk and a lost packet",
       [&](Recording& r) { insert(r, 5 * kFrameBytes, lookalike), erase(r, 2 * kPacketBytes + 60, kPacketBytes); },
       "0-4 _ 5 _ _ _ 10-19", "3655+60 4446+643 "},
      {"damaged header", [](Recording& r) { r.audio[10 * kFrameBytes] = 0xEF; }, "0-8 _ _ 11-19", "6579+1462 "},
      // The stamp of the broken frame 10 is not taken for frame 11's.
      {"damaged header, few stamps",
       [](Recording& r) { r.audio[10 * kFrameBytes] = 0xEF, r.stamps = {r.stamps[0], r.stamps[3]}; },
       "0-8 _ _ 11-19", "6579+1462 "},
      {"zeroed bytes", [](Recording& r) { std::fill_n(r.audio.begin() + 12 * kFrameBytes - 100, 600, 0); },
       "0-10 _ _ 13-19", "8041+1462 "},
      // Stamps that tell of more loss than survived, or of hours, or that
      // go back: the clock jumped, and nothing was lost.
      {"clock jumps two minutes on", [](Recording& r) { shiftStamps(r, 3, 120 * 90000); }, "0-19", ""},
      {"clock jumps two hours on", [](Recording& r) { shiftStamps(r, 3, int64_t{7200} * 90000); }, "0-19", ""},
      {"clock goes an hour back", [](Recording& r) { shiftStamps(r, 3, int64_t{-3600} * 90000); }, "0-19", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recording r = record();
    c.damage(r);
    ASSERT_TRUE(rescue(r));
    EXPECT_EQ(written(), c.frames);
    EXPECT_EQ(drops_, c.drops);
    EXPECT_EQ(log_.unchecked, r.stamps.empty());
    EXPECT_EQ(span_.known, !r.stamps.empty());
    std::vector<ProgressEvent> plain;
    MemorySource source(r.audio.data(), r.audio.size());
    AudioExtractor(source, recordingInto(plain)).extract(dir_.file("plain.mpg"));
    EXPECT_EQ(events_, plain) << "the plain run's progress";
  }
}

TEST_F(AudioRescuerTest, SilenceFillsTheRecordingBeforeAndAfter) {
  const Recording r = record();
  ASSERT_TRUE(rescue(r));
  EXPECT_EQ(dir_.read("movie.mp2"), r.audio) << "a clean stream is written as it is";
  ASSERT_TRUE(span_.known);
  EXPECT_EQ(span_.start, kFirstPts);
  EXPECT_EQ(span_.end, kFirstPts + ticks(20));

  const int64_t frame = ticks(1);
  struct Case {
    int64_t early, late;  // the recording's reach beyond the stream, in tenths of a frame
    const char* frames;
  };
  for (const Case& c : {Case{34, 16, "_ _ _ 0-19 _ _"}, Case{4, 4, "0-19"}, Case{-30, -30, "0-19"}}) {
    const PresentationSpan recording = {kFirstPts - c.early * frame / 10, kFirstPts + ticks(20) + c.late * frame / 10,
                                        true};
    ASSERT_TRUE(rescue(r, recording));
    EXPECT_EQ(written(), c.frames) << c.early;
  }

  // Padding is loss too: no more than a minute beyond the 20 frames that
  // survived (a minute holds 2297 frames).
  ASSERT_TRUE(rescue(r, {kFirstPts, kFirstPts + 20 * 60 * 90000, true}));
  std::string silence;
  for (int k = 0; k < 20 + 2297; ++k) silence += " _";
  EXPECT_EQ(written(), "0-19" + silence);

  ASSERT_TRUE(rescue(record({0, 1, 2})));
  EXPECT_TRUE(span_.known) << "one stamp places a stream";
  Recording unstamped = record();
  unstamped.stamps.clear();
  ASSERT_TRUE(rescue(unstamped, {0, kFirstPts * 10, true}));
  EXPECT_EQ(dir_.read("movie.mp2"), unstamped.audio) << "no time, no padding";

  EXPECT_FALSE(rescue(Recording{}));
  EXPECT_EQ(drops_, "");
  EXPECT_FALSE(rescue(Recording{Bytes(5000, 0x47), {}}));
  EXPECT_EQ(drops_, "0+5000 ");
  EXPECT_EQ(dir_.read("movie.mp2"), unstamped.audio) << "no frame, nothing written";
  EXPECT_TRUE(events_.empty());
  // One frame alone, which players do not open: nothing written. With
  // silence to cover the recording, it is not alone.
  EXPECT_FALSE(rescue(record({0})));
  EXPECT_EQ(dir_.read("movie.mp2"), unstamped.audio);
  ASSERT_TRUE(rescue(record({0}), {kFirstPts, kFirstPts + ticks(2), true}));
  EXPECT_EQ(written(), "0 _");
}

TEST_F(AudioRescuerTest, FailedWriteLeavesNoFile) {
  Recording damaged = record();
  erase(damaged, 2 * kPacketBytes, kPacketBytes);
  for (const Recording& r : {record(), damaged}) {
    if (!linkToFullDevice(dir_.file("movie.mp2"))) GTEST_SKIP() << "no full device: " << kNoSpecialFiles;
    ASSERT_TRUE(rescue(r));
    EXPECT_TRUE(writeFailed_);
    EXPECT_FALSE(dir_.exists("movie.mp2"));
    EXPECT_NE(events_.back(), ProgressEvent('E', 0, 0));
  }
}

TEST_F(AudioRescuerTest, BitFlipsCutsAndBurstsStillGiveWholeFramesInTime) {
  const Recording clean = record();
  // A flipped bit breaks one or two frames, never the time: every bit of
  // every header, and bits all over.
  std::vector<uint32_t> bits;
  for (uint32_t bit = 0; bit < clean.audio.size() * 8; bit += 211) bits.push_back(bit);
  for (uint32_t bit = 0; bit < 20 * 32; ++bit) bits.push_back(bit / 32 * kFrameBytes * 8 + bit % 32);
  for (const uint32_t bit : bits) {
    Recording r = clean;
    r.audio[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    ASSERT_TRUE(rescue(r));
    const std::string text = written();
    ASSERT_EQ(frames_.size(), 20u) << "bit " << bit << ": " << text;
  }
  // A flipped bit in a stamp changes nothing.
  for (size_t bit = 0; bit < clean.stamps.size() * 33; ++bit) {
    Recording r = clean;
    r.stamps[bit / 33].pts ^= uint64_t{1} << (bit % 33);
    ASSERT_TRUE(rescue(r));
    ASSERT_EQ(dir_.read("movie.mp2"), clean.audio) << bit;
  }
  // A cut stream keeps its whole frames; the last, cut short, becomes silence.
  for (uint32_t length = 1; length < clean.audio.size(); length += 97) {
    Recording r = clean;
    erase(r, length, r.audio.size() - length);
    if (!rescue(r)) {
      ASSERT_LT(length, 2 * kFrameBytes) << "only a stream of no whole frame writes nothing";
      continue;
    }
    const std::string text = written();
    ASSERT_EQ(frames_.size(), (length + kFrameBytes - 4) / kFrameBytes) << length << ": " << text;
  }
  // Bursts of damage anywhere: never a crash, always whole frames.
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    Recording r = clean;
    for (int hit = 0; hit < 3 && !r.audio.empty(); ++hit) {
      const uint32_t at = random() % r.audio.size();
      const uint32_t length = std::min<uint32_t>(random() % 3000, r.audio.size() - at);
      if (random() % 2 == 0) erase(r, at, length);
      else std::fill_n(r.audio.begin() + at, length, random() % 2 ? 0 : 0xFF);
    }
    if (!r.audio.empty() && rescue(r)) written();
  }
}

namespace {

// Runs a shell command in `dir`; standard error goes to standard output.
ProgramRun shell(const TempDir& dir, const std::string& command) {
  return runProgram("/bin/sh", {"-c", command + " 2>&1"}, dir.path());
}

}  // namespace

TEST_F(AudioRescuerTest, RealRecordingStaysAsItIsAndItsRescueDecodesAndMultiplexes) {
  const DemuxedStreams streams = demuxStreams(testRecording("vcd.mpg"));
  const Recording clean = {streams.audio, streams.audioStamps};
  ASSERT_EQ(clean.audio.size(), 33645u);
  ASSERT_TRUE(rescue(clean));
  EXPECT_EQ(dir_.read("movie.mp2"), clean.audio) << "the bytes the plain run writes";
  EXPECT_EQ(span_.start, clean.stamps[0].pts);
  EXPECT_EQ(span_.end, clean.stamps[0].pts + ticks(46));
  ASSERT_TRUE(rescue(clean, span_));
  EXPECT_EQ(dir_.read("movie.mp2"), clean.audio);

  // A sector lost, a header hit by a bit error, bytes zeroed across a header.
  Recording r = clean;
  erase(r, 3 * kPacketBytes, kPacketBytes);
  const auto headerAfter = [&r](size_t from) {
    while (r.audio[from] != 0xFF || r.audio[from + 1] != 0xFD) ++from;
    return from;
  };
  r.audio[headerAfter(15000) + 1] ^= 0x10;
  std::fill_n(r.audio.begin() + headerAfter(25000) - 200, 400, 0);
  ASSERT_TRUE(rescue(r));
  const std::string text = written();
  EXPECT_EQ(frames_.size(), 46u) << "every frame in its place: " << text;

  REQUIRE_TOOLS("they judge the rescued audio", "ffmpeg", "mplex");
  const ProgramRun decoded = shell(dir_, "ffmpeg -nostdin -v error -i movie.mp2 -f framecrc - | grep -vc '^#'");
  EXPECT_EQ(decoded.output, "46\n") << "46 frames and no message from the decoder";

  MemorySource video(streams.video.data(), streams.video.size());
  VideoFixer(video, ProgressCallback()).rewrite(dir_.file("movie.mpg"));
  const ProgramRun muxed = shell(dir_, "mplex -f 1 -o remuxed.mpg movie.mpv movie.mp2");
  EXPECT_EQ(muxed.status, 0) << muxed.output;
  const size_t syncwords = muxed.output.find("Syncwords");
  ASSERT_NE(syncwords, std::string::npos) << muxed.output;
  EXPECT_EQ(std::atoi(muxed.output.c_str() + muxed.output.find(':', syncwords) + 1), 46) << muxed.output;
  EXPECT_EQ(muxed.output.find("Data follows"), std::string::npos) << muxed.output;
}
