#include "video/picture_recoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include "source/memory_source.h"
#include "tests/container/demuxed_streams.h"
#include "tests/video/slice_index.h"
#include "video/macroblock_codes.h"
#include "video/slice_coder.h"
#include "video/slice_walker.h"
#include "video/walk_ahead.h"

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

// Every macroblock of the slices in `bytes` (start codes and data), walked
// in `context`; each slice must walk clean.
std::vector<MacroblockRecord> writtenMacroblocks(const std::vector<uint8_t>& bytes, const SliceContext& context) {
  const SliceWalker walker(context);
  std::vector<MacroblockRecord> records;
  for (size_t at = 0; at + 4 <= bytes.size();) {
    size_t next = at + 4;
    while (next + 3 <= bytes.size() && !(bytes[next] == 0 && bytes[next + 1] == 0 && bytes[next + 2] == 1)) ++next;
    if (next + 3 > bytes.size()) next = bytes.size();
    const SliceWalk walk = walker.walk(bytes[at + 3], bytes.data() + at + 4, next - at - 4, &records);
    EXPECT_EQ(walk.fault, SliceFault::kNone) << "slice at " << at;
    at = next;
  }
  return records;
}

// The DC values of every macroblock the slices in `bytes` cover; -1 where
// none does.
Picture decodedDc(const std::vector<uint8_t>& bytes) {
  Picture dc(kWidth * kHeight, {-1, -1, -1, -1, -1, -1});
  for (const MacroblockRecord& mb : writtenMacroblocks(bytes, intraContext())) {
    std::copy(mb.dc, mb.dc + 6, dc[mb.address].begin());
  }
  return dc;
}

// A picture of bare.m1v from its first slice's start code to its last
// slice's end: the slices (offsets in `bytes`) as the recoder takes them,
// and the macroblocks they walk to, by address.
struct RecordedPicture {
  SliceContext context;
  Bytes bytes;
  std::vector<IndexedSlice> slices;
  std::vector<PictureRecoder::Slice> parts;
  std::vector<MacroblockRecord> macroblocks;
  std::vector<uint32_t> ends;  // past each slice's last macroblock

  // The picture with bit `bit` of slice k's data flipped.
  Bytes flipped(size_t k, size_t bit) const {
    Bytes damaged = bytes;
    damaged[slices[k].dataStart() + bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    return damaged;
  }
};

std::vector<RecordedPicture> recordedPictures(uint32_t codingType) {
  const Bytes stream = testRecording("bare.m1v");
  const std::vector<IndexedSlice> slices = indexSlices(stream);
  std::vector<RecordedPicture> pictures;
  for (size_t first = 0, last = 0; first < slices.size(); first = last) {
    last = first;
    while (last < slices.size() && slices[last].picture == slices[first].picture) ++last;
    if (slices[first].context.codingType != codingType) continue;
    RecordedPicture picture;
    picture.context = slices[first].context;
    const size_t origin = slices[first].start;
    picture.bytes.assign(stream.begin() + static_cast<std::ptrdiff_t>(origin),
                         stream.begin() + static_cast<std::ptrdiff_t>(slices[last - 1].end));
    const SliceWalker walker(picture.context);
    for (size_t k = first; k < last; ++k) {
      IndexedSlice slice = slices[k];
      slice.start -= origin;
      slice.end -= origin;
      picture.slices.push_back(slice);
      picture.parts.push_back({static_cast<uint32_t>(slice.start), static_cast<uint32_t>(slice.end)});
      const SliceWalk walk = walker.walk(slice.verticalPosition, picture.bytes.data() + slice.dataStart(),
                                         slice.dataLength(), &picture.macroblocks);
      EXPECT_EQ(walk.fault, SliceFault::kNone);
      picture.ends.push_back(walk.lastMacroblock + 1);
    }
    EXPECT_EQ(picture.macroblocks.size(), picture.context.widthInMacroblocks * picture.context.heightInMacroblocks);
    pictures.push_back(std::move(picture));
  }
  return pictures;
}

}  // namespace

