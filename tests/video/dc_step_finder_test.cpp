#include "video/dc_step_finder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "video/macroblock_codes.h"

namespace {

constexpr uint32_t kWidth = 22;  // macroblocks
constexpr uint32_t kHeight = 18;

// An I picture coded as one slice, its luminance DC values by block
// coordinates (x across, y down), chrominance flat.
struct Picture {
  std::vector<MacroblockRecord> records;
  std::vector<const MacroblockRecord*> kept;
  std::vector<int32_t> slice;

  explicit Picture(const std::function<int(int x, int y)>& luma)
      : records(kWidth * kHeight), kept(kWidth * kHeight), slice(kWidth * kHeight, 0) {
    for (uint32_t a = 0; a < kWidth * kHeight; ++a) {
      MacroblockRecord& mb = records[a];
      mb.address = a;
      mb.flags = kMacroblockIntra;
      for (uint32_t b = 0; b < 4; ++b) {
        mb.dc[b] = static_cast<int16_t>(luma(static_cast<int>(a % kWidth * 2 + b % 2), static_cast<int>(a / kWidth * 2 + b / 2)));
      }
      mb.dc[4] = mb.dc[5] = 128;
      kept[a] = &mb;
    }
  }
  int16_t& dc(uint32_t position) { return records[position / 4].dc[position % 4]; }
  // Flips bit `bit` (from the lowest) of the differential of luminance
  // block `position` (in prediction order), as a decoder then reads every
  // value after it; returns the step.
  int flip(uint32_t position, uint32_t bit) {
    const int difference = dc(position) - (position > 0 ? dc(position - 1) : 128);
    const uint32_t size = dcSize(difference);
    EXPECT_LT(bit, size);
    const int all = (1 << size) - 1;
    const int flipped = (difference > 0 ? difference : difference + all) ^ (1 << bit);
    const int step = ((flipped >> (size - 1)) != 0 ? flipped : flipped - all) - difference;
    for (uint32_t p = position; p < kWidth * kHeight * 4; ++p) dc(p) = static_cast<int16_t>(dc(p) + step);
    return step;
  }
  std::vector<DcStepFinder::Step> steps() const {
    std::vector<DcStepFinder::Step> found;
    DcStepFinder(kWidth, kHeight).find(kept, slice, &found);
    return found;
  }
};

// A gentle slope with some texture, as a smooth picture has.
int smooth(int x, int y) { return 60 + x + 2 * y + (x * 7 + y * 3) % 5; }
// The same, every other column of blocks brighter: differentials of six
// bits, whose flips make steps of many sizes.
int striped(int x, int y) { return smooth(x, y) + (x % 2) * 40; }

}  // namespace

// A flip in a block's differential, away from a row's ends: found where it
// is, by exactly the step it made.
TEST(DcStepFinderTest, FindsTheStepAFlippedBitMakes) {
  struct Case {
    uint32_t row, column, block, bit;
  };
  const Case cases[] = {{5, 9, 0, 5}, {5, 9, 3, 4}, {10, 3, 1, 4}, {2, 17, 2, 5}, {12, 11, 0, 4},
                        // From a row's first macroblock, after its first
                        // block; in the top row, far enough along.
                        {7, 0, 1, 5}, {9, 0, 2, 4}, {3, 0, 3, 5}, {0, 9, 0, 5}, {0, 14, 1, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "row " << c.row << " column " << c.column << " block " << c.block);
    Picture picture(striped);
    ASSERT_TRUE(picture.steps().empty());
    const uint32_t address = c.row * kWidth + c.column;
    const int step = picture.flip(address * 4 + c.block, c.bit);
    ASSERT_GE(std::abs(step), 8);
    const std::vector<DcStepFinder::Step> found = picture.steps();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].address, address);
    EXPECT_EQ(found[0].block, c.block);
    EXPECT_EQ(found[0].offset, step);
  }
}

