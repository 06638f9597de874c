#include "container/stream_demuxer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "container/rescue_demuxer.h"
#include "source/memory_source.h"
#include "source/range_view_source.h"
#include "source/start_code.h"
#include "tests/source/range_pairs.h"
#include "tests/support/progress_events.h"
#include "tests/support/temp_dir.h"

namespace {

using Event = ProgressEvent;

std::vector<Event> events;

// `n` bytes of payload without a zero, so no start code hides in them.
Bytes filler(size_t n, int seed = 0) {
  Bytes bytes;
  for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(0x20 + (i * 7 + seed) % 0xC0));
  return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kPts = {0x21, 0x00, 0x01, 0x00, 0x01};
const Bytes kPtsDts = {0x31, 0x00, 0x01, 0x00, 0x01, 0x11, 0x00, 0x01, 0x00, 0x01};
const Bytes kBufferField = {0x60, 0x2E};
const Bytes kMpeg2Header = {0x81, 0x80, 0x05, 0x21, 0x11, 0x11, 0x11, 0x11};

// Where a packet went: its start code, its first payload byte, its declared end.
struct Packet {
  uint32_t start, payload, end;
};

class StreamDemuxerTest : public testing::Test {
 protected:
  uint32_t addPack() { return addCode({0, 0, 1, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x91}); }
  uint32_t addSystemHeader() {
    return addCode({0, 0, 1, 0xBB, 0x00, 0x0C, 0x80, 0x1B, 0x91, 0x04, 0xE1, 0xFF, 0xE0, 0xE0, 0xE8, 0xC0, 0xC0, 0x20});
  }
  // A video-level start code and a few bytes of picture data.
  uint32_t addVideoStartCode(uint8_t code) { return addCode({0, 0, 1, code, 0x12, 0x34, 0x56}); }
  Packet addPacket(uint8_t id, const Bytes& payload, const Bytes& header = {0x0F}) {
    return addPacketClaiming(id, static_cast<uint16_t>(header.size() + payload.size()), payload, header);
  }
  // A packet whose length field says `length`, whatever follows.
  Packet addPacketClaiming(uint8_t id, uint16_t length, const Bytes& payload, const Bytes& header = {0x0F}) {
    const uint32_t start = addCode({0, 0, 1, id, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    addRaw(header);
    const uint32_t payloadStart = addRaw(payload);
    return {start, payloadStart, start + 6 + length};
  }
  uint32_t addRaw(const Bytes& raw) {
    const uint32_t at = here();
    stream_.insert(stream_.end(), raw.begin(), raw.end());
    return at;
  }
  uint32_t here() const { return static_cast<uint32_t>(stream_.size()); }
  void startOver() {
    stream_.clear();
    codes_.clear();
  }

  // Demultiplexes the first `length` bytes of the stream (all by default).
  void run(size_t length = SIZE_MAX) { runWith<StreamDemuxer>(length); }
  // The same with the demuxer of a rescue.
  void rescue() { runWith<RescueDemuxer>(SIZE_MAX); }
  // The losses a rescue's demuxer finds in the whole stream.
  RangePairs losses() {
    MemorySource source(stream_.data(), stream_.size());
    RescueDemuxer demuxer(source, recordingInto(events));
    demuxer.demultiplex();
    return pairsOf(demuxer.losses());
  }

  template <typename Demuxer>
  void runWith(size_t length) {
    events.clear();
    MemorySource source(stream_.data(), std::min(length, stream_.size()));
    Demuxer demuxer(source, recordingInto(events));
    demuxer.demultiplex();
    video_ = pairsOf(demuxer.videoRanges());
    audio_ = pairsOf(demuxer.audioRanges());
    videoBytes_ = read(source, demuxer.videoRanges());
    audioBytes_ = read(source, demuxer.audioRanges());
  }

  Bytes stream_;
  std::vector<uint32_t> codes_;  // where the verbs put start codes
  RangePairs video_, audio_;
  Bytes videoBytes_, audioBytes_;

 private:
  uint32_t addCode(const Bytes& bytes) {
    codes_.push_back(here());
    return addRaw(bytes);
  }
  static Bytes read(ByteSource& source, const RangeList& ranges) {
    RangeViewSource view(source, ranges);
    Bytes bytes;
    for (uint32_t i = 0; i < view.size(); ++i) bytes.push_back(static_cast<uint8_t>(view.byteAt(i)));
    return bytes;
  }
};

}  // namespace

TEST(StartCodeScan, StopsOnTheLastTwoZerosAndRepeatsUntilMoved) {
  const Bytes bytes = {0x11, 0, 0, 0, 1, 0xB3, 0x22, 0, 0, 1};
  MemorySource source(bytes.data(), bytes.size());
  EXPECT_EQ(nextStartCode(source), 0xB3u);
  EXPECT_EQ(source.position(), 2u);
  EXPECT_EQ(nextStartCode(source), 0xB3u);
  EXPECT_EQ(source.position(), 2u);
  source.skip(1);
  EXPECT_EQ(nextStartCode(source), NoStartCode);  // 00 00 01 with only three bytes left
  EXPECT_EQ(source.position(), bytes.size());
}

TEST_F(StreamDemuxerTest, AcceptsEveryMpeg1HeaderForm) {
  const std::vector<Bytes> headers = {
      {0x0F}, Bytes{0xFF, 0xFF, 0xFF, 0x0F}, kBufferField + Bytes{0x0F}, kPts, kPtsDts,
      Bytes(40, 0xFF) + kBufferField + kPtsDts, Bytes{0xFF} + kBufferField + kPts,
  };
  for (const Bytes& header : headers) {
    SCOPED_TRACE(testing::PrintToString(header));
    startOver();
    addPack();
    const Bytes audioPayload = filler(10, 1) + Bytes{0, 0, 1, 0xB3} + filler(20, 1);  // stepped over
    const Packet audio = addPacket(0xC0, audioPayload, header);
    const Packet video = addPacket(0xE0, filler(50, 2), header);
    addPack();
    run();
    EXPECT_EQ(audio_, (RangePairs{{audio.payload, audio.end}}));
    EXPECT_EQ(video_, (RangePairs{{video.payload, video.end}}));
    EXPECT_EQ(audioBytes_, audioPayload);
    EXPECT_EQ(videoBytes_, filler(50, 2));
  }
}

TEST_F(StreamDemuxerTest, HeaderOfNoMpeg1FormResumesTheScanOneBytePastThePacketStart) {
  const std::vector<Bytes> headers = {kMpeg2Header, kBufferField + kBufferField + Bytes{0x0F}, {0x0E},
                                      {0xFF, 0x1F}};
  for (const Bytes& header : headers) {
    SCOPED_TRACE(testing::PrintToString(header));
    startOver();
    addPack();
    addPacket(0xC0, filler(30), header);
    const Packet video = addPacket(0xE0, filler(10) + Bytes{0, 0, 1, 0xB3} + filler(20), header);
    const uint32_t lastPack = addPack();
    run();
    EXPECT_TRUE(audio_.empty());
    // The sequence header inside the payload is found by the scan and opens the range.
    EXPECT_EQ(video_, (RangePairs{{video.payload + 10, lastPack}}));
  }
}

// A packet ending, header and all, at the end of the data: the time stamp
// field is cut short, so the header has run out of data and must fail.
TEST_F(StreamDemuxerTest, TimeStampCutShortByTheEndOfTheDataIsSteppedOver) {
  // The field is skipped as far as the data goes: the payload would start at
  // the end, so the truncated packet adds nothing, and the bytes inside the
  // cut field are not searched again.
  for (const Bytes& field : {Bytes{0x21}, Bytes{0x31, 0x11, 0x11}}) {
    SCOPED_TRACE(testing::PrintToString(field));
    startOver();
    addPack();
    addPacketClaiming(0xE0, 40, {}, field);
    addRaw({0, 0, 1, 0xB3});  // inside the cut field
    run();
    EXPECT_EQ(video_, RangePairs{});
    EXPECT_EQ(audio_, RangePairs{});
  }
}

TEST_F(StreamDemuxerTest, LengthIsTrustedWhenAStartCodeFollowsAfterAnyZeros) {
  addPack();
  const Packet audio = addPacket(0xC0, filler(30));
  addRaw({0});
  addPack();
  const Packet video = addPacket(0xE0, filler(50));
  addRaw({0});  // 00 00 00 01 BA
  addPack();
  run();
  EXPECT_EQ(audio_, (RangePairs{{audio.payload, audio.end}}));
  EXPECT_EQ(video_, (RangePairs{{video.payload, video.end}}));
  EXPECT_EQ(videoBytes_, filler(50));
}

TEST_F(StreamDemuxerTest, ZeroSectorsBetweenVideoPacketsStayOutOfTheVideo) {
  // A muxer's empty sector between two packets of one slice: its zeros,
  // taken in, would end in 00 00 and make a start code of the 01 that the
  // next packet continues with.
  addPack();
  const Packet first = addPacket(0xE0, filler(50));
  addRaw(Bytes(2324, 0x00));
  addPack();
  const Packet second = addPacket(0xE0, Bytes{0x01, 0xD0} + filler(20));
  addPack();
  run();
  EXPECT_EQ(video_, (RangePairs{{first.payload, first.end}, {second.payload, second.end}}));
  EXPECT_EQ(videoBytes_, (filler(50) + Bytes{0x01, 0xD0} + filler(20)));
}

TEST_F(StreamDemuxerTest, LengthIsDistrustedWithoutAStartCodeAfterIt) {
  for (const Bytes& tail : {Bytes{0x00, 0x01, 0xBA, 0x55}, Bytes{0x55}, Bytes{0x00, 0x55}}) {
    SCOPED_TRACE(testing::PrintToString(tail));
    startOver();
    addPack();
    addPacket(0xC0, filler(30));
    addRaw(tail);
    addPack();
    const Packet video = addPacket(0xE0, filler(50));
    addRaw(tail);
    const uint32_t lastPack = addPack();
    run();
    EXPECT_TRUE(audio_.empty());
    EXPECT_EQ(video_, (RangePairs{{video.payload, lastPack}}));
  }
}

TEST_F(StreamDemuxerTest, RescueTrustsALengthThatADamagedPackHeaderFollows) {
  // Bit errors behind a video packet: the plain run takes the damage into
  // the video; a rescue leaves it out when it is the system layer's, and
  // keeps the video behind a length that a bit error made shorter.
  const Bytes pack = {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x91};
  const Bytes damagedCode = {0x00, 0x20, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x91};
  struct Case {
    const char* name;
    Bytes after;
    size_t shortBy;  // bytes the length field claims too few
    bool trusted;
  };
  const Case cases[] = {
      {"gap zeros with a bit set, then the pack", Bytes{0x00, 0x20, 0x00} + pack, 0, true},
      {"the pack's start code damaged", damagedCode, 0, true},
      {"more junk than a pack header", damagedCode + filler(8), 0, false},
      {"a length 4 short", pack, 4, false},
      {"a length 8 short", pack, 8, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    addPack();
    const Packet video = addPacketClaiming(0xE0, static_cast<uint16_t>(1 + 50 - c.shortBy), filler(50));
    addRaw(c.after);
    const Packet audio = addPacket(0xC0, filler(30));
    addPack();
    run();
    if (c.shortBy == 0) {
      EXPECT_GT(videoBytes_.size(), 50u) << "the plain run takes the damaged bytes in";
    }
    rescue();
    EXPECT_EQ(video_ == (RangePairs{{video.payload, video.end}}), c.trusted) << testing::PrintToString(video_);
    if (!c.trusted) {
      EXPECT_GE(videoBytes_.size(), 50u) << "video behind the length was lost";
    }
    EXPECT_EQ(audio_, (RangePairs{{audio.payload, audio.end}}));
  }
}

// A video packet whose payload runs on to the next code by a power of two
// more or less than its length says had that length changed by a bit
// error; by any other amount, the stream lost bytes inside it, and a rescue
// counts the payload lost, up to the next code.
TEST_F(StreamDemuxerTest, RescueTellsAPacketThatLostBytesFromOneWithALengthFlipped) {
  const Bytes pack = {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x91};
  struct Case {
    const char* name;
    size_t claimed;  // payload bytes the length says
    size_t kept;     // of them, those before the next pack
    Bytes between;   // what lies between them and the pack
    bool lost;
  };
  const Case cases[] = {
      {"a length 4 short", 46, 50, {}, false},
      {"a length 16 long", 66, 50, {}, false},
      {"a length 4 short, zeros behind it", 46, 50, {0, 0, 0}, false},
      {"bytes cut out, another packet's tail behind", 50, 20, filler(9, 3), true},
      {"bytes cut out, nothing behind", 50, 29, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    addPack();
    addPacket(0xC0, filler(30));
    const Packet video = addPacketClaiming(0xE0, static_cast<uint16_t>(1 + c.claimed), filler(c.kept));
    addRaw(c.between);
    const uint32_t next = addRaw(pack);
    addPacket(0xE0, filler(40, 5));
    EXPECT_EQ(losses(), (c.lost ? RangePairs{{video.payload, next}} : RangePairs{}));
  }
  // A clean stream loses nothing.
  startOver();
  addPack();
  addPacket(0xE0, filler(40));
  addPack();
  addPacket(0xE0, filler(40, 1));
  EXPECT_TRUE(losses().empty());
}

TEST_F(StreamDemuxerTest, LengthPastTheEndOfTheDataIsDistrusted) {
  addPack();
  addPacketClaiming(0xC0, 300, filler(30));
  const Packet video = addPacketClaiming(0xE0, 200, filler(30));
  run();
  EXPECT_TRUE(audio_.empty());
  EXPECT_EQ(video_, (RangePairs{{video.payload, here()}}));
}

// A length that ends inside the header, where 00 00 01 BA happens to follow:
// the scan goes on from the payload, not from the declared end.
TEST_F(StreamDemuxerTest, ScanResumesNoEarlierThanThePayload) {
  addPack();
  const Packet video = addPacketClaiming(0xE0, 1, filler(40), {0x21, 0x00, 0x00, 0x01, 0xBA});
  const uint32_t lastPack = addPack();
  run();
  EXPECT_EQ(video_, (RangePairs{{video.payload, lastPack}}));
}

TEST_F(StreamDemuxerTest, PacketsOfOtherStreamsAddNothingAndAreSteppedOver) {
  const Bytes payloadWithCodes = filler(10) + Bytes{0, 0, 1, 0xB3} + filler(10) + Bytes{0, 0, 1, 0x00} + filler(5);
  for (const uint8_t id : {0xC1, 0xE1, 0xBD, 0xBE, 0xBF}) {
    SCOPED_TRACE(static_cast<int>(id));
    startOver();
    addPack();
    addPacket(id, payloadWithCodes);
    addPack();
    run();
    EXPECT_TRUE(video_.empty());
    EXPECT_TRUE(audio_.empty());
  }
}

TEST_F(StreamDemuxerTest, StreamWithoutSystemLayerIsOneVideoRangeFromItsFirstStartCode) {
  addRaw({0x12, 0x34, 0x00});
  const uint32_t first = addVideoStartCode(0xB3);
  addVideoStartCode(0xB8);
  addVideoStartCode(0x00);
  addVideoStartCode(0x01);
  addVideoStartCode(0xB7);
  run();
  EXPECT_EQ(video_, (RangePairs{{first, here()}}));
  EXPECT_EQ(videoBytes_, Bytes(stream_.begin() + first, stream_.end()));
  EXPECT_TRUE(audio_.empty());
}

TEST_F(StreamDemuxerTest, EndCodeAfterTheLastPacketStartsTheFinalVideoRange) {
  addPack();
  const Packet video = addPacket(0xE0, filler(50));
  const uint32_t pack = addPack();
  const Packet audio = addPacket(0xC0, filler(30));
  const uint32_t end = addRaw({0, 0, 1, 0xB9});
  run();
  EXPECT_EQ(video_, (RangePairs{{video.payload, pack}, {end, end + 4}}));
  EXPECT_EQ(audio_, (RangePairs{{audio.payload, audio.end}}));
}

TEST_F(StreamDemuxerTest, PacketStartCodeWithoutRoomForItsLengthEndsThePass) {
  addPack();
  const Packet video = addPacket(0xE0, filler(50));
  const uint32_t cut = addRaw({0, 0, 1, 0xE0, 0x00});
  run();
  EXPECT_EQ(video_, (RangePairs{{video.payload, cut}}));
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), Event('E', 0, 0));
}

TEST_F(StreamDemuxerTest, RunningTwiceGivesTheSameLists) {
  addPack();
  addPacket(0xE0, filler(50));
  addPacket(0xC0, filler(30));
  addVideoStartCode(0xB9);
  MemorySource source(stream_.data(), stream_.size());
  StreamDemuxer demuxer(source, recordingInto(events));
  demuxer.demultiplex();
  const RangePairs video = pairsOf(demuxer.videoRanges());
  const RangePairs audio = pairsOf(demuxer.audioRanges());
  demuxer.demultiplex();
  EXPECT_EQ(pairsOf(demuxer.videoRanges()), video);
  EXPECT_EQ(pairsOf(demuxer.audioRanges()), audio);
  EXPECT_EQ(video.size(), 2u);
  EXPECT_EQ(audio.size(), 1u);
}

TEST_F(StreamDemuxerTest, DataWithoutStartCodeSendsOnlyStartAndEnd) {
  for (const Bytes& data : {Bytes{}, Bytes{0, 0, 1}, Bytes{0x12, 0, 0, 0, 1}, filler(100)}) {
    SCOPED_TRACE(testing::PrintToString(data));
    startOver();
    addRaw(data);
    run();
    EXPECT_EQ(events, (std::vector<Event>{{'S', 0, 0}, {'E', 0, 0}}));
    EXPECT_TRUE(video_.empty());
    EXPECT_TRUE(audio_.empty());
  }
}

TEST_F(StreamDemuxerTest, EveryPrefixOfAStreamGivesOrderedRangesWithinIt) {
  addPack();
  addSystemHeader();
  addPacket(0xC0, filler(30, 1), kPts);
  const Bytes videoPayload = Bytes{0, 0, 1, 0xB3} + filler(40, 2) + Bytes{0, 0, 1, 0xB8} + filler(9);
  addPacket(0xE0, videoPayload, kPtsDts);
  addPack();
  addPacket(0xE0, filler(35, 3), kBufferField + Bytes{0x0F});
  addPacket(0xC0, filler(25, 4), Bytes{0xFF, 0xFF} + kPts);
  addVideoStartCode(0xB9);
  for (size_t length = 0; length <= stream_.size(); ++length) {
    SCOPED_TRACE(length);
    run(length);
    for (const RangePairs* ranges : {&video_, &audio_}) {
      uint32_t previousEnd = 0;
      for (const auto& range : *ranges) {
        EXPECT_LE(previousEnd, range.first);
        EXPECT_LT(range.first, range.second);
        EXPECT_LE(range.second, length);
        previousEnd = range.second;
      }
    }
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front(), Event('S', 0, 0));
    EXPECT_EQ(events.back(), Event('E', 0, 0));
  }
  // The whole stream is understood as built, with one 'P' per start code.
  EXPECT_EQ(audioBytes_, filler(30, 1) + filler(25, 4));
  EXPECT_EQ(videoBytes_, (videoPayload + filler(35, 3) + Bytes{0, 0, 1, 0xB9, 0x12, 0x34, 0x56}));
  std::vector<Event> expected = {{'S', 0, 0}};
  for (const uint32_t at : codes_) expected.emplace_back('P', at, here());
  expected.emplace_back('E', 0, 0);
  EXPECT_EQ(events, expected);
}
