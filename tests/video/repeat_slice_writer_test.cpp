#include "video/repeat_slice_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/temp_dir.h"
#include "video/slice_walker.h"

namespace {

using Prediction = RepeatSliceWriter::Prediction;

struct Kind {
  uint32_t codingType;
  Prediction prediction;
  const char* name;
};
constexpr Kind kKinds[] = {
    {1, Prediction::kForward, "I"},
    {2, Prediction::kForward, "P"},
    {3, Prediction::kForward, "B forward"},
    {3, Prediction::kBackward, "B backward"},
};

TEST(RepeatSliceWriter, EverySliceWalksCleanOverExactlyItsMacroblocks) {
  // Widths past 33 macroblocks need escapes in the first increment; ranges
  // of more than 34 macroblocks need them between the first and last too.
  for (const uint32_t width : {1u, 2u, 22u, 33u, 34u, 44u}) {
    for (const uint32_t height : {1u, 3u}) {
      for (const Kind& kind : kKinds) {
        const SliceContext picture = {kind.codingType, 1, 1, width, height};
        const RepeatSliceWriter writer(picture, kind.prediction);
        const SliceWalker walker(picture);
        for (uint32_t first = 0; first < width * height; ++first) {
          for (uint32_t last = first; last < width * height; last += last < first + 35 ? 1 : 13) {
            SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(width) + "x" + std::to_string(height) + " [" +
                         std::to_string(first) + ", " + std::to_string(last) + "]");
            Bytes slice;
            writer.append(first, last, &slice);
            ASSERT_GE(slice.size(), 5u);
            ASSERT_EQ(Bytes(slice.begin(), slice.begin() + 3), Bytes({0, 0, 1}));
            ASSERT_EQ(slice[3], first / width + 1);
            const Bytes data(slice.begin() + 4, slice.end());
            const uint8_t prefix[] = {0, 0, 1};
            ASSERT_EQ(std::search(data.begin(), data.end(), prefix, prefix + 3), data.end()) << "start code inside";
            const SliceWalk walk = walker.walk(slice[3], data.data(), data.size());
            ASSERT_EQ(walk.fault, SliceFault::kNone) << sliceFaultName(walk.fault);
            ASSERT_EQ(walk.firstMacroblock, first);
            ASSERT_EQ(walk.lastMacroblock, last);
          }
        }
      }
    }
  }
}

// How decoders take these slices is checked with the rescued streams of
// slice_walker_test.cpp.
TEST(RepeatSliceWriter, AppendsAfterWhatTheVectorHolds) {
  const SliceContext picture = {2, 1, 0, 22, 18};
  Bytes out = {0xAB};
  RepeatSliceWriter(picture).append(3 * 22, 3 * 22 + 21, &out);
  // A whole row of a P picture at 352x288: the bytes decoders were seen to
  // take as a repeat of the reference.
  EXPECT_EQ(out, Bytes({0xAB, 0x00, 0x00, 0x01, 0x04, 0x42, 0x70, 0x48, 0xE0}));
}

TEST(RepeatSliceWriter, AppendsRowsAsASlicePerRow) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    const SliceContext picture = {kind.codingType, 1, 1, 3, 4};
    const RepeatSliceWriter writer(picture, kind.prediction);
    Bytes rows;
    writer.appendRows(&rows);
    Bytes expected;
    for (uint32_t row = 0; row < 4; ++row) writer.append(3 * row, 3 * row + 2, &expected);
    EXPECT_EQ(rows, expected);
  }
}

}  // namespace
