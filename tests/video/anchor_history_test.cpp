#include "video/anchor_history.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint32_t kNo = AnchorHistory::kNoPicture;

// A finder that records what it was asked, and knows a vector for picture
// p at macroblock 0 only when p is odd: (p, -p).
struct Finder {
  std::vector<std::pair<uint32_t, int>> asked;
  AnchorHistory::MotionFinder get() {
    return [this](uint32_t picture, int distance, MotionField* motion) {
      asked.emplace_back(picture, distance);
      motion->reset(2, 4, distance);
      if (picture % 2 == 1) motion->set(0, static_cast<int>(picture), -static_cast<int>(picture));
    };
  }
};

MotionField fieldWith(int x) {
  MotionField field;
  field.reset(2, 4, 1);
  field.set(1, x, 0);
  return field;
}

TEST(AnchorHistory, FindsEachAnchorsMotionOnceWhenFirstAskedWithItsDistance) {
  Finder finder;
  AnchorHistory history(finder.get());
  ConcealmentPlanner::Anchors anchors;
  EXPECT_EQ(history.forward(0, false, &anchors), nullptr);
  EXPECT_EQ(anchors.reference, nullptr);
  history.push(10, 4, true);
  history.push(13, 5, false);
  history.push(16, kNo, false);  // a repeat: never asked for
  history.push(22, 7, false);
  EXPECT_TRUE(finder.asked.empty());
  ASSERT_NE(history.forward(24, false, &anchors), nullptr);
  EXPECT_EQ(anchors.distance, 2);
  ASSERT_NE(history.between(20, false, &anchors), nullptr);
  EXPECT_EQ(anchors.afterForward, 4);
  EXPECT_EQ(anchors.betweenAnchors, 6);
  EXPECT_EQ(finder.asked, (std::vector<std::pair<uint32_t, int>>{{7, 6}}));
  // Slots never run backwards into the distances.
  history.forward(22, false, &anchors);
  EXPECT_EQ(anchors.distance, 1);
  history.between(14, false, &anchors);
  EXPECT_EQ(anchors.afterForward, 1);
  EXPECT_EQ(finder.asked.size(), 1u);
}

TEST(AnchorHistory, BetweenNeedsTwoAnchorsAndClearStartsAnew) {
  Finder finder;
  AnchorHistory history(finder.get());
  history.push(0, 1, true);
  ConcealmentPlanner::Anchors anchors;
  anchors.afterForward = 9;
  EXPECT_EQ(history.between(1, false, &anchors), nullptr);
  EXPECT_EQ(anchors.afterForward, 9);
  history.push(3, 3, false);
  EXPECT_NE(history.between(1, false, &anchors), nullptr);
  history.clear();
  EXPECT_EQ(history.written(), 0u);
  EXPECT_EQ(history.forward(5, false, &anchors), nullptr);
  // The first anchor after clear() counts no distance from the old ones.
  history.push(100, 9, false);
  history.forward(101, false, &anchors);
  EXPECT_EQ(finder.asked.back(), (std::pair<uint32_t, int>{9, 1}));
}

TEST(AnchorHistory, MovingOnFromAnIntraPictureBorrowsTheMotionBeforeIt) {
  struct Case {
    uint32_t last;       // the last anchor's picture
    bool intra;
    int expectX;         // the vector at macroblock 0 moved along
  };
  // Picture 3's motion knows (3, -3); an even picture's knows nothing.
  const Case cases[] = {
      {4, true, 3},   // an I picture with no motion moves on as 3 moved
      {5, true, 5},   // one with motion of its own keeps it
      {6, false, 0},  // a P picture with none keeps its own
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.last);
    Finder finder;
    AnchorHistory history(finder.get());
    history.push(0, 3, false);
    history.push(3, c.last, c.intra);
    ConcealmentPlanner::Anchors anchors;
    const MotionField* along = history.forward(4, true, &anchors);
    ASSERT_NE(along, nullptr);
    EXPECT_EQ(along->vectors[0], c.expectX);
    // Not moving on, each picture keeps its own.
    EXPECT_EQ(history.forward(4, false, &anchors)->vectors[0], c.last % 2 == 1 ? static_cast<int>(c.last) : 0);
  }
}

TEST(AnchorHistory, ARepeatHasOnlyTheMotionItIsGiven) {
  Finder finder;
  AnchorHistory history(finder.get());
  history.push(0, 3, false);
  history.push(1, kNo, false);
  ConcealmentPlanner::Anchors anchors;
  EXPECT_EQ(history.forward(2, true, &anchors), nullptr);  // unmoved
  history.push(2, kNo, false);
  history.setMotion(fieldWith(6));
  const MotionField* moved = history.forward(3, false, &anchors);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(moved->vectors[2], 6);
  // Given motion stays with its anchor as newer ones come: an I picture
  // after it moves on along it.
  history.push(5, 4, true);
  const MotionField* along = history.forward(6, true, &anchors);
  ASSERT_NE(along, nullptr);
  EXPECT_EQ(along->vectors[2], 6);
  // Moving on from the I picture, the repeat's motion tells no steady run:
  // the anchor before it is not asked.
  EXPECT_EQ(finder.asked, (std::vector<std::pair<uint32_t, int>>{{4, 3}}));
}

TEST(AnchorHistory, ARunOfRepeatsMovesAlongSteadyMotionToWhereThePictureWouldBe) {
  // Every P picture moves as one, 3 half pixels across over its distance
  // of 2: 1.5 a period.
  std::vector<std::pair<uint32_t, int>> asked;
  AnchorHistory history([&asked](uint32_t picture, int distance, MotionField* motion) {
    asked.emplace_back(picture, distance);
    motion->reset(2, 4, distance);
    for (uint32_t a = 0; a < 4; ++a) motion->set(a, 3 * distance / 2, 0);
  });
  history.push(0, 0, true);
  history.push(2, 1, false);
  history.push(4, 2, false);
  ConcealmentPlanner::Anchors anchors;
  // Whole pixels at a time, each step what brings the run to the rate.
  const int steps[] = {2, 2, 0, 2, 2, 2};
  int total = 0;
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    const MotionField* along = history.forward(5 + k, true, &anchors);
    ASSERT_NE(along, nullptr);
    EXPECT_EQ(anchors.distance, 1);
    EXPECT_EQ(along->span, 1);
    for (uint32_t a = 0; a < 4; ++a) {
      ASSERT_TRUE(along->known[a]);
      EXPECT_EQ(along->vectors[2 * a], steps[k]);
      EXPECT_EQ(along->vectors[2 * a + 1], 0);
    }
    total += steps[k];
    history.push(5 + k, kNo, false);
    history.setMotion(*along);
  }
  EXPECT_EQ(total, 10);  // 6 periods at 1.5: 9, rounded to whole pixels
  EXPECT_EQ(asked, (std::vector<std::pair<uint32_t, int>>{{2, 2}, {1, 2}}));
  // Not moving on, a picture borrows the motion the last repeat went out
  // with.
  EXPECT_EQ(history.forward(11, false, &anchors)->vectors[0], steps[5]);
  // A repeat written unmoved ends the run.
  history.forward(11, true, &anchors);
  history.push(11, kNo, false);
  EXPECT_EQ(history.forward(12, true, &anchors), nullptr);
  // And a picture of the input starts one anew.
  history.push(14, 3, false);
  const MotionField* along = history.forward(15, true, &anchors);
  ASSERT_NE(along, nullptr);
  EXPECT_EQ(along->vectors[0], 2);
}

}  // namespace
