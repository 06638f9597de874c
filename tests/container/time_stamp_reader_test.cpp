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
