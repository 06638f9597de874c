#include <gtest/gtest.h>

#include <memory>

#include "source/memory_source.h"
#include "tests/video/video_stream_builder.h"
#include "video/video_fixer.h"

namespace {

// Probes streams built in the test.
class VideoFixerProbeTest : public ::testing::Test {
 protected:
  VideoFixer& probe(const VideoStreamBuilder& stream) {
    fixer_.reset();
    source_.reset();
    bytes_ = stream.bytes();
    source_ = std::make_unique<MemorySource>(bytes_.data(), bytes_.size());
    fixer_ = std::make_unique<VideoFixer>(*source_, ProgressCallback());
    fixer_->probe();
    return *fixer_;
  }

  static SequenceFields header(uint32_t width, uint32_t height, uint32_t rateCode, uint32_t bitRate = 2900) {
    SequenceFields f;
    f.width = width;
    f.height = height;
    f.rateCode = rateCode;
    f.bitRate = bitRate;
    return f;
  }

  // `count` I pictures, each with slices at rows 1 and `row`.
  static VideoStreamBuilder iPictures(uint32_t count, uint32_t row) {
    VideoStreamBuilder s;
    for (uint32_t i = 0; i < count; ++i) s.picture('I', i).slice(1).slice(row);
    return s;
  }

 private:
  Bytes bytes_;
  std::unique_ptr<MemorySource> source_;
  std::unique_ptr<VideoFixer> fixer_;
};

}  // namespace

TEST_F(VideoFixerProbeTest, TakesTheFirstSequenceHeaderWithItsMarkerBitSet) {
  SequenceFields unmarked = header(352, 240, 4);
  unmarked.marker = 0;
  SequenceFields first = header(704, 576, 3);
  first.aspect = 2;
  first.vbv = 33;
  first.constrained = 0;
  VideoStreamBuilder stream;
  stream.sequenceHeader(unmarked).gop().picture('I', 0).slice(18).sequenceHeader(first).sequenceHeader(
      header(320, 240, 2, 100));
  const VideoFixer& fixer = probe(stream);
  EXPECT_FALSE(fixer.estimated());
  EXPECT_EQ(fixer.width(), 704u);
  EXPECT_EQ(fixer.height(), 576u);
  EXPECT_EQ(fixer.frameRateCode(), 3u);
  EXPECT_EQ(fixer.aspectRatioCode(), 2u);
  EXPECT_EQ(fixer.bitRate(), 2900u);
  EXPECT_EQ(fixer.vbvBufferSize(), 33u);
  EXPECT_FALSE(fixer.constrainedParameters());
  EXPECT_EQ(fixer.frameRate(), 25.0);
  EXPECT_EQ(fixer.claimedBitrate(), 1160000u);
  EXPECT_EQ(fixer.formatText(), "704x576 25fps");
}

TEST_F(VideoFixerProbeTest, EstimatesWhenTheOnlyHeaderHasNoMarkerBit) {
  SequenceFields unmarked = header(704, 576, 3);
  unmarked.marker = 0;
  VideoStreamBuilder stream;
  stream.sequenceHeader(unmarked).append(iPictures(2, 18));
  EXPECT_EQ(probe(stream).formatText(), "352x288 25fps (estimated)");
}

TEST_F(VideoFixerProbeTest, TakesAHeaderOnlyWhenItComesBeforeTheTwelfthIPicture) {
  const struct {
    uint32_t iPicturesBefore;
    const char* text;
  } cases[] = {
      {0, "704x576 25fps"},
      {5, "704x576 25fps"},
      {11, "704x576 25fps"},
      {12, "211x144 25fps (estimated)"},  // from the slices at row 9
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.iPicturesBefore);
    VideoStreamBuilder stream;
    stream.append(iPictures(c.iPicturesBefore, 9)).sequenceHeader(header(704, 576, 3)).append(iPictures(3, 9));
    const VideoFixer& fixer = probe(stream);
    EXPECT_EQ(fixer.formatText(), c.text);
    EXPECT_EQ(fixer.estimated(), c.iPicturesBefore == 12);
  }
}