// An I picture whose second slice breaks just after it starts: the slice is
// taken up again past the damage, and what its DC values come from is lost
// with the damage. They are levelled with the macroblocks kept above and
// before them, so that the rows below come out as they were, where the
// picture slopes too: assuming each block like its neighbour there is off by
// the slope. Where the picture's texture spreads the differences too far to
// tell the level, the macroblocks taken up are kept only as the picture
// goes out as I; going out as P, it conceals them from its reference.
TEST(PictureRecoderTest, LevelsAnIntraSliceTakenUpAfterDamage) {
  struct Case {
    const char* name;
    std::function<int(uint32_t blockRow, uint32_t blockColumn)> luma;
    uint32_t damagedByte;  // of the second slice: the first of two set to 0xFF
    bool rough = false;
  };
  // Slopes that differ from one pair of columns to the next, as smooth
  // pictures' do.
  const auto slope = [](uint32_t column) { return static_cast<int>(6 + 4 * (column / 2 % 3)); };
  const Case cases[] = {
      {"sloping down", [&](uint32_t row, uint32_t column) { return 40 + slope(column) * static_cast<int>(row); }, 19},
      {"sloping down and across",
       [&](uint32_t row, uint32_t column) { return 30 + slope(column) * static_cast<int>(row) + static_cast<int>(3 * column); },
       19},
      {"sloping up", [&](uint32_t row, uint32_t column) { return 220 - slope(column) * static_cast<int>(row); }, 21},
      {"rough", [](uint32_t row, uint32_t column) { return static_cast<int>(70 + (row * 7919 + column * 104729 + row * column * 31) % 97); }, 35, true},
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
    const uint32_t keptAsIntra = result.kept;
    if (!c.rough) {
      // The rows after the damage's, taken up again, as they were.
      const Picture written = decodedDc(out);
      for (uint32_t a = 2 * kWidth; a < kWidth * kHeight; ++a) EXPECT_EQ(written[a], picture[a]) << "macroblock " << a;
    }
    // As a P picture: the same, or where the level is rough, the rows
    // taken up concealed.
    header.writeAs = 2;
    recoder.recode(source, slices, header, &out, &result);
    ASSERT_FALSE(result.repeated);
    // What is levelled is kept; what is concealed is not.
    EXPECT_EQ(result.kept + result.concealed, kWidth * kHeight);
    EXPECT_LE(result.levelled, result.kept);
    if (c.rough) {
      EXPECT_LE(result.kept + kWidth, keptAsIntra);
      EXPECT_GE(result.concealed, 2 * kWidth);
    } else {
      EXPECT_EQ(result.kept, keptAsIntra);
    }
    // The I picture before, the same but for a thing that moved, tells the
    // level where the slices around it could not: kept as P, exact as I.
    PictureRecoder::DcField before{picture, std::vector<uint8_t>(kWidth * kHeight, 1)};
    for (uint32_t a = 0; a < kWidth * kHeight; a += 5) before.dc[a].fill(int16_t{20});
    const PictureRecoder::DcFieldSource intraBefore = [&before]() { return &before; };
    recoder.recode(source, slices, header, &out, &result, intraBefore);
    EXPECT_EQ(result.kept, keptAsIntra);
    header.writeAs = 1;
    out.clear();
    recoder.recode(source, slices, header, &out, &result, intraBefore);
    const Picture written = decodedDc(out);
    for (uint32_t a = (kHeight - 1) * kWidth; a < kWidth * kHeight; ++a) {
      EXPECT_EQ(written[a], picture[a]) << "macroblock " << a;
    }
  }
}

