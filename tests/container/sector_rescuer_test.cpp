#include "container/sector_rescuer.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "container/riff_decoder.h"
#include "container/sector_edc.h"
#include "source/memory_source.h"
#include "source/patched_source.h"
#include "source/range_view_source.h"
#include "tests/source/range_pairs.h"
#include "tests/support/recording_reporter.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr size_t kSector = 2352;
constexpr size_t kPayload = 2324;

// An image of `count` sectors, each a sync, an address (sectors numbered
// from 00:02:00, in BCD), a subheader, a payload that begins 00 00 01 BA and
// the error detection code over subheader and payload.
Bytes image(size_t count) {
  Bytes bytes;
  for (size_t k = 0; k < count; ++k) {
    const size_t sector = bytes.size();
    const Bytes sync = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    bytes.insert(bytes.end(), sync.begin(), sync.end());
    bytes.insert(bytes.end(), {0x00, 0x02, static_cast<uint8_t>((k / 10) << 4 | k % 10), 0x02});
    bytes.insert(bytes.end(), 8, 0x20);  // subheader
    const Bytes payloadStart = {0x00, 0x00, 0x01, 0xBA};
    bytes.insert(bytes.end(), payloadStart.begin(), payloadStart.end());
    bytes.insert(bytes.end(), kPayload - 4, static_cast<uint8_t>(0x30 + k));
    const uint32_t code = SectorEdc::of(bytes.data() + sector + 16, 2332);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(code >> (8 * i)));
  }
  return bytes;
}


// The payload kept, as ranges of the image; `suspect` and `damaged` receive
// those ranges of the payload.
RangePairs mended(const Bytes& bytes, uint32_t* lost, RecordingReporter* reporter, RangePairs* suspect,
                  RangePairs* damaged = nullptr) {
  MemorySource source(bytes.data(), bytes.size());
  RiffDecoder decoder(source, ProgressCallback());
  EXPECT_TRUE(decoder.decode());
  SectorRescuer rescuer(source, decoder.payloadRanges(), reporter);
  rescuer.mend();
  *lost = rescuer.lostSectors();
  *suspect = pairsOf(rescuer.suspect());
  if (damaged != nullptr) *damaged = pairsOf(rescuer.damaged());
  return pairsOf(rescuer.ranges());
}

uint32_t payloadOf(size_t sector) { return static_cast<uint32_t>(sector * kSector + 24); }

}  // namespace

TEST(SectorRescuer, LeavesOutLostSectorsAndKeepsThoseWithADamagedSync) {
  uint32_t lost = 0;
  RecordingReporter reporter;
  RangePairs suspect;
  // A clean image keeps the decoder's ranges: every payload, the last with
  // its trailer. Only that trailer is suspect.
  const Bytes clean = image(6);
  RangePairs expected;
  for (size_t k = 0; k < 6; ++k) expected.emplace_back(payloadOf(k), payloadOf(k) + kPayload + (k == 5 ? 4 : 0));
  EXPECT_EQ(mended(clean, &lost, &reporter, &suspect), expected);
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(suspect, (RangePairs{{6 * kPayload, 6 * kPayload + 4}}));

  // A payload whose code fails, and sectors out of their order, are suspect.
  Bytes flipped = clean;
  for (uint32_t k = 0; k < 3; ++k) flipped[payloadOf(1) + 100 + k] ^= 0x5A;  // more bits than the code can place
  std::swap_ranges(flipped.begin() + 3 * kSector, flipped.begin() + 4 * kSector, flipped.begin() + 4 * kSector);
  RangePairs damagedPairs;
  mended(flipped, &lost, &reporter, &suspect, &damagedPairs);
  // Sector 1 by its code; 2 to 5 on either side of the two swapped; then
  // the trailer: one range.
  EXPECT_EQ(suspect, (RangePairs{{kPayload, 6 * kPayload + 4}}));
  // Damaged: sector 1, whose code fails, and the first byte after each
  // place where the addresses jump, which continues nothing before it.
  EXPECT_EQ(damagedPairs, (RangePairs{{kPayload, 2 * kPayload},
                                      {3 * kPayload, 3 * kPayload + 1},
                                      {4 * kPayload, 4 * kPayload + 1},
                                      {5 * kPayload, 5 * kPayload + 1}}));

  // Sector 2 read back as zeros, sector 3's sync with a bit wrong (and no
  // start code at its payload, so the decoder did not take it).
  Bytes damaged = clean;
  std::fill(damaged.begin() + 2 * kSector, damaged.begin() + 3 * kSector, 0);
  damaged[3 * kSector + 5] ^= 0x10;
  damaged[3 * kSector + 24] = 0x47;
  expected.erase(expected.begin() + 2);
  reporter.drops.clear();
  EXPECT_EQ(mended(damaged, &lost, &reporter, &suspect, &damagedPairs), expected);
  EXPECT_EQ(lost, 1u);
  // Sector 1 before the loss, sector 3 after it, with its sync damaged.
  EXPECT_EQ(suspect, (RangePairs{{kPayload, 3 * kPayload}, {5 * kPayload, 5 * kPayload + 4}}));
  EXPECT_EQ(damagedPairs, (RangePairs{{2 * kPayload, 2 * kPayload + 1}})) << "where the view crosses the loss";
  ASSERT_EQ(reporter.drops.size(), 1u);
  EXPECT_EQ(reporter.drops[0].reason, RepairReporter::Drop::kLostSector);
  EXPECT_EQ(reporter.drops[0].offset, 2 * kSector);
}

