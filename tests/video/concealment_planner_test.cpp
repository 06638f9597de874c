#include "video/concealment_planner.h"

#include <gtest/gtest.h>

#include <vector>

#include "video/macroblock_codes.h"

namespace {

// A picture 4 macroblocks wide and 3 high: a hole at (1, 1), address 5.
constexpr uint32_t kWidth = 4;
constexpr uint32_t kHeight = 3;
constexpr uint32_t kHole = 5;

MacroblockRecord moved(int x, int y, bool backward = false) {
  MacroblockRecord mb;
  mb.flags = backward ? kMacroblockMotionBackward : kMacroblockMotionForward;
  int16_t* v = backward ? mb.backward : mb.forward;
  v[0] = static_cast<int16_t>(x);
  v[1] = static_cast<int16_t>(y);
  return mb;
}

MacroblockRecord intra(int dc) {
  MacroblockRecord mb;
  mb.flags = kMacroblockIntra;
  for (int16_t& value : mb.dc) value = static_cast<int16_t>(dc);
  return mb;
}

}  // namespace

TEST(ConcealmentPlanner, GuessesEachHoleFromWhatIsKnownAroundIt) {
  const ConcealmentPlanner planner(kWidth, kHeight);
  struct Case {
    const char* name;
    uint32_t codingType;
    std::vector<std::pair<uint32_t, MacroblockRecord>> around;  // kept, by address; the rest are holes
    int referenceVector[2];  // of the co-located macroblock in the reference, or {99, 99} for none
    ConcealmentPlanner::Fill fill;
    uint8_t directions;
    int forward[2];
    int backward[2];
  };
  const int kNone[2] = {99, 99};
  const Case cases[] = {
      {"P: the median of above, below and beside", 2,
       {{1, moved(4, 2)}, {9, moved(6, 2)}, {4, moved(5, 8)}, {6, moved(40, -30)}}, {99, 99},
       ConcealmentPlanner::Fill::kPredict, kMacroblockMotionForward, {5, 2}, {0, 0}},
      {"P: nothing known is zero motion", 2, {}, {99, 99}, ConcealmentPlanner::Fill::kPredict,
       kMacroblockMotionForward, {0, 0}, {0, 0}},
      {"P: the reference's own motion where the picture holds none", 2, {{1, intra(100)}}, {6, -4},
       ConcealmentPlanner::Fill::kPredict, kMacroblockMotionForward, {6, -4}, {0, 0}},
      {"P: a guess that points outside the picture is pulled in", 2, {{1, moved(-200, 0)}, {9, moved(-200, 0)}},
       {99, 99}, ConcealmentPlanner::Fill::kPredict, kMacroblockMotionForward, {-32, 0}, {0, 0}},
      {"B: the neighbours' direction and motion", 3, {{1, moved(3, 1, true)}, {9, moved(3, 1, true)}}, {99, 99},
       ConcealmentPlanner::Fill::kPredict, kMacroblockMotionBackward, {0, 0}, {3, 1}},
      {"no reference: DC values blended from around", 1, {{1, intra(60)}, {9, intra(100)}}, {99, 99},
       ConcealmentPlanner::Fill::kIntra, 0, {0, 0}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<MacroblockRecord> records(kWidth * kHeight);
    std::vector<const MacroblockRecord*> kept(kWidth * kHeight, nullptr);
    for (const auto& [address, mb] : c.around) {
      records[address] = mb;
      records[address].address = address;
      kept[address] = &records[address];
    }
    MotionField reference;
    reference.reset(kWidth, kWidth * kHeight, 1);
    if (c.referenceVector[0] != kNone[0]) reference.set(kHole, c.referenceVector[0], c.referenceVector[1]);
    ConcealmentPlanner::Picture picture;
    picture.kept = &kept;
    picture.codingType = c.codingType;
    if (c.codingType == 2) picture.anchors.reference = &reference;
    std::vector<ConcealmentPlanner::Macroblock> plan;
    planner.plan(picture, &plan);
    ASSERT_EQ(plan.size(), kWidth * kHeight);
    for (const auto& [address, mb] : c.around) EXPECT_EQ(plan[address].fill, ConcealmentPlanner::Fill::kKept);
    const ConcealmentPlanner::Macroblock& hole = plan[kHole];
    EXPECT_EQ(hole.fill, c.fill);
    if (c.fill == ConcealmentPlanner::Fill::kPredict) {
      EXPECT_EQ(hole.directions, c.directions);
      if (c.directions & kMacroblockMotionForward) {
        EXPECT_EQ(hole.forward[0], c.forward[0]);
        EXPECT_EQ(hole.forward[1], c.forward[1]);
      }
      if (c.directions & kMacroblockMotionBackward) {
        EXPECT_EQ(hole.backward[0], c.backward[0]);
        EXPECT_EQ(hole.backward[1], c.backward[1]);
      }
    } else {
      // Between the 60 above and the 100 below, equally far.
      EXPECT_EQ(hole.dc[0], 80);
    }
  }
}

// The reference's vector in the hole's place is taken with those around
// it: one that predicted that macroblock well but strays from how the
// picture moves there is outvoted, and the picture's edge leaves fewer to
// vote.
TEST(ConcealmentPlanner, SmoothsTheReferencesMotion) {
  const ConcealmentPlanner planner(kWidth, kHeight);
  struct Case {
    uint32_t address;
    int stray[2];  // the reference's vector in the hole's place
    int expected[2];
  };
  const Case cases[] = {{kHole, {40, -30}, {4, 2}}, {0, {40, -30}, {4, 2}}, {kHole, {4, 2}, {4, 2}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    std::vector<const MacroblockRecord*> kept(kWidth * kHeight, nullptr);
    std::vector<MacroblockRecord> records(kWidth * kHeight, intra(100));
    for (uint32_t a = 0; a < kWidth * kHeight; ++a) {
      if (a != c.address) kept[a] = &records[a];
    }
    MotionField reference;
    reference.reset(kWidth, kWidth * kHeight, 1);
    for (uint32_t a = 0; a < kWidth * kHeight; ++a) reference.set(a, 4, 2);
    reference.set(c.address, c.stray[0], c.stray[1]);
    ConcealmentPlanner::Picture picture;
    picture.kept = &kept;
    picture.codingType = 2;
    picture.anchors.reference = &reference;
    std::vector<ConcealmentPlanner::Macroblock> plan;
    planner.plan(picture, &plan);
    EXPECT_EQ(plan[c.address].forward[0], c.expected[0]);
    EXPECT_EQ(plan[c.address].forward[1], c.expected[1]);
  }
}
