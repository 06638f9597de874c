#include "video/picture_recoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include "source/memory_source.h"
#include "video/slice_coder.h"
#include "video/slice_walker.h"

namespace {

constexpr uint32_t kWidth = 8;  // macroblocks
constexpr uint32_t kHeight = 4;

SliceContext intraContext() {
  SliceContext context = {};
  context.codingType = 1;
  context.widthInMacroblocks = kWidth;
  context.heightInMacroblocks = kHeight;
  return context;
}

// Each macroblock's DC values, by address.
using Picture = std::vector<std::array<int16_t, 6>>;

// An I picture of DC values alone: the first row one slice, the rest
// another that runs on to the picture's end.
std::vector<uint8_t> intraSlices(const Picture& picture, uint32_t* secondSlice) {
  std::vector<uint8_t> out;
  SliceCoder coder(intraContext(), &out);
  for (uint32_t a = 0; a < kWidth * kHeight; ++a) {
    if (a == 0 || a == kWidth) {
      if (coder.open()) coder.end();
      if (a == kWidth) *secondSlice = static_cast<uint32_t>(out.size());
      coder.begin(a, 8);
    }
    coder.intra(a, picture[a].data());
  }
  coder.end();
  return out;
}

// The DC values of every macroblock the slices in `bytes` cover; -1 where
// none does.
Picture decodedDc(const std::vector<uint8_t>& bytes) {
  Picture dc(kWidth * kHeight, {-1, -1, -1, -1, -1, -1});
  const SliceWalker walker(intraContext());
  for (size_t at = 0; at + 4 <= bytes.size();) {
    size_t next = at + 4;
    while (next + 3 <= bytes.size() && !(bytes[next] == 0 && bytes[next + 1] == 0 && bytes[next + 2] == 1)) ++next;
    if (next + 3 > bytes.size()) next = bytes.size();
    std::vector<MacroblockRecord> records;
    const SliceWalk walk = walker.walk(bytes[at + 3], bytes.data() + at + 4, next - at - 4, &records);
    EXPECT_EQ(walk.fault, SliceFault::kNone);
    for (const MacroblockRecord& mb : records) std::copy(mb.dc, mb.dc + 6, dc[mb.address].begin());
    at = next;
  }
  return dc;
}

}  // namespace

// An I picture whose second slice breaks just after it starts: the slice is
// taken up again past the damage, and what its DC values come from is lost
// with the damage. They are levelled with the macroblocks kept above and
// before them, so that the rows below come out as they were, where the
// picture slopes too: assuming each block like its neighbour there is off by
// the slope.
TEST(PictureRecoderTest, LevelsAnIntraSliceTakenUpAfterDamage) {
  struct Case {
    const char* name;
    std::function<int(uint32_t blockRow, uint32_t blockColumn)> luma;
    uint32_t damagedByte;  // of the second slice: the first of two set to 0xFF
  };
  // Slopes that differ from one pair of columns to the next, as smooth
  // pictures' do.
  const auto slope = [](uint32_t column) { return static_cast<int>(6 + 4 * (column / 2 % 3)); };
  const Case cases[] = {
      {"sloping down", [&](uint32_t row, uint32_t column) { return 40 + slope(column) * static_cast<int>(row); }, 19},
      {"sloping down and across",
       [&](uint32_t row, uint32_t column) { return 30 + slope(column) * static_cast<int>(row) + static_cast<int>(3 * column); },
       19},
      {"sloping up", [&](uint32_t row, uint32_t column) { return 220 - slope(column) * static_cast<int>(row); }, 13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Picture picture(kWidth * kHeight);
    for (uint32_t a = 0; a < kWidth * kHeight; ++a) {
      const uint32_t row = a / kWidth * 2;
      const uint32_t column = a % kWidth * 2;
      for (uint32_t b = 0; b < 4; ++b) picture[a][b] = static_cast<int16_t>(c.luma(row + b / 2, column + b % 2));
      picture[a][4] = 100;
      picture[a][5] = 150;
    }
    uint32_t second = 0;
    std::vector<uint8_t> bytes = intraSlices(picture, &second);
    ASSERT_EQ(decodedDc(bytes), picture);
    // Bits no table has, in the second slice's first row, where they break
    // it (elsewhere they may parse on as other DC values).
    bytes[second + c.damagedByte] = 0xFF;
    bytes[second + c.damagedByte + 1] = 0xFF;

    MemorySource source(bytes.data(), bytes.size());
    const std::vector<PictureRecoder::Slice> slices = {
        {0, second}, {second, static_cast<uint32_t>(bytes.size())}};
    PictureRecoder::Picture header;
    header.codingType = header.writeAs = 1;
    PictureRecoder recoder(kWidth, kHeight, 1);
    std::vector<uint8_t> out;
    PictureRecoder::Result result;
    recoder.recode(source, slices, header, &out, &result);
    ASSERT_FALSE(result.repeated);
    // Most of the broken slice is kept, not concealed.
    EXPECT_GE(result.kept, 2 * kWidth + kWidth);
    // The rows after the damage's, taken up again, as they were.
    const Picture written = decodedDc(out);
    for (uint32_t a = 2 * kWidth; a < kWidth * kHeight; ++a) EXPECT_EQ(written[a], picture[a]) << "macroblock " << a;
  }
}
