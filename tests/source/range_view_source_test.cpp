#include "source/range_view_source.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "tests/source/range_pairs.h"
#include "tests/support/temp_dir.h"

namespace {

// A 400-byte source whose byte i is i & 0xFF, counting the bytes asked of it.
class CountingSource : public ByteSource {
 public:
  CountingSource() { setSize(400); }
  int byteAt(uint32_t index) override {
    ++asked;
    return index < size() ? static_cast<int>(index & 0xFF) : 0;
  }
  int asked = 0;
};

class RangeViewSourceTest : public testing::Test {
 protected:
  // Appends the ranges to the list the views are made over.
  void useRanges(const RangePairs& ranges) { appendPairs(ranges, &ranges_); }
  // Reads the view at `index` for each index, in that order, checking that
  // view offset o reads underlying byte expected[o].
  void expectReads(RangeViewSource& view, const Bytes& expected, bool backwards) {
    ASSERT_EQ(view.size(), expected.size());
    for (uint32_t i = 0; i < expected.size(); ++i) {
      const uint32_t index = backwards ? view.size() - 1 - i : i;
      ASSERT_EQ(view.byteAt(index), expected[index]) << "offset " << index;
    }
  }
  // The bytes of [100, 150) then [300, 310) of the underlying source.
  static Bytes twoRangeBytes() {
    Bytes bytes;
    for (uint32_t i = 100; i < 150; ++i) bytes.push_back(static_cast<uint8_t>(i));
    for (uint32_t i = 300; i < 310; ++i) bytes.push_back(static_cast<uint8_t>(i));
    return bytes;
  }

  CountingSource underlying_;
  RangeList ranges_;
};

}  // namespace

TEST_F(RangeViewSourceTest, MapsEachOffsetIntoItsRangeAndReadsZeroBeyond) {
  useRanges({{100, 150}, {300, 310}});
  RangeViewSource view(underlying_, ranges_);
  EXPECT_EQ(view.size(), 60u);
  expectReads(view, twoRangeBytes(), false);
  expectReads(view, twoRangeBytes(), true);
  for (uint32_t beyond : {60u, 61u, 400u, UINT32_MAX}) {
    EXPECT_EQ(view.byteAt(beyond), 0) << beyond;
    EXPECT_EQ(view.byteAt(0), 100) << "after reading " << beyond;
    EXPECT_EQ(view.byteAt(59), 309 & 0xFF) << "after reading " << beyond;
  }
}

TEST_F(RangeViewSourceTest, ZeroLengthRangesChangeNothing) {
  useRanges({{20, 20}, {100, 150}, {0, 0}, {399, 399}, {300, 310}, {50, 50}});
  RangeViewSource view(underlying_, ranges_);
  expectReads(view, twoRangeBytes(), false);
  expectReads(view, twoRangeBytes(), true);
  EXPECT_EQ(view.byteAt(60), 0);
}

// Many short ranges (some empty), read in turn at two places that move on
// together far apart, as a writer and the reads it makes ahead do, and now
// and then at a third: every offset reads its byte whichever place the
// view found last.
TEST_F(RangeViewSourceTest, ReadsInTurnAtPlacesFarApart) {
  RangePairs ranges;
  Bytes expected;
  for (uint32_t k = 0; k < 133; ++k) {
    ranges.emplace_back(3 * k, 3 * k + k % 3);
    for (uint32_t i = 3 * k; i < 3 * k + k % 3; ++i) expected.push_back(static_cast<uint8_t>(i));
  }
  useRanges(ranges);
  RangeViewSource view(underlying_, ranges_);
  ASSERT_EQ(view.size(), expected.size());
  const uint32_t size = view.size();
  for (uint32_t ahead : {1u, 20u, 60u, 100u, 131u}) {
    for (uint32_t at = 0; at < size; ++at) {
      const uint32_t far = (at + ahead) % size;
      ASSERT_EQ(view.byteAt(far), expected[far]) << ahead << " ahead of " << at;
      ASSERT_EQ(view.byteAt(at), expected[at]) << at << ", " << ahead << " behind";
      if (at % 7 == 0) {
        const uint32_t third = (at * 37 + 11) % size;
        ASSERT_EQ(view.byteAt(third), expected[third]) << third;
      }
      // Past the end between the two: no range, and nothing lost.
      if (at % 11 == 0) {
        ASSERT_EQ(view.byteAt(size + at), 0) << at;
      }
    }
  }
}

TEST_F(RangeViewSourceTest, ReadsAnEmptyListAsZeroWithoutAskingTheSource) {
  RangeViewSource view(underlying_, ranges_);
  EXPECT_EQ(view.size(), 0u);
  EXPECT_EQ(view.byteAt(0), 0);
  EXPECT_EQ(view.byteAt(100), 0);
  EXPECT_EQ(view.peekU32(), 0u);
  EXPECT_EQ(underlying_.asked, 0);
}

TEST_F(RangeViewSourceTest, MovesItsOwnCursorOnly) {
  useRanges({{100, 150}, {300, 310}});
  RangeViewSource view(underlying_, ranges_);
  underlying_.seek(7);
  view.seek(49);
  EXPECT_EQ(view.readU16(), (149u << 8) | (300u & 0xFF));  // across the join
  EXPECT_EQ(view.position(), 51u);
  view.skipTo(305 & 0xFF);
  EXPECT_EQ(view.position(), 55u);
  EXPECT_EQ(underlying_.position(), 7u);
}

TEST_F(RangeViewSourceTest, ReadsAViewOfAView) {
  useRanges({{100, 150}, {300, 310}});
  RangeViewSource inner(underlying_, ranges_);
  RangeList outerRanges;
  outerRanges.append(45, 55);  // straddles the inner ranges' join
  outerRanges.append(0, 3);
  RangeViewSource outer(inner, outerRanges);
  const Bytes expected = {145, 146, 147, 148, 149, 300 & 0xFF, 301 & 0xFF, 302 & 0xFF,
                          303 & 0xFF, 304 & 0xFF, 100, 101, 102};
  expectReads(outer, expected, false);
  expectReads(outer, expected, true);
}

TEST_F(RangeViewSourceTest, TellsWhereRangesOfTheSourceFallInTheView) {
  // The view shows [100, 150), [300, 310) and [400, 420): view offsets 0-50,
  // 50-60 and 60-80.
  useRanges({{100, 150}, {300, 310}, {400, 420}});
  struct Case {
    const char* name;
    RangePairs ranges;
    RangePairs inView;
  };
  const Case cases[] = {
      {"within one", {{110, 120}}, {{10, 20}}},
      {"across two", {{140, 305}}, {{40, 55}}},
      {"before the first and after the last: nothing shown", {{0, 50}, {500, 600}}, {}},
      // What lies wholly between two ranges stood where they meet.
      {"between two", {{200, 250}}, {{49, 51}}},
      {"between, then within the next", {{200, 250}, {302, 304}}, {{49, 51}, {52, 54}}},
      {"between, beside one that reaches the join", {{145, 150}, {200, 250}}, {{45, 51}}},
      {"between each pair", {{200, 210}, {350, 360}}, {{49, 51}, {59, 61}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RangeList ranges, inView;
    appendPairs(c.ranges, &ranges);
    RangeViewSource::rangesInView(ranges_, ranges, &inView);
    EXPECT_EQ(pairsOf(inView), c.inView);
  }
}