TEST(SectorRescuer, FindsAnImageBehindAnyNumberOfZeroedSectors) {
  // The plain search gives up ten sectors in; the rescue looks on.
  for (size_t zeroed : {0, 9, 10, 11, 200}) {
    SCOPED_TRACE(zeroed);
    Bytes bytes(zeroed * kSector, 0);
    const Bytes sectors = image(3);
    bytes.insert(bytes.end(), sectors.begin(), sectors.end());
    MemorySource source(bytes.data(), bytes.size());
    uint32_t start = 0;
    ASSERT_TRUE(SectorRescuer::findImageStart(source, &start));
    EXPECT_EQ(start, zeroed * kSector);
  }
  // Bytes with no sector in them, and an image too far in to be looked for.
  Bytes none(100000, 0x47);
  MemorySource noneSource(none.data(), none.size());
  uint32_t start = 0;
  EXPECT_FALSE(SectorRescuer::findImageStart(noneSource, &start));
  Bytes late(SectorRescuer::kImageSearchBytes + kSector, 0x47);
  const Bytes sectors = image(2);
  late.insert(late.end(), sectors.begin(), sectors.end());
  MemorySource lateSource(late.data(), late.size());
  EXPECT_FALSE(SectorRescuer::findImageStart(lateSource, &start));
}

TEST(SectorRescuer, PutsRightWhatTheCodeTellsAndHoldsTheRestDamaged) {
  const Bytes clean = image(4);
  // Offsets from sector 1's start.
  const uint32_t subheader = 16;
  const uint32_t payload = 24;
  const uint32_t code = 2348;
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, uint8_t>> flips;
    size_t patches;  // bytes put right
    bool suspect;    // two wrong bits: as well a garbled sector that two bits happen to explain
    bool damaged;
  };
  const Case cases[] = {
      {"one bit of the payload", {{payload + 100, 0x04}}, 1, false, false},
      {"one bit of the subheader", {{subheader + 3, 0x80}}, 1, false, false},
      {"one bit of the stored code", {{code + 2, 0x10}}, 0, false, false},
      {"two bits far apart", {{payload + 5, 0x01}, {payload + 2000, 0x40}}, 2, true, false},
      {"two bits of one byte", {{payload + 7, 0x11}}, 1, true, false},
      {"a bit of the payload and one of the code", {{payload + 9, 0x02}, {code, 0x01}}, 1, true, false},
      {"a burst", {{payload + 50, 0xFF}, {payload + 51, 0xFF}, {payload + 52, 0x0F}}, 0, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = clean;
    for (const auto& [at, mask] : c.flips) bytes[kSector + at] ^= mask;
    MemorySource source(bytes.data(), bytes.size());
    RiffDecoder decoder(source, ProgressCallback());
    ASSERT_TRUE(decoder.decode());
    RecordingReporter reporter;
    SectorRescuer rescuer(source, decoder.payloadRanges(), &reporter);
    rescuer.mend();
    EXPECT_EQ(rescuer.corrections().size(), c.patches);
    EXPECT_EQ(reporter.corrections.size(), c.damaged ? 0u : 1u);
    // A sector put right from two wrong bits stays suspect: more bits may
    // have been wrong than the code tells apart. The last range's tail is
    // suspect in every image.
    RangePairs suspect = {{4 * kPayload, 4 * kPayload + 4}};
    if (c.suspect) suspect.insert(suspect.begin(), {kPayload, 2 * kPayload});
    EXPECT_EQ(pairsOf(rescuer.suspect()), suspect);
    const RangePairs damaged = c.damaged ? RangePairs{{kPayload, 2 * kPayload}} : RangePairs{};
    EXPECT_EQ(pairsOf(rescuer.damaged()), damaged);
    // Read through the patches, the payload is the clean image's.
    PatchedSource patched(source, rescuer.corrections());
    RangeViewSource view(patched, rescuer.ranges());
    MemorySource cleanSource(clean.data(), clean.size());
    RangeViewSource cleanView(cleanSource, rescuer.ranges());
    bool same = true;
    for (uint32_t i = 0; i < view.size(); ++i) same = same && view.byteAt(i) == cleanView.byteAt(i);
    EXPECT_EQ(same, !c.damaged);
  }
}
