#include "container/time_stamp_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container/riff_decoder.h"
#include "source/range_view_source.h"
#include "tests/container/demuxed_streams.h"

namespace {

bool sameStamps(const std::vector<TimeStamp>& a, const std::vector<TimeStamp>& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if (a[k].offset != b[k].offset || a[k].pts != b[k].pts || a[k].dts != b[k].dts) return false;
  }
  return true;
}

}  // namespace

TEST(TimeStampReader, FieldsRoundTripAndDamagedOnesAreRefused) {
  for (uint64_t value : {uint64_t{0}, uint64_t{1}, uint64_t{43200}, uint64_t{1} << 32, (uint64_t{1} << 33) - 1}) {
    uint8_t field[TimeStampReader::kFieldSize];
    TimeStampReader::encode(0x2, value, field);
    uint64_t back = 0;
    ASSERT_TRUE(TimeStampReader::decode(field, 0x2, &back)) << value;
    EXPECT_EQ(back, value);
    EXPECT_FALSE(TimeStampReader::decode(field, 0x3, &back)) << "wrong prefix";
    for (int marker : {0, 2, 4}) {
      uint8_t damaged[TimeStampReader::kFieldSize];
      std::copy(field, field + sizeof field, damaged);
      damaged[marker] ^= 1;
      EXPECT_FALSE(TimeStampReader::decode(damaged, 0x2, &back)) << "marker in byte " << marker;
    }
  }
}

// ffmpeg's Video CD: the first picture is shown at 0.48 s (43200) and decoded
// at 0.44 s; audio starts at 42218; every packet carries a stamp.
TEST(TimeStampReader, ReadsTheStampsOfARealRecordingAlikeFromItsStreamAndItsDiscImage) {
  const DemuxedStreams fromStream = demuxStreams(testRecording("vcd.mpg"));
  ASSERT_FALSE(fromStream.videoStamps.empty());
  EXPECT_EQ(fromStream.videoStamps[0].offset, 0u);
  EXPECT_EQ(fromStream.videoStamps[0].pts, 43200u);
  EXPECT_EQ(fromStream.videoStamps[0].dts, 39600u);
  ASSERT_FALSE(fromStream.audioStamps.empty());
  EXPECT_EQ(fromStream.audioStamps[0].pts, 42218u);
  uint32_t end = 0;
  for (const TimeStamp& stamp : fromStream.audioStamps) {
    EXPECT_EQ(stamp.offset, end) << "audio stamps cover the stream without a gap";
    end = stamp.offset + stamp.length;
    EXPECT_EQ(stamp.pts, stamp.dts);
  }
  EXPECT_EQ(end, fromStream.audio.size());
  // The first audio stamp's packet begins with a frame.
  ASSERT_GE(fromStream.audio.size(), 2u);
  EXPECT_EQ(fromStream.audio[0], 0xFF);

  const Bytes bin = testRecording("vcd.bin");
  MemorySource image(bin.data(), bin.size());
  RiffDecoder decoder(image, ProgressCallback());
  ASSERT_TRUE(decoder.decode());
  RangeViewSource payload(image, decoder.payloadRanges());
  const DemuxedStreams fromImage = demuxStreams(payload);
  EXPECT_TRUE(sameStamps(fromImage.videoStamps, fromStream.videoStamps));
  EXPECT_TRUE(sameStamps(fromImage.audioStamps, fromStream.audioStamps));
}

// A field is read wherever it lies: split between two spans of the source
// at each of its bytes, or cut short by the end of the data, whose missing
// bytes read as 0. The cursor, the demultiplexer's, stays where it was.
TEST(TimeStampReader, ReadsAFieldAcrossSpansAndAtTheEndWithoutMovingTheCursor) {
  uint8_t fields[2 * TimeStampReader::kFieldSize];
  TimeStampReader::encode(0x3, 90000, fields);
  TimeStampReader::encode(0x1, 86400, fields + TimeStampReader::kFieldSize);
  constexpr uint32_t kBefore = 7;
  constexpr uint32_t kGap = 3;  // bytes left out of the view at the split
  for (uint32_t split = 0; split <= sizeof fields; ++split) {
    Bytes bytes(kBefore, 0xAA);
    bytes.insert(bytes.end(), fields, fields + split);
    bytes.insert(bytes.end(), kGap, 0x55);
    bytes.insert(bytes.end(), fields + split, fields + sizeof fields);
    bytes.insert(bytes.end(), 4, 0xAA);
    MemorySource memory(bytes.data(), bytes.size());
    RangeList ranges;
    ranges.append(0, kBefore + split);
    ranges.append(kBefore + split + kGap, static_cast<uint32_t>(bytes.size()));
    RangeViewSource view(memory, ranges);
    TimeStampReader reader(view);
    view.seek(view.size() - 1);
    reader.packetTaken(0xE0, kBefore, 100, 50);
    EXPECT_EQ(view.position(), view.size() - 1) << split;
    ASSERT_EQ(reader.videoStamps().count(), 1u) << split;
    EXPECT_EQ(reader.videoStamps()[0].pts, 90000u) << split;
    EXPECT_EQ(reader.videoStamps()[0].dts, 86400u) << split;
    EXPECT_EQ(reader.videoStamps()[0].offset, 100u);
    EXPECT_EQ(reader.videoStamps()[0].length, 50u);
  }
  // A presentation stamp alone in the last bytes; a decoding stamp cut off.
  for (const uint32_t prefix : {0x2u, 0x3u}) {
    uint8_t field[TimeStampReader::kFieldSize];
    TimeStampReader::encode(prefix, 43200, field);
    Bytes bytes(kBefore, 0xAA);
    bytes.insert(bytes.end(), field, field + sizeof field);
    MemorySource memory(bytes.data(), bytes.size());
    TimeStampReader reader(memory);
    memory.seek(2);
    reader.packetTaken(0xC0, kBefore, 0, 10);
    EXPECT_EQ(memory.position(), 2u);
    EXPECT_TRUE(reader.videoStamps().empty());
    ASSERT_EQ(reader.audioStamps().count(), prefix == 0x2 ? 1u : 0u) << prefix;
    if (prefix == 0x2) {
      EXPECT_EQ(reader.audioStamps()[0].dts, 43200u);
    }
  }
}