// What the picture's own edges and slopes look like is left alone.
TEST(DcStepFinderTest, LeavesThePicturesOwnEdgesAlone) {
  struct Case {
    const char* name;
    std::function<int(int x, int y)> luma;
  };
  const Case cases[] = {
      {"a smooth slope", smooth},
      {"a steep slope down", [](int x, int y) { return 20 + 6 * y + x % 3; }},
      {"an edge across the picture", [](int x, int y) { return y < 16 ? 40 + x % 3 : 180 + x % 3; }},
      // The boundary a flip leaves, drawn: but no flip of a differential
      // there makes that amount.
      {"a staircase edge", [](int x, int y) { return y < 10 || (y < 12 && x < 18) ? 100 : 140; }},
      // From a row's first macroblock the boundary has one stretch, which
      // edges like this match.
      {"a step from a row's start", [](int x, int y) { return smooth(x, y) + (y >= 12 ? 32 : 0); }},
      // In the top row, a flip two macroblocks along would leave this; too
      // short a stretch to tell from a patch of the picture.
      {"a patch in the top corner", [](int x, int y) { return smooth(x, y) + (y < 2 && x < 4 ? 0 : 32); }},
      {"bars", [](int x, int) { return 30 + 25 * (x / 5 % 7); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(Picture(c.luma).steps().empty());
  }
}

// Each slice's values are judged on their own: a slice whose predictions
// start afresh is no step.
TEST(DcStepFinderTest, KeepsEachSliceApart) {
  Picture picture(striped);
  // Slices of six rows each; the second's values all higher.
  for (uint32_t a = 0; a < kWidth * kHeight; ++a) {
    picture.slice[a] = static_cast<int32_t>(a / (6 * kWidth));
    if (picture.slice[a] == 1) {
      for (uint32_t b = 0; b < 4; ++b) picture.records[a].dc[b] = static_cast<int16_t>(picture.records[a].dc[b] + 24);
    }
  }
  EXPECT_TRUE(picture.steps().empty());
  // A flip in the second slice's third row stops where that slice does.
  const uint32_t address = 8 * kWidth + 10;
  const int step = picture.flip(address * 4, 5);
  for (uint32_t p = 12 * kWidth * 4; p < kWidth * kHeight * 4; ++p) picture.dc(p) = static_cast<int16_t>(picture.dc(p) - step);
  const std::vector<DcStepFinder::Step> found = picture.steps();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].address, address);
  EXPECT_EQ(found[0].offset, step);
}

// A slice that loses step in a row's first macroblock and finds it again
// leaves the rest of the slice off by whatever the misread made of the
// values: from there, by any amount, the run is levelled. Inside a row or
// in the top row, where an edge of the picture leaves the same boundary,
// only by an amount a flip makes.
TEST(DcStepFinderTest, LevelsARunFromARowsStartByAnyAmount) {
  struct Case {
    uint32_t row, column, block;
    size_t found;
  };
  // In the top row too only by a flip's amount.
  const Case cases[] = {{6, 0, 1, 1}, {6, 0, 3, 1}, {6, 0, 0, 0}, {6, 9, 1, 0}, {0, 9, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "row " << c.row << " column " << c.column << " block " << c.block);
    Picture picture(smooth);
    const uint32_t address = c.row * kWidth + c.column;
    // 161 levels: more than any flip of the differential there makes.
    for (uint32_t p = address * 4 + c.block; p < kWidth * kHeight * 4; ++p) picture.dc(p) = static_cast<int16_t>(picture.dc(p) + 161);
    const std::vector<DcStepFinder::Step> found = picture.steps();
    ASSERT_EQ(found.size(), c.found);
    if (c.found == 0) continue;
    EXPECT_EQ(found[0].address, address);
    EXPECT_EQ(found[0].block, c.block);
    EXPECT_NEAR(found[0].offset, 161, 2);
  }
}
