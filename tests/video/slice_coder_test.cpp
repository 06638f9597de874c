#include "video/slice_coder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/host_tools.h"
#include "tests/support/temp_dir.h"
#include "tests/video/slice_index.h"
#include "video/macroblock_codes.h"
#include "video/slice_walker.h"

#ifdef ORVANTE_DECODER_ORACLE
#include "tests/support/decoder_oracle.h"
#endif

namespace {

// `stream` with every picture's macroblocks coded again through the coder:
// slices cut where `cut` says (before macroblock address a when cut(a)),
// each macroblock copied from the record the walk gave. What the slices
// predict from (quantiser, DC values, vectors, skipped runs) starts again at
// each cut, so every cut makes the coder code them anew.
template <typename Cut>
Bytes recoded(const Bytes& stream, Cut cut) {
  const std::vector<IndexedSlice> slices = indexSlices(stream);
  Bytes out;
  size_t copied = 0;  // of the stream, up to here
  for (size_t k = 0; k < slices.size();) {
    // One picture's slices: what stands before them goes out as it is.
    const size_t picture = slices[k].picture;
    out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(copied),
               stream.begin() + static_cast<std::ptrdiff_t>(slices[k].start));
    std::vector<MacroblockRecord> records;
    std::vector<size_t> recordSlice;
    size_t last = k;
    for (; last < slices.size() && slices[last].picture == picture; ++last) {
      const IndexedSlice& s = slices[last];
      const SliceWalk walk = SliceWalker(s.context).walk(s.verticalPosition, stream.data() + s.dataStart(),
                                                         s.dataLength(), &records);
      EXPECT_EQ(walk.fault, SliceFault::kNone);
      recordSlice.resize(records.size(), last);
    }
    SliceCoder coder(slices[k].context, &out);
    for (size_t r = 0; r < records.size(); ++r) {
      const MacroblockRecord& mb = records[r];
      if (coder.open() && cut(mb.address)) coder.end();
      if (!coder.open()) coder.begin(mb.address, mb.quantiser);
      const IndexedSlice& s = slices[recordSlice[r]];
      coder.copy(mb, stream.data() + s.dataStart(), s.dataLength());
    }
    if (coder.open()) coder.end();
    copied = slices[last - 1].end;
    k = last;
  }
  out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(copied), stream.end());
  return out;
}

}  // namespace

TEST(SliceCoder, CodingEveryMacroblockAgainShowsThePicturesAsTheyWere) {
  const Bytes bare = readFile(std::string(ORVANTE_SOURCE_DIR) + "/tests/data/bare.m1v");
  const uint32_t width = indexSlices(bare).front().context.widthInMacroblocks;
  struct Cuts {
    const char* name;
    bool (*cut)(uint32_t address, uint32_t width);
  };
  const Cuts cutsTable[] = {
      {"a slice a row", [](uint32_t a, uint32_t w) { return a % w == 0; }},
      {"slices that start inside rows", [](uint32_t a, uint32_t w) { return a % w == 0 || a % w == w / 2 || a % 7 == 3; }},
      {"a slice a macroblock", [](uint32_t, uint32_t) { return true; }},
  };
#ifdef ORVANTE_DECODER_ORACLE
  const DecoderOracle::Verdict original = DecoderOracle::decodeVideo(bare.data(), bare.size(), true);
  ASSERT_EQ(original.frames, 50);
#else
  REQUIRE_TOOLS("the pictures are compared by a decoder", "the decoder oracle");
#endif
  for (const Cuts& c : cutsTable) {
    SCOPED_TRACE(c.name);
    const Bytes again = recoded(bare, [&](uint32_t a) { return c.cut(a, width); });
    // What the slices say, walked again: the same macroblocks, the same
    // vectors and DC values.
    const std::vector<IndexedSlice> before = indexSlices(bare);
    const std::vector<IndexedSlice> after = indexSlices(again);
    std::vector<MacroblockRecord> a, b;
    for (const IndexedSlice& s : before) SliceWalker(s.context).walk(s.verticalPosition, bare.data() + s.dataStart(), s.dataLength(), &a);
    for (const IndexedSlice& s : after) {
      EXPECT_EQ(SliceWalker(s.context).walk(s.verticalPosition, again.data() + s.dataStart(), s.dataLength(), &b).fault,
                SliceFault::kNone);
    }
    ASSERT_EQ(a.size(), b.size());
    // Skipped or coded with no change, a macroblock shows the same: what
    // is compared is what a decoder predicts it from.
    size_t differing = 0;
    for (size_t k = 0; k < a.size(); ++k) {
      const auto shown = [](const MacroblockRecord& m, int16_t* v) {
        const bool intra = (m.flags & kMacroblockIntra) != 0;
        const bool forward = (m.flags & kMacroblockMotionForward) != 0;
        const bool backward = (m.flags & kMacroblockMotionBackward) != 0;
        v[0] = forward ? m.forward[0] : 0;
        v[1] = forward ? m.forward[1] : 0;
        v[2] = backward ? m.backward[0] : 0;
        v[3] = backward ? m.backward[1] : 0;
        for (int i = 0; i < 6; ++i) v[4 + i] = intra ? m.dc[i] : 0;
        return static_cast<int>(intra) | (backward ? 2 : 0) | (forward && backward ? 4 : 0);
      };
      int16_t va[10], vb[10];
      const bool same = a[k].address == b[k].address && shown(a[k], va) == shown(b[k], vb) && std::equal(va, va + 10, vb);
      differing += same ? 0 : 1;
    }
    EXPECT_EQ(differing, 0u);
#ifdef ORVANTE_DECODER_ORACLE
    // And what a decoder shows: every picture, bit for bit.
    const DecoderOracle::Verdict verdict = DecoderOracle::decodeVideo(again.data(), again.size(), true);
    EXPECT_TRUE(verdict.ok()) << verdict.text();
    EXPECT_TRUE(verdict.lumas == original.lumas);
#endif
  }
}