// An I picture whose second slice lost the data from just after its start
// into its second row: the walk taken up after the damage has nothing kept
// above or before it to level it by. The I picture written before it
// tells the level where the two agree on most macroblocks, whatever moved
// in between; where they do not, its level is rough: kept as the picture
// goes out as I, concealed from the reference as it goes out as P. The
// same holds for a walk that the slices around it level only roughly.
TEST(PictureRecoderTest, LevelsAnIntraWalkByTheIntraPictureBefore) {
  // A picture like an earlier one but for a thing that moved (a quarter
  // of its macroblocks), or an unrelated one.
  enum class Before { kNone, kMoved, kUnrelated };
  struct Case {
    const char* name;
    bool textured;  // the level the slices around it give is rough
    Before before;
    bool kept[2];   // the walk taken up, as I and as P
  };
  const Case cases[] = {
      {"nothing before", false, Before::kNone, {false, false}},
      {"a picture before that moved", false, Before::kMoved, {true, true}},
      {"an unrelated picture before", false, Before::kUnrelated, {true, false}},
      {"textured, a picture before that moved", true, Before::kMoved, {true, true}},
      {"textured, an unrelated picture before", true, Before::kUnrelated, {true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Picture picture(kWidth * kHeight);
    Picture unrelated(kWidth * kHeight);
    for (uint32_t a = 0; a < kWidth * kHeight; ++a) {
      for (uint32_t b = 0; b < 6; ++b) {
        const uint32_t row = a / kWidth * 2 + b / 2 % 2;
        const uint32_t column = a % kWidth * 2 + b % 2;
        picture[a][b] = static_cast<int16_t>(c.textured ? 70 + (row * 7919 + column * 104729 + row * column * 31) % 97
                                                        : 40 + 9 * row + 3 * column);
        unrelated[a][b] = static_cast<int16_t>(30 + (a * 37 + b * 101) % 180);
      }
    }
    uint32_t second = 0;
    const std::vector<uint8_t> clean = intraSlices(picture, &second);
    std::vector<MacroblockRecord> records;
    const SliceWalker walker(intraContext());
    walker.walk(clean[second + 3], clean.data() + second + 4, clean.size() - second - 4, &records);
    ASSERT_EQ(records.size(), 3 * kWidth);
    const uint32_t dataStart = second + 4;
    for (const bool known : {false, true}) {
    SCOPED_TRACE(known ? "damage known" : "data lost");
    std::vector<uint8_t> bytes = clean;
    std::vector<uint32_t> damaged;
    if (known) {
      // The data from the second slice's third macroblock to the third of
      // the next row is known damaged, and breaks the slice at once: a
      // macroblock type no I picture has (address increment 1, type 00).
      damaged = {dataStart + records[2].start / 8, dataStart + records[kWidth + 2].start / 8};
      for (uint32_t bit = records[2].start; bit < records[2].start + 3; ++bit) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        bytes[dataStart + bit / 8] = static_cast<uint8_t>(bit == records[2].start ? bytes[dataStart + bit / 8] | mask
                                                                                  : bytes[dataStart + bit / 8] & ~mask);
      }
    } else {
      // The second slice loses that data, and breaks where the rest joins
      // on: its bits up to macroblock 2's, a macroblock type no I picture
      // has (address increment 1, type 00), and its bits from the third
      // macroblock of the next row on.
      std::vector<bool> bits;
      const auto take = [&](size_t from, size_t to) {
        for (size_t bit = from; bit < to; ++bit) bits.push_back((clean[dataStart + bit / 8] >> (7 - bit % 8)) & 1);
      };
      take(0, records[2].start);
      bits.insert(bits.end(), {true, false, false});
      take(records[kWidth + 2].start, (clean.size() - dataStart) * 8);
      bytes.assign(dataStart + (bits.size() + 7) / 8, 0);
      std::copy(clean.begin(), clean.begin() + dataStart, bytes.begin());
      for (size_t bit = 0; bit < bits.size(); ++bit) {
        if (bits[bit]) bytes[dataStart + bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
      }
    }
    MemorySource source(bytes.data(), bytes.size());
    const std::vector<PictureRecoder::Slice> slices = {{0, second}, {second, static_cast<uint32_t>(bytes.size())}};

    PictureRecoder::DcField field;
    field.dc.assign(kWidth * kHeight, {});
    field.known.assign(kWidth * kHeight, 1);
    for (uint32_t a = 0; a < kWidth * kHeight; ++a) {
      field.dc[a] = c.before == Before::kUnrelated ? unrelated[a] : picture[a];
      // The thing that moved.
      if (c.before == Before::kMoved && a % 4 == 1) field.dc[a].fill(static_cast<int16_t>(230));
    }
    uint32_t asked = 0;
    const PictureRecoder::DcFieldSource before = [&]() -> const PictureRecoder::DcField* {
      ++asked;
      return c.before == Before::kNone ? nullptr : &field;
    };
    for (const uint32_t as : {1u, 2u}) {
      SCOPED_TRACE(as == 1 ? "as I" : "as P");
      PictureRecoder::Picture header;
      header.codingType = 1;
      header.writeAs = as;
      header.damaged = known ? &damaged : nullptr;
      PictureRecoder recoder(kWidth, kHeight, 1);
      std::vector<uint8_t> out;
      PictureRecoder::Result alone;
      recoder.recode(source, slices, header, &out, &alone);
      out.clear();
      PictureRecoder::Result result;
      asked = 0;
      recoder.recode(source, slices, header, &out, &result, before);
      ASSERT_FALSE(result.repeated);
      EXPECT_EQ(asked, 1u);  // once, for the one walk with no level
      EXPECT_EQ(result.kept + result.concealed, kWidth * kHeight);
      // What the walk taken up keeps: the macroblocks after the loss from
      // where the walks after it fall into step, the last row among them.
      if (c.kept[as - 1]) {
        EXPECT_GE(result.kept, alone.kept + kWidth);
      } else {
        EXPECT_EQ(result.kept, alone.kept);
      }
      if (c.kept[as - 1] && c.before == Before::kMoved && as == 1) {
        const Picture written = decodedDc(out);
        for (uint32_t a = kWidth * (kHeight - 1); a < kWidth * kHeight; ++a) {
          EXPECT_EQ(written[a], picture[a]) << "macroblock " << a;
        }
      }
    }
    }
  }
}

// Single bits flipped through the P pictures of a real recording, one at a
// time: where a slice breaks, it is taken up again after the damage. Walks
// that start before the damage can all be led out of step by it the same
// way, and agree on macroblocks that are none, and one of those that sets a
// quantiser spoils every block after it. Coded macroblocks written past the
// one the walk broke in, up to the slice's end, should be the picture's
// own as the clean slice has them (quantiser, type, vectors). Some false
// agreement cannot be told from data in step; with walks that start before
// the damage alone, 85 of these 871 broken slices wrote 867 wrong
// macroblocks. And no macroblock of a broken slice, kept before the damage
// or taken up after it, goes out with a quantiser three times its own or
// less than a third of it: every block it scales would be wrong (164 did
// before quantisers read out of step were judged).
TEST(PictureRecoderTest, TakesUpBrokenPSlicesWhereTheyAreInStep) {
  size_t broken = 0, takenUp = 0, wrong = 0, wrongSlices = 0, wild = 0;
  for (const RecordedPicture& picture : recordedPictures(2)) {
    const SliceContext& context = picture.context;
    const SliceWalker walker(context);
    PictureRecoder recoder(context.widthInMacroblocks, context.heightInMacroblocks, 1);
    PictureRecoder::Picture header;
    header.codingType = header.writeAs = 2;
    header.forwardFCode = context.forwardFCode;
    for (size_t k = 0; k < picture.slices.size(); ++k) {
      const IndexedSlice& slice = picture.slices[k];
      for (size_t bit = 40; bit < slice.dataLength() * 8; bit += 331) {
        const Bytes damaged = picture.flipped(k, bit);
        std::vector<MacroblockRecord> before;
        if (walker.walk(slice.verticalPosition, damaged.data() + slice.dataStart(), slice.dataLength(), &before).fault ==
            SliceFault::kNone) {
          continue;  // read on silently
        }
        ++broken;
        const uint32_t brokeIn = before.empty() ? picture.macroblocks[0].address : before.back().address + 1;
        MemorySource source(damaged.data(), damaged.size());
        Bytes out;
        PictureRecoder::Result result;
        recoder.recode(source, picture.parts, header, &out, &result);
        ASSERT_FALSE(result.repeated);
        const size_t wrongBefore = wrong;
        const uint32_t first = k == 0 ? 0 : picture.ends[k - 1];
        for (const MacroblockRecord& mb : writtenMacroblocks(out, context)) {
          if (mb.address < first || mb.address >= picture.ends[k] || mb.skipped ||
              !(mb.flags & (kMacroblockPattern | kMacroblockIntra))) {
            continue;  // in another slice, or concealed
          }
          const MacroblockRecord& own = picture.macroblocks[mb.address];
          wild += mb.quantiser > 3 * own.quantiser || own.quantiser > 3 * mb.quantiser;
          if (mb.address <= brokeIn) continue;  // before the damage
          ++takenUp;
          if (own.quantiser != mb.quantiser || own.forward[0] != mb.forward[0] || own.forward[1] != mb.forward[1] ||
              (own.flags & ~kMacroblockQuant) != (mb.flags & ~kMacroblockQuant)) {
            ++wrong;
          }
        }
        if (wrong > wrongBefore) ++wrongSlices;
      }
    }
  }
  ASSERT_GT(broken, 500u);
  // Most of what follows the damage is taken up again ...
  EXPECT_GT(takenUp, 10 * broken);
  // ... and little of it wrong: 39 slices and 340 macroblocks as this was
  // written.
  EXPECT_LT(wrongSlices * 16, broken) << wrongSlices << " of " << broken << " slices";
  EXPECT_LT(wrong * 25, takenUp) << wrong << " of " << takenUp << " macroblocks";
  EXPECT_EQ(wild, 0u);
}

// A bit flipped in the DC differential of a luminance block leaves an I
// picture's slice in step, and every DC value after it in the slice off by
// one amount. Through the I pictures of a real recording, each bit of the
// first block's differential of one macroblock per slice in turn (in the
// middle of the slice's third row: a step is judged by the blocks of its
// own slice): where the step is large enough to tell, the picture is mostly
// found and then written with its DC values exactly as they were before the
// flip; no clean picture is touched.
TEST(PictureRecoderTest, LevelsTheRunAfterAFlippedDcBit) {
  size_t large = 0, levelled = 0, exact = 0, clean = 0;
  for (const RecordedPicture& picture : recordedPictures(1)) {
    const SliceContext& context = picture.context;
    const uint32_t width = context.widthInMacroblocks;
    const SliceWalker walker(context);
    PictureRecoder recoder(width, context.heightInMacroblocks, 1);
    PictureRecoder::Picture header;
    header.codingType = header.writeAs = 1;
    std::vector<PictureRecoder::Slice> parts;
    const auto levels = [&](const Bytes& bytes) {
      MemorySource source(bytes.data(), bytes.size());
      return recoder.levelsDc(source, 0, static_cast<uint32_t>(bytes.size()), header, &parts);
    };
    EXPECT_FALSE(levels(picture.bytes));
    ++clean;
    for (size_t k = 0; k < picture.slices.size(); ++k) {
      const IndexedSlice& slice = picture.slices[k];
      const uint32_t address = (slice.verticalPosition + 1) * width + width / 2;
      const MacroblockRecord& mb = picture.macroblocks[address];
      // The differential's bits, after its size code.
      for (uint32_t bit = mb.dcStart[0]; bit < mb.dcEnd[0]; ++bit) {
        const Bytes damaged = picture.flipped(k, bit);
        std::vector<MacroblockRecord> records;
        const SliceWalk walk = walker.walk(slice.verticalPosition, damaged.data() + slice.dataStart(), slice.dataLength(), &records);
        if (walk.fault != SliceFault::kNone || walk.lastMacroblock + 1 != picture.ends[k]) continue;
        const MacroblockRecord& read = records[address - walk.firstMacroblock];
        const int step = read.dc[0] - mb.dc[0];
        ASSERT_NE(step, 0);
        if (std::abs(step) < 8) continue;
        ++large;
        if (!levels(damaged)) continue;
        ++levelled;
        MemorySource source(damaged.data(), damaged.size());
        Bytes out;
        PictureRecoder::Result result;
        recoder.recode(source, parts, header, &out, &result);
        ASSERT_FALSE(result.repeated);
        EXPECT_GT(result.levelled, 0u);
        bool same = true;
        for (const MacroblockRecord& written : writtenMacroblocks(out, context)) {
          same = same && std::equal(written.dc, written.dc + 6, picture.macroblocks[written.address].dc);
        }
        exact += same;
        // What the picture shows where it goes out as it stands instead:
        // every DC value as read but those of the run levelled, which tell
        // no level.
        PictureRecoder::DcField field;
        recoder.dcOf(source, parts, header, false, &field);
        uint32_t unknown = 0;
        for (const MacroblockRecord& r : records) {
          if (!field.known[r.address]) {
            ++unknown;
          } else if (!std::equal(r.dc, r.dc + 6, field.dc[r.address].begin())) {
            ADD_FAILURE() << "macroblock " << r.address;
          }
        }
        EXPECT_EQ(unknown, result.levelled);
        // Copied as it stands, every value as read.
        PictureRecoder::DcField asRead;
        recoder.dcOf(source, parts, header, true, &asRead);
        for (const MacroblockRecord& r : records) {
          ASSERT_TRUE(asRead.known[r.address]);
          EXPECT_TRUE(std::equal(r.dc, r.dc + 6, asRead.dc[r.address].begin())) << "macroblock " << r.address;
        }
        // An I picture before like the clean one backs the step; one that
        // shows the run as read makes it an edge of the picture's own.
        PictureRecoder::DcField cleanField{std::vector<std::array<int16_t, 6>>(picture.macroblocks.size()),
                                           std::vector<uint8_t>(picture.macroblocks.size(), 1)};
        for (const MacroblockRecord& r : picture.macroblocks) std::copy(r.dc, r.dc + 6, cleanField.dc[r.address].begin());
        EXPECT_TRUE(recoder.levelsDc(source, 0, static_cast<uint32_t>(damaged.size()), header, &parts,
                                     [&cleanField]() { return &cleanField; }));
        EXPECT_FALSE(recoder.levelsDc(source, 0, static_cast<uint32_t>(damaged.size()), header, &parts,
                                      [&asRead]() { return &asRead; }));
      }
    }
  }
  ASSERT_GT(clean, 2u);
  ASSERT_GT(large, 20u);
  // Most large steps are found (41 of 81 as this was written), and every
  // one found is levelled exactly.
  EXPECT_GT(levelled * 2, large) << levelled << " of " << large;
  EXPECT_EQ(exact, levelled);
}

// A bit flipped in a code can lead an I picture's slice out of step and
// back in, unseen, macroblocks short: the slice still parses, and all it
// read after the loss lies too early, its DC values off. Through the I
// pictures of a real recording, every 5th bit of each slice's data in turn:
// where the slice ends short, the recoder given the clean picture as the I
// picture before moves what followed the loss on to where it belongs, and
// writes most of the picture with the clean DC values; without a picture
// before, it leaves the slice where read; and the DC values it lends the I
// picture after leave such a walk unknown.
TEST(PictureRecoderTest, MovesOnWhatASliceReadAfterLosingMacroblocks) {
  size_t shortWalks = 0, mended = 0;
  for (const RecordedPicture& picture : recordedPictures(1)) {
    const SliceContext& context = picture.context;
    const uint32_t count = context.widthInMacroblocks * context.heightInMacroblocks;
    const SliceWalker walker(context);
    PictureRecoder recoder(context.widthInMacroblocks, context.heightInMacroblocks, 1);
    PictureRecoder::Picture header;
    header.codingType = header.writeAs = 1;
    PictureRecoder::DcField cleanField{std::vector<std::array<int16_t, 6>>(count), std::vector<uint8_t>(count, 1)};
    for (const MacroblockRecord& r : picture.macroblocks) std::copy(r.dc, r.dc + 6, cleanField.dc[r.address].begin());
    const auto exactIn = [&](const Bytes& out) {
      uint32_t exact = 0;
      for (const MacroblockRecord& written : writtenMacroblocks(out, context)) {
        exact += std::equal(written.dc, written.dc + 6, picture.macroblocks[written.address].dc);
      }
      return exact;
    };
    for (size_t k = 0; k < picture.slices.size(); ++k) {
      const IndexedSlice& slice = picture.slices[k];
      for (size_t bit = 0; bit < slice.dataLength() * 8; bit += 5) {
        const Bytes damaged = picture.flipped(k, bit);
        const SliceWalk walk = walker.walk(slice.verticalPosition, damaged.data() + slice.dataStart(), slice.dataLength());
        if (walk.fault != SliceFault::kNone || walk.lastMacroblock + 1 >= picture.ends[k]) continue;
        ++shortWalks;
        MemorySource source(damaged.data(), damaged.size());
        Bytes out;
        PictureRecoder::Result result;
        recoder.recode(source, picture.parts, header, &out, &result, [&cleanField]() { return &cleanField; });
        ASSERT_FALSE(result.repeated);
        EXPECT_EQ(result.kept + result.concealed, count);
        const uint32_t moved = exactIn(out);
        if (moved * 10 >= count * 9) ++mended;
        Bytes left;
        recoder.recode(source, picture.parts, header, &left, &result);
        EXPECT_LE(exactIn(left), moved) << "slice " << k << " bit " << bit;
        PictureRecoder::DcField lent;
        recoder.dcOf(source, picture.parts, header, false, &lent);
        for (uint32_t a = k > 0 ? picture.ends[k - 1] : 0; a <= walk.lastMacroblock; ++a) {
          ASSERT_FALSE(lent.known[a]) << "slice " << k << " bit " << bit << " macroblock " << a;
        }
      }
    }
  }
  // 571 walks, every one mended, as this was written.
  ASSERT_GT(shortWalks, 400u);
  EXPECT_GE(mended * 20, shortWalks * 19) << mended << " of " << shortWalks;
}

// Walks made ahead on WalkAhead's thread and handed to the recoder that
// writes the pictures give what its own walks give, through damaged I and P
// pictures of a real recording, one stream after the other: a walk not
// taken is dropped, a picture not queued is walked by the recoder itself,
// and a walk handed over for other slices than the recoder's next call is
// not used.
TEST(PictureRecoderTest, WalksMadeAheadRecodeAsTheRecodersOwn) {
  // Each damaged picture in a stream of its own, its slices at their offsets.
  struct Damaged {
    Bytes stream;
    std::vector<PictureRecoder::Slice> parts;
    PictureRecoder::Picture header;
  };
  std::vector<Damaged> pictures;
  for (const uint32_t type : {1u, 2u}) {
    for (const RecordedPicture& picture : recordedPictures(type)) {
      for (size_t k = 0; k < picture.slices.size(); k += 2) {
        Damaged d;
        d.stream = picture.flipped(k, 40 + 97 * k % 300);
        d.parts = picture.parts;
        d.header.codingType = d.header.writeAs = type;
        d.header.forwardFCode = picture.context.forwardFCode;
        pictures.push_back(std::move(d));
      }
    }
  }
  ASSERT_GT(pictures.size(), 20u);
  const SliceContext context = recordedPictures(2)[0].context;
  const uint32_t width = context.widthInMacroblocks;
  const uint32_t height = context.heightInMacroblocks;
  auto recoded = [](PictureRecoder& recoder, const Damaged& d) {
    MemorySource source(d.stream.data(), d.stream.size());
    Bytes out;
    PictureRecoder::Result result;
    recoder.recode(source, d.parts, d.header, &out, &result);
    EXPECT_GT(out.size(), d.parts.size() * 4);
    out.push_back(static_cast<uint8_t>(result.kept));
    out.push_back(static_cast<uint8_t>(result.concealed));
    out.push_back(static_cast<uint8_t>(result.forwardFCode));
    return out;
  };
  PictureRecoder own(width, height, 1);
  std::vector<Bytes> expected;
  for (const Damaged& d : pictures) expected.push_back(recoded(own, d));

  PictureRecoder recoder(width, height, 1);
  WalkAhead ahead(width, height, 1, 3);
  uint32_t next = 0;  // the next picture to queue
  size_t taken = 0;
  for (uint32_t i = 0; i < pictures.size(); ++i) {
    // Every seventh picture is left out of the queue, every fifth not taken.
    while (!ahead.full() && next < pictures.size() && next < i + 4) {
      const Damaged& d = pictures[next];
      MemorySource source(d.stream.data(), d.stream.size());
      if (next % 7 != 3) ahead.queue(next, source, d.parts, d.header);
      ++next;
    }
    if (i % 5 != 2) {
      const bool found = ahead.take(i, recoder);
      EXPECT_EQ(found, i % 7 != 3) << i;
      taken += found ? 1 : 0;
      if (found && i % 4 == 1) {
        // The walk handed over is of picture i: another walks anew.
        const size_t other = (i + pictures.size() / 2) % pictures.size();
        EXPECT_EQ(recoded(recoder, pictures[other]), expected[other]) << i;
        taken += 1000;
      }
    }
    EXPECT_EQ(recoded(recoder, pictures[i]), expected[i]) << i;
  }
  EXPECT_GT(taken % 1000, pictures.size() / 2);
  EXPECT_GT(taken / 1000, 3u);
}
