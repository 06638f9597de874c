#include "source/range_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/source/range_pairs.h"

TEST(RangeList, KeepsRangesInTheOrderAppendedAndSumsTheirLengths) {
  RangeList list;
  list.append(300, 310);
  list.append(100, 150);
  list.append(200, 200);
  EXPECT_EQ(list.count(), 3u);
  EXPECT_EQ(list.total(), 60u);
  EXPECT_EQ(pairsOf(list), (RangePairs{{300, 310}, {100, 150}, {200, 200}}));
}

TEST(RangeList, JoinsWhatMeetsOrOverlapsTheLastRange) {
  RangeList list;
  list.appendJoined(10, 20);
  list.appendJoined(20, 25);  // meets
  list.appendJoined(22, 24);  // inside
  list.appendJoined(24, 30);  // overlaps
  list.appendJoined(31, 31);  // apart, even empty
  list.appendJoined(31, 40);
  EXPECT_EQ(pairsOf(list), (RangePairs{{10, 30}, {31, 40}}));
  EXPECT_EQ(list.total(), 29u);
}

TEST(RangeList, KeepsEveryPairWhileGrowing) {
  RangeList list;
  RangePairs expected;
  uint32_t total = 0;
  for (uint32_t k = 0; k < 5000; ++k) {
    list.append(10 * k, 10 * k + k % 7);
    expected.emplace_back(10 * k, 10 * k + k % 7);
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
  EXPECT_EQ(pairsOf(list), (RangePairs{{5, 9}}));
}

// Two lists of ranges, each in order: their union in order, what overlaps
// or touches joined, whichever list it came from.
TEST(RangeList, UnionJoinsTwoOrderedListsInOrder) {
  struct Case {
    const char* name;
    RangePairs a, b, expected;
  };
  const Case cases[] = {
      {"both empty", {}, {}, {}},
      {"one empty", {{5, 9}, {20, 21}}, {}, {{5, 9}, {20, 21}}},
      {"interleaved", {{0, 5}, {20, 25}}, {{10, 12}, {30, 31}}, {{0, 5}, {10, 12}, {20, 25}, {30, 31}}},
      {"overlapping and touching", {{0, 10}, {40, 50}}, {{5, 20}, {20, 22}, {45, 46}}, {{0, 22}, {40, 50}}},
      {"one byte inside another's range", {{100, 200}}, {{150, 151}}, {{100, 200}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RangeList a, b, out;
    appendPairs(c.a, &a);
    appendPairs(c.b, &b);
    out.append(1, 2);  // replaced
    RangeList::unionOf(a, b, &out);
    EXPECT_EQ(pairsOf(out), c.expected);
    RangeList::unionOf(b, a, &out);
    EXPECT_EQ(pairsOf(out), c.expected);
  }
}
