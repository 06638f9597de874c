#include "video/steady_motion.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

namespace {

constexpr uint32_t kWidth = 8;  // macroblocks
constexpr uint32_t kHeight = 6;

struct Vector {
  bool known;
  int x;
  int y;
};

// A field over `span` periods with the vector `at` gives each macroblock.
MotionField fieldOf(int span, const std::function<Vector(uint32_t column, uint32_t row)>& at) {
  MotionField field;
  field.reset(kWidth, kWidth * kHeight, span);
  for (uint32_t row = 0; row < kHeight; ++row) {
    for (uint32_t column = 0; column < kWidth; ++column) {
      const Vector v = at(column, row);
      if (v.known) field.set(row * kWidth + column, v.x, v.y);
    }
  }
  return field;
}

// Takes `fields` (newest first) as a history would, up to where they stop
// telling; returns whether the run is steady.
bool learn(SteadyMotion* motion, const std::vector<const MotionField*>& fields, int64_t origin,
           size_t* taken = nullptr) {
  motion->begin(origin);
  size_t k = 0;
  while (k < fields.size() && motion->take(fields[k])) ++k;
  if (taken != nullptr) *taken = k;
  return motion->steady();
}

MotionField uniform(int x, int y, int span = 1) {
  return fieldOf(span, [=](uint32_t, uint32_t) { return Vector{true, x, y}; });
}

TEST(SteadyMotion, TellsAPictureMovingAsOneFromThingsMovingInIt) {
  struct Case {
    const char* name;
    MotionField field;
    bool steady;
    int moved[2];  // after 4 periods, half pixels
  };
  const Case cases[] = {
      {"every macroblock alike", uniform(3, 1), true, {12, 4}},
      // Flat stretches between edges are predicted from where they stand.
      {"a pan over flat stretches",
       fieldOf(1, [](uint32_t c, uint32_t) { return Vector{true, c % 3 == 0 ? 2 : 0, 0}; }), true, {8, 0}},
      // Along an edge that runs one way, a macroblock reads no motion that
      // way: the half that do read it tell it.
      {"edges along both ways",
       fieldOf(1, [](uint32_t c, uint32_t) { return Vector{true, 2, c % 2 == 0 ? 0 : 2}; }), true, {8, 8}},
      {"a few odd vectors among those alike",
       fieldOf(1, [](uint32_t c, uint32_t r) { return Vector{true, c == 5 && r < 4 ? 14 : 4, 0}; }), true,
       {16, 0}},
      {"a thing moving in front of a still picture",
       fieldOf(1, [](uint32_t c, uint32_t r) { return Vector{true, c >= 2 && c < 6 && r >= 1 && r < 5 ? 4 : 0, 0}; }),
       false, {0, 0}},
      {"moving every which way",
       fieldOf(1, [](uint32_t c, uint32_t r) {
         const int a = static_cast<int>(r * kWidth + c);
         return Vector{true, 2 * (a % 7 - 3), 2 * (a % 5 - 2)};
       }),
       false, {0, 0}},
      {"a few macroblocks moving", fieldOf(1, [](uint32_t c, uint32_t r) { return Vector{true, c + r == 0 ? 8 : 0, 0}; }),
       false, {0, 0}},
      {"too few vectors known", fieldOf(1, [](uint32_t, uint32_t r) { return Vector{r < 2, 4, 0}; }), false, {0, 0}},
      {"slower than a quarter of a half pixel a period", uniform(1, 0, 5), false, {0, 0}},
      {"backwards and up", uniform(-6, -3, 3), true, {-8, -4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SteadyMotion motion;
    EXPECT_EQ(learn(&motion, {&c.field}, 10), c.steady);
    EXPECT_EQ(motion.steady(), c.steady);
    if (!c.steady) continue;
    EXPECT_EQ(motion.origin(), 10);
    int moved[2];
    motion.displacement(14, moved);
    EXPECT_EQ(moved[0], c.moved[0]);
    EXPECT_EQ(moved[1], c.moved[1]);
  }
}

TEST(SteadyMotion, ReadsTheRateOverTheAnchorsUpToTheFirstThatDoesNotMoveAsOne) {
  const MotionField everyWhichWay = fieldOf(1, [](uint32_t c, uint32_t r) {
    const int a = static_cast<int>(r * kWidth + c);
    return Vector{true, 2 * (a % 7 - 3), 2 * (a % 5 - 2)};
  });
  // Moves two half pixels across, and the other way every which way.
  const MotionField downSpread = fieldOf(1, [](uint32_t c, uint32_t r) {
    return Vector{true, 2, static_cast<int>((r * kWidth + c) % 4) * 6 - 6};
  });
  const MotionField still = uniform(0, 0);
  const MotionField a = uniform(2, 0), b = uniform(4, 2, 2), far = uniform(20, 20);
  struct Case {
    const char* name;
    std::vector<const MotionField*> fields;  // newest first
    double rate[2];                          // half pixels per period
    size_t taken;                            // fields taken before take() says no more
  };
  const Case cases[] = {
      // An I picture's, unknown, is passed over.
      {"over their spans", {&a, nullptr, &b, &everyWhichWay, &far}, {2, 2.0 / 3}, 3},
      {"a way that tells nothing is left out", {&downSpread, &a, &b}, {8.0 / 4, 2.0 / 3}, 3},
      // Below a pixel a period, some periods show no motion.
      {"a period standing still", {&a, &still, &a, &a}, {1.5, 0}, 4},
      {"a second of anchors at most", std::vector<const MotionField*>(25, &a), {2, 0}, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const MotionField*> fields = c.fields;
    if (fields.size() == 25) fields.push_back(&far);
    SteadyMotion motion;
    size_t taken = 0;
    ASSERT_TRUE(learn(&motion, fields, 0, &taken));
    EXPECT_EQ(taken, c.taken);
    // The rate, read off a displacement long enough to round finely.
    int moved[2];
    motion.displacement(6000, moved);
    EXPECT_NEAR(moved[0] / 6000.0, c.rate[0], 0.001);
    EXPECT_NEAR(moved[1] / 6000.0, c.rate[1], 0.001);
  }
  SteadyMotion motion;
  EXPECT_FALSE(learn(&motion, {&everyWhichWay, &a}, 0));
  EXPECT_FALSE(learn(&motion, {nullptr}, 0));
  EXPECT_FALSE(learn(&motion, {&downSpread}, 0));  // nothing told the way down
  EXPECT_TRUE(learn(&motion, {&a}, 0));
  learn(&motion, {}, 0);  // begin() forgets
  EXPECT_FALSE(motion.steady());
}

TEST(SteadyMotion, MovesInWholePixelsThatNeverDriftFromTheRate) {
  // 1.5 half pixels a period, and 0.4 the other way.
  const MotionField field = uniform(15, 4, 10);
  SteadyMotion motion;
  ASSERT_TRUE(learn(&motion, {&field}, 100));
  for (int64_t k = 0; k <= 300; ++k) {
    SCOPED_TRACE(k);
    int moved[2];
    motion.displacement(100 + k, moved);
    EXPECT_EQ(moved[0] % 2, 0);
    EXPECT_EQ(moved[1] % 2, 0);
    EXPECT_LE(std::abs(moved[0] - 1.5 * static_cast<double>(k)), 1.0);
    EXPECT_LE(std::abs(moved[1] - 0.4 * static_cast<double>(k)), 1.0);
  }
}

}  // namespace
