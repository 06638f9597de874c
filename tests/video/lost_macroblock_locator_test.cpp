#include "video/lost_macroblock_locator.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint32_t kWidth = 11;  // macroblocks
constexpr uint32_t kHeight = 6;
constexpr uint32_t kCount = kWidth * kHeight;

using DcValues = LostMacroblockLocator::DcValues;

// Vertical bars, each column of macroblocks its own shade and colour, as
// the I picture before shows them.
DcValues bars(uint32_t address) {
  const int x = static_cast<int>(address % kWidth);
  const int16_t luma = static_cast<int16_t>(20 + (x * 37) % 200);
  return {luma, luma, luma, luma, static_cast<int16_t>(90 + 7 * x), static_cast<int16_t>(170 - 9 * x)};
}

// A slice of one I picture from address 0 that lost `shortBy` macroblocks
// unseen: those before `loss` read as coded, `outOfStep` read out of step
// after it, then every one after read in step but `shortBy` addresses too
// early, its DC values `offset` too low.
struct Slip {
  uint32_t loss;
  uint32_t outOfStep;
  uint32_t shortBy;
  int offset[3];
};

std::vector<MacroblockRecord> walk(const std::vector<DcValues>& picture, const Slip& slip) {
  std::vector<MacroblockRecord> records(kCount - slip.shortBy);
  for (uint32_t i = 0; i < records.size(); ++i) {
    MacroblockRecord& mb = records[i];
    mb.address = i;
    mb.flags = kMacroblockIntra;
    for (uint32_t b = 0; b < kBlocksPerMacroblock; ++b) {
      const uint32_t c = componentOfBlock(b);
      if (i < slip.loss) {
        mb.dc[b] = picture[i][b];
      } else if (i < slip.loss + slip.outOfStep) {
        mb.dc[b] = static_cast<int16_t>((i + b) % 2 == 0 ? 390 : -140);
      } else {
        mb.dc[b] = static_cast<int16_t>(picture[i + slip.shortBy][b] - slip.offset[c]);
      }
    }
  }
  return records;
}

struct Before {
  std::vector<DcValues> dc = std::vector<DcValues>(kCount);
  std::vector<uint8_t> known = std::vector<uint8_t>(kCount, 1);
  Before() {
    for (uint32_t a = 0; a < kCount; ++a) dc[a] = bars(a);
  }
};

bool locate(const std::vector<MacroblockRecord>& records, uint32_t shortBy, const Before& before,
            LostMacroblockLocator::Placement* placement) {
  return LostMacroblockLocator(kWidth, kHeight)
      .locate(records.data(), records.size(), shortBy, before.dc, before.known, placement);
}

TEST(LostMacroblockLocator, PlacesWhatWasReadAfterALossWhereItBelongs) {
  const Before before;
  struct Case {
    const char* name;
    Slip slip;
  };
  const Case cases[] = {
      {"in the top row, every component off", {7, 2, 1, {323, -87, -220}}},
      {"the luminance in step, the colours off", {40, 3, 1, {0, 178, -36}}},
      {"two macroblocks lost", {27, 1, 2, {-66, 14, -203}}},
      {"back in step at once", {19, 0, 1, {12, 0, 5}}},
      {"at a row's start", {33, 2, 3, {100, -100, 30}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LostMacroblockLocator::Placement placement;
    ASSERT_TRUE(locate(walk(before.dc, c.slip), c.slip.shortBy, before, &placement));
    EXPECT_EQ(placement.keep, c.slip.loss);
    EXPECT_EQ(placement.moveFrom, c.slip.loss + c.slip.outOfStep);
    for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(placement.offset[k], c.slip.offset[k]) << k;
  }

  // Wherever the loss lies, as long as enough is read after it to level by.
  for (uint32_t shortBy = 1; shortBy <= 3; ++shortBy) {
    for (uint32_t loss = 0; loss + 2 + shortBy + 2 * kWidth <= kCount; ++loss) {
      const Slip slip = {loss, 2, shortBy, {-25, 40, 9}};
      LostMacroblockLocator::Placement placement;
      ASSERT_TRUE(locate(walk(before.dc, slip), shortBy, before, &placement)) << loss << " " << shortBy;
      EXPECT_EQ(placement.keep, loss) << shortBy;
      EXPECT_EQ(placement.moveFrom, loss + 2) << loss << " " << shortBy;
    }
  }
}

TEST(LostMacroblockLocator, KeepsWhatMovedSinceThePictureBefore) {
  // Macroblocks 13 to 16 changed since the picture before: they cost as
  // much where read as moved, and stay where read.
  Before before;
  for (uint32_t a = 13; a <= 16; ++a) {
    for (int16_t& value : before.dc[a]) value = static_cast<int16_t>(value + 90);
  }
  std::vector<DcValues> picture(kCount);
  for (uint32_t a = 0; a < kCount; ++a) picture[a] = bars(a);
  const Slip slip = {30, 2, 1, {50, 50, 50}};
  LostMacroblockLocator::Placement placement;
  ASSERT_TRUE(locate(walk(picture, slip), 1, before, &placement));
  EXPECT_EQ(placement.keep, 30u);
  EXPECT_EQ(placement.moveFrom, 32u);

  // Where nothing is known of the picture before, right up to the loss,
  // the macroblocks stay too: keeping them costs what dropping does.
  for (uint32_t a = 22; a < 30; ++a) before.known[a] = 0;
  ASSERT_TRUE(locate(walk(picture, slip), 1, before, &placement));
  EXPECT_EQ(placement.keep, 30u);
  EXPECT_EQ(placement.moveFrom, 32u);
}

TEST(LostMacroblockLocator, LeavesASliceThatMovingDoesNotMend) {
  const Before before;
  LostMacroblockLocator::Placement placement;
  // Too little read after the loss to level by.
  EXPECT_FALSE(locate(walk(before.dc, {kCount - 9, 2, 1, {20, 20, 20}}), 1, before, &placement));
  // Moved on, it would run past the picture.
  EXPECT_FALSE(locate(walk(before.dc, {20, 2, 1, {20, 20, 20}}), 2, before, &placement));
  // Nothing known of the picture before.
  Before unknown;
  unknown.known.assign(kCount, 0);
  EXPECT_FALSE(locate(walk(before.dc, {20, 2, 1, {20, 20, 20}}), 1, unknown, &placement));
  // A flat picture: moved or not, its macroblocks match the picture before.
  Before flat;
  for (DcValues& values : flat.dc) values = {90, 90, 90, 90, 128, 128};
  EXPECT_FALSE(locate(walk(flat.dc, {20, 2, 1, {0, 0, 0}}), 1, flat, &placement));
  // The picture before matches neither: it tells nothing.
  Before other;
  for (uint32_t a = 0; a < kCount; ++a) {
    for (int16_t& value : other.dc[a]) value = static_cast<int16_t>(a % 2 == 0 ? 10 : 240);
  }
  EXPECT_FALSE(locate(walk(before.dc, {20, 2, 1, {20, 20, 20}}), 1, other, &placement));
}

}  // namespace
