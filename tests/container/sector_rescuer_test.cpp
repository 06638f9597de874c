#include "container/sector_rescuer.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "container/riff_decoder.h"
#include "source/memory_source.h"
#include "tests/support/recording_reporter.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr size_t kSector = 2352;
constexpr size_t kPayload = 2324;

// An image of `count` sectors, each a sync, a header and a payload that
// begins 00 00 01 BA, then a trailer that is not zero.
Bytes image(size_t count) {
  Bytes bytes;
  for (size_t k = 0; k < count; ++k) {
    const Bytes sync = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    bytes.insert(bytes.end(), sync.begin(), sync.end());
    bytes.insert(bytes.end(), 12, 0x20);  // address, mode, subheader
    const Bytes payloadStart = {0x00, 0x00, 0x01, 0xBA};
    bytes.insert(bytes.end(), payloadStart.begin(), payloadStart.end());
    bytes.insert(bytes.end(), kPayload - 4, static_cast<uint8_t>(0x30 + k));
    bytes.insert(bytes.end(), {0xAF, 0x2B, 0x17, 0xD8});  // error detection code
  }
  return bytes;
}

std::vector<std::pair<uint32_t, uint32_t>> mended(const Bytes& bytes, uint32_t* lost, RecordingReporter* reporter) {
  MemorySource source(bytes.data(), bytes.size());
  RiffDecoder decoder(source, ProgressCallback());
  EXPECT_TRUE(decoder.decode());
  SectorRescuer rescuer(source, decoder.payloadRanges(), reporter);
  rescuer.mend();
  *lost = rescuer.lostSectors();
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  for (uint32_t k = 0; k < rescuer.ranges().count(); ++k) {
    ranges.emplace_back(rescuer.ranges().pairs()[2 * k], rescuer.ranges().pairs()[2 * k + 1]);
  }
  return ranges;
}

uint32_t payloadOf(size_t sector) { return static_cast<uint32_t>(sector * kSector + 24); }

}  // namespace

TEST(SectorRescuer, LeavesOutLostSectorsAndKeepsThoseWithADamagedSync) {
  uint32_t lost = 0;
  RecordingReporter reporter;
  // A clean image keeps the decoder's ranges: every payload, the last with
  // its trailer.
  const Bytes clean = image(6);
  std::vector<std::pair<uint32_t, uint32_t>> expected;
  for (size_t k = 0; k < 6; ++k) expected.emplace_back(payloadOf(k), payloadOf(k) + kPayload + (k == 5 ? 4 : 0));
  EXPECT_EQ(mended(clean, &lost, &reporter), expected);
  EXPECT_EQ(lost, 0u);

  // Sector 2 read back as zeros, sector 3's sync with a bit wrong (and no
  // start code at its payload, so the decoder did not take it).
  Bytes damaged = clean;
  std::fill(damaged.begin() + 2 * kSector, damaged.begin() + 3 * kSector, 0);
  damaged[3 * kSector + 5] ^= 0x10;
  damaged[3 * kSector + 24] = 0x47;
  expected.erase(expected.begin() + 2);
  EXPECT_EQ(mended(damaged, &lost, &reporter), expected);
  EXPECT_EQ(lost, 1u);
  ASSERT_EQ(reporter.drops.size(), 1u);
  EXPECT_EQ(reporter.drops[0].reason, RepairReporter::Drop::kLostSector);
  EXPECT_EQ(reporter.drops[0].offset, 2 * kSector);
}
