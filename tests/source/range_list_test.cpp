#include "source/range_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint32_t> pairsOf(const RangeList& list) {
  return std::vector<uint32_t>(list.pairs(), list.pairs() + 2 * list.count());
}

}  // namespace

TEST(RangeList, KeepsRangesInTheOrderAppendedAndSumsTheirLengths) {
  RangeList list;
  list.append(300, 310);
  list.append(100, 150);
  list.append(200, 200);
  EXPECT_EQ(list.count(), 3u);
  EXPECT_EQ(list.total(), 60u);
  EXPECT_EQ(pairsOf(list), (std::vector<uint32_t>{300, 310, 100, 150, 200, 200}));
}

TEST(RangeList, JoinsWhatMeetsOrOverlapsTheLastRange) {
  RangeList list;
  list.appendJoined(10, 20);
  list.appendJoined(20, 25);  // meets
  list.appendJoined(22, 24);  // inside
  list.appendJoined(24, 30);  // overlaps
  list.appendJoined(31, 31);  // apart, even empty
  list.appendJoined(31, 40);
  EXPECT_EQ(pairsOf(list), (std::vector<uint32_t>{10, 30, 31, 40}));
  EXPECT_EQ(list.total(), 29u);
}

TEST(RangeList, KeepsEveryPairWhileGrowing) {
  RangeList list;
  std::vector<uint32_t> expected;
  uint32_t total = 0;
  for (uint32_t k = 0; k < 5000; ++k) {
    list.append(10 * k, 10 * k + k % 7);
    expected.insert(expected.end(), {10 * k, 10 * k + k % 7});
    total += k % 7;
  }
  EXPECT_EQ(list.count(), 5000u);
  EXPECT_EQ(list.total(), total);
  EXPECT_EQ(pairsOf(list), expected);
}

TEST(RangeList, StartsEmptyAndClearEmptiesItAgain) {
  RangeList list;
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.total(), 0u);
  list.clear();  // nothing to clear
  EXPECT_EQ(list.count(), 0u);
  list.append(100, 150);
  list.append(300, 310);
  list.clear();
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.total(), 0u);
  list.clear();
  list.append(5, 9);
  EXPECT_EQ(list.total(), 4u);
  EXPECT_EQ(pairsOf(list), (std::vector<uint32_t>{5, 9}));
}
