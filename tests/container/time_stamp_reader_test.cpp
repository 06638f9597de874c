#include "container/time_stamp_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container/riff_decoder.h"
#include "container/stream_demuxer.h"
#include "source/memory_source.h"
#include "source/range_view_source.h"
#include "tests/support/temp_dir.h"

namespace {


Bytes recording(const std::string& name) { return readFile(std::string(ORVANTE_SOURCE_DIR) + "/tests/data/" + name); }

// The stamps a demultiplexing pass over `source` reads.
struct Stamps {
  std::vector<TimeStamp> video, audio;
  Bytes audioStream;
};

Stamps demultiplex(ByteSource& source) {
  TimeStampReader reader(source);
  StreamDemuxer demuxer(source, ProgressCallback(), &reader);
  demuxer.demultiplex();
  Stamps stamps;
  for (size_t k = 0; k < reader.videoStamps().count(); ++k) stamps.video.push_back(reader.videoStamps()[k]);
  for (size_t k = 0; k < reader.audioStamps().count(); ++k) stamps.audio.push_back(reader.audioStamps()[k]);
  RangeViewSource audio(source, demuxer.audioRanges());
  audio.readRuns(audio.size(), [&](const uint8_t* bytes, uint32_t length) {
    stamps.audioStream.insert(stamps.audioStream.end(), bytes, bytes + length);
  });
  return stamps;
}

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
  const Bytes mpg = recording("vcd.mpg");
  MemorySource stream(mpg.data(), mpg.size());
  const Stamps fromStream = demultiplex(stream);
  ASSERT_FALSE(fromStream.video.empty());
  EXPECT_EQ(fromStream.video[0].offset, 0u);
  EXPECT_EQ(fromStream.video[0].pts, 43200u);
  EXPECT_EQ(fromStream.video[0].dts, 39600u);
  ASSERT_FALSE(fromStream.audio.empty());
  EXPECT_EQ(fromStream.audio[0].pts, 42218u);
  uint32_t end = 0;
  for (const TimeStamp& stamp : fromStream.audio) {
    EXPECT_EQ(stamp.offset, end) << "audio stamps cover the stream without a gap";
    end = stamp.offset + stamp.length;
    EXPECT_EQ(stamp.pts, stamp.dts);
  }
  EXPECT_EQ(end, fromStream.audioStream.size());
  // The first audio stamp's packet begins with a frame.
  ASSERT_GE(fromStream.audioStream.size(), 2u);
  EXPECT_EQ(fromStream.audioStream[0], 0xFF);

  const Bytes bin = recording("vcd.bin");
  MemorySource image(bin.data(), bin.size());
  RiffDecoder decoder(image, ProgressCallback());
  ASSERT_TRUE(decoder.decode());
  RangeViewSource payload(image, decoder.payloadRanges());
  const Stamps fromImage = demultiplex(payload);
  EXPECT_TRUE(sameStamps(fromImage.video, fromStream.video));
  EXPECT_TRUE(sameStamps(fromImage.audio, fromStream.audio));
}