TEST_F(VideoFixerProbeTest, NamesTheFrameRateOfEachCode) {
  const struct {
    uint32_t code;
    double rate;
    const char* text;
  } cases[] = {
      {0, 1.0, "352x240 unknownfps"},     {1, 23.976, "352x240 23.976fps"}, {4, 29.97, "352x240 29.97fps"},
      {7, 59.95, "352x240 59.95fps"},     {8, 60.0, "352x240 60fps"},       {9, 1.0, "352x240 unknownfps"},
      {12, 1.0, "352x240 unknownfps"},    {15, 1.0, "352x240 unknownfps"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    VideoStreamBuilder stream;
    stream.sequenceHeader(header(352, 240, c.code));
    const VideoFixer& fixer = probe(stream);
    EXPECT_EQ(fixer.frameRateCode(), c.code);
    EXPECT_EQ(fixer.frameRate(), c.rate);
    EXPECT_EQ(fixer.formatText(), c.text);
  }
}

TEST_F(VideoFixerProbeTest, EstimatesThePictureSizeFromTheLowestSliceRowOfIPictures) {
  const struct {
    uint32_t row;
    uint32_t width, height, rateCode;
    const char* text;
  } cases[] = {
      {15, 320, 240, 2, "320x240 24fps (estimated)"},  {18, 352, 288, 3, "352x288 25fps (estimated)"},
      {30, 640, 480, 2, "640x480 24fps (estimated)"},  {36, 704, 576, 3, "704x576 25fps (estimated)"},
      {9, 211, 144, 3, "211x144 25fps (estimated)"},   {0xAF, 4106, 2800, 3, "4106x2800 25fps (estimated)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row);
    // Slices before any picture and those of P and B pictures do not count.
    VideoStreamBuilder stream;
    stream.slice(0xAF).picture('I', 2).slice(1).slice(c.row).slice(c.row > 1 ? c.row - 1 : 1);
    stream.picture('P', 5).slice(0xAF).picture('B', 3).slice(0xAF).picture('I', 8).slice(2);
    const VideoFixer& fixer = probe(stream);
    EXPECT_TRUE(fixer.estimated());
    EXPECT_EQ(fixer.width(), c.width);
    EXPECT_EQ(fixer.height(), c.height);
    EXPECT_EQ(fixer.frameRateCode(), c.rateCode);
    EXPECT_EQ(fixer.formatText(), c.text);
  }
}

TEST_F(VideoFixerProbeTest, MeasuresTheBitRateAtTheTwelfthIPicture) {
  // Eleven pairs of an I and a P picture of 200 bytes each, slices included,
  // then the twelfth I picture at 4400 and a long slice after it.
  VideoStreamBuilder stream;
  for (uint32_t i = 0; i < 11; ++i) {
    stream.picture('I', 0).slice(18, Bytes(200 - 8 - 4, 0x33));
    stream.picture('P', 1).slice(18, Bytes(200 - 9 - 4, 0x33));
  }
  ASSERT_EQ(stream.size(), 4400u);
  stream.picture('I', 0).slice(18, Bytes(50000, 0x33)).picture('P', 1);
  // 4405 * 8 bits over 22 pictures = 1601.8 bits a picture; at 25 fps that
  // is 40045 bit/s, up to 41000, plus 10000, over 400: 127.
  const VideoFixer& fixer = probe(stream);
  EXPECT_TRUE(fixer.estimated());
  EXPECT_EQ(fixer.bitRate(), 127u);
  EXPECT_EQ(fixer.claimedBitrate(), 127u * 400);
}

TEST_F(VideoFixerProbeTest, AveragesTheBitRateOverTheWholeStreamWithoutATwelfthIPicture) {
  // 20 pictures in 115001 bytes: 46000.4 bits a picture, 1150010 bit/s at
  // 25 fps, up to 1151000, plus 10000, over 400: 2902.
  VideoStreamBuilder stream;
  for (uint32_t i = 0; i < 9; ++i) stream.picture('I', 0).slice(18).picture('P', 1).slice(18);
  stream.picture('I', 0).slice(18).picture('P', 1);
  stream.slice(18, Bytes(115001 - stream.size() - 4, 0x44));
  ASSERT_EQ(stream.size(), 115001u);
  const VideoFixer& fixer = probe(stream);
  EXPECT_EQ(fixer.formatText(), "352x288 25fps (estimated)");
  EXPECT_EQ(fixer.bitRate(), 2902u);
}

TEST_F(VideoFixerProbeTest, EstimatesNoSizeWithoutSlicesInIPicturesAndTheLowestBitRateWithoutPictures) {
  VideoStreamBuilder noRows;
  noRows.picture('I', 0).picture('P', 1).slice(20).picture('I', 2);
  EXPECT_EQ(probe(noRows).formatText(), "0x0 25fps (estimated)");
  // No pictures: no bits a picture, so 0 bit/s plus 10000, over 400.
  EXPECT_EQ(probe(VideoStreamBuilder()).bitRate(), 25u);
  EXPECT_EQ(probe(VideoStreamBuilder().slice(18)).bitRate(), 25u);
  EXPECT_EQ(probe(VideoStreamBuilder().slice(18)).formatText(), "0x0 25fps (estimated)");
}
