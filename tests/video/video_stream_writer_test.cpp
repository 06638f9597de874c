#include "video/video_stream_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/temp_dir.h"

// Within the buffer: tiny pictures at 1150 kbit/s and 25 fps (5750 bytes a
// picture) with a buffer of 40960 bytes. The buffer fills first; from then on
// each picture is topped up with zeros to what arrives while it shows, never
// more: no run of zeros outruns the channel.
TEST(VideoStreamWriter, FillsWithinTheBufferPictureByPicture) {
  ProbedFormat format;
  format.width = 48;
  format.height = 32;
  format.frameRateCode = 3;
  format.frameRate = 25.0;
  format.bitRate = 2875;
  format.vbvBufferSize = 20;
  format.estimated = false;
  TempDir dir;
  VideoStreamWriter writer(format, VideoStreamWriter::Fill::kWithinBuffer);
  ASSERT_TRUE(writer.open(dir.file("out.mpv")));
  const uint8_t picture[] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF, 0xF8, 0x01, 0x01, 0x42};
  std::vector<uint64_t> starts;
  for (int k = 0; k < 50; ++k) {
    writer.beforePicture('I');
    starts.push_back(writer.output().tell());
    writer.output().write(picture, sizeof picture);
  }
  ASSERT_TRUE(writer.finish());
  const Bytes out = dir.read("out.mpv");
  // 50 pictures' worth arrives; the buffer's 40960 are held back, less a
  // picture's worth filled in at the end... within one picture of it.
  const double nominal = 50 * 5750.0 - 40960;
  EXPECT_NEAR(static_cast<double>(out.size()), nominal, 5750.0 + 64);
  uint64_t largestGap = 0;
  for (size_t k = 1; k < starts.size(); ++k) largestGap = std::max(largestGap, starts[k] - starts[k - 1]);
  EXPECT_LE(largestGap, 5750u + 40u);  // a picture's worth and the inserted headers
  // The plain fill: once per second, up to the nominal size.
  VideoStreamWriter plain(format);
  ASSERT_TRUE(plain.open(dir.file("plain.mpv")));
  for (int k = 0; k < 50; ++k) {
    plain.beforePicture('I');
    plain.output().write(picture, sizeof picture);
  }
  ASSERT_TRUE(plain.finish());
  EXPECT_EQ(dir.read("plain.mpv").size(), static_cast<size_t>(50 * 5750 + 8));

  // An unknown frame rate (1 picture a second, for bit rates) gives no
  // buffer model: nothing is filled in, where each picture would otherwise
  // bring a second's worth.
  format.frameRateCode = 0;
  format.frameRate = 1.0;
  VideoStreamWriter unknown(format, VideoStreamWriter::Fill::kWithinBuffer);
  ASSERT_TRUE(unknown.open(dir.file("unknown.mpv")));
  for (int k = 0; k < 50; ++k) {
    unknown.beforePicture('I');
    unknown.output().write(picture, sizeof picture);
  }
  ASSERT_TRUE(unknown.finish());
  EXPECT_LT(dir.read("unknown.mpv").size(), 50 * sizeof picture + 1024 + 64);
}
