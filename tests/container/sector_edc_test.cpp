#include "container/sector_edc.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/container/demuxed_streams.h"

TEST(SectorEdc, FoldingGivesTheTablesCodeAndTheRecordingsSectorsCheckOut) {
  std::mt19937 random(11);
  Bytes bytes(5000);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  for (size_t length = 0; length <= 300; ++length) {
    for (const uint32_t start : {0u, 0xFFFFFFFFu, 0x12345678u}) {
      ASSERT_EQ(SectorEdc::of(bytes.data() + 3, length, start), SectorEdc::withTables(bytes.data() + 3, length, start))
          << length;
    }
  }
  ASSERT_EQ(SectorEdc::of(bytes.data(), 4999), SectorEdc::withTables(bytes.data(), 4999));

  // Every sector of the test image's MPEG track: subheader and payload
  // against the code stored little-endian after them.
  const Bytes image = testRecording("vcd.bin");
  const size_t track = 450 * 2352;
  size_t sectors = 0;
  for (size_t at = track; at + 2352 <= image.size(); at += 2352, ++sectors) {
    const uint32_t stored = uint32_t{image[at + 2348]} | uint32_t{image[at + 2349]} << 8 |
                            uint32_t{image[at + 2350]} << 16 | uint32_t{image[at + 2351]} << 24;
    ASSERT_EQ(SectorEdc::of(image.data() + at + 16, 2332), stored) << "sector " << sectors;
  }
  EXPECT_GT(sectors, 300u);
}
