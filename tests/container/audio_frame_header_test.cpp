#include "container/audio_frame_header.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>

namespace {

using HeaderBytes = std::array<uint8_t, 4>;

}  // namespace

TEST(AudioFrameHeaderTest, HeadersGiveTheirFramesAndAreWrittenBackOrRefused) {
  struct Case {
    HeaderBytes bytes;
    uint32_t layer, bitRate, sampleRate, samples, length;
  };
  const Case cases[] = {
      {{0xFF, 0xFD, 0xB0, 0x04}, 2, 224000, 44100, 1152, 731},  // Video CD: 144 x 224000 / 44100
      {{0xFF, 0xFD, 0xB2, 0x04}, 2, 224000, 44100, 1152, 732},  // the same, padded
      {{0xFF, 0xFC, 0x44, 0xC0}, 2, 64000, 48000, 1152, 192},   // with CRC, mono
      {{0xFF, 0xFF, 0xC0, 0x00}, 1, 384000, 44100, 384, 416},   // 4 x (12 x 384000 / 44100)
      {{0xFF, 0xFB, 0x98, 0x00}, 3, 128000, 32000, 1152, 576},
      {{0xFF, 0xF3, 0x80, 0x00}, 3, 64000, 22050, 576, 208},    // lower rates: 72 x 64000 / 22050
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    AudioFrameHeader header;
    ASSERT_TRUE(header.read(c.bytes.data()));
    EXPECT_EQ(std::make_tuple(header.layer, header.bitRate(), header.sampleRate(), header.samplesPerFrame(),
                              header.frameLength()),
              std::make_tuple(c.layer, c.bitRate, c.sampleRate, c.samples, c.length));
    HeaderBytes written{};
    header.write(written.data());
    EXPECT_EQ(written, c.bytes);
  }
  // No syncword (twice), layer 0, free format, bit rate index 15, sample
  // rate index 3, emphasis 2.
  for (const HeaderBytes& bytes : {HeaderBytes{0x00, 0x00, 0x00, 0x00}, HeaderBytes{0xFF, 0xED, 0xB0, 0x04},
                                   HeaderBytes{0xFF, 0xF9, 0xB0, 0x04}, HeaderBytes{0xFF, 0xFD, 0x00, 0x04},
                                   HeaderBytes{0xFF, 0xFD, 0xF0, 0x04}, HeaderBytes{0xFF, 0xFD, 0xBC, 0x04},
                                   HeaderBytes{0xFF, 0xFD, 0xB0, 0x06}}) {
    AudioFrameHeader header;
    EXPECT_FALSE(header.read(bytes.data())) << testing::PrintToString(bytes);
  }
}

TEST(AudioFrameHeaderTest, SilentFrameKeepsTheStreamButDropsCrcAndPadding) {
  AudioFrameHeader header;
  ASSERT_TRUE(header.read(HeaderBytes{0xFF, 0xFC, 0xB3, 0x44}.data()));  // CRC, padded, joint stereo
  HeaderBytes written{};
  header.silent().write(written.data());
  EXPECT_EQ(written, (HeaderBytes{0xFF, 0xFD, 0xB1, 0x44}));
  EXPECT_EQ(header.silent().frameLength(), 731u);
  AudioFrameHeader other;
  ASSERT_TRUE(other.read(HeaderBytes{0xFF, 0xFD, 0xB4, 0x04}.data()));  // 48 kHz
  EXPECT_TRUE(header.silent().sameStreamAs(header));
  EXPECT_FALSE(other.sameStreamAs(header));
}
