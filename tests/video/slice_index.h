#ifndef ORVANTE_TESTS_VIDEO_SLICE_INDEX_H_
#define ORVANTE_TESTS_VIDEO_SLICE_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "video/slice_walker.h"

// The slices of an MPEG-1 video elementary stream with the context of the
// picture each belongs to, found with a header reader of its own so that
// tests and benchmarks of the slice walker do not lean on the program's.
struct IndexedSlice {
  size_t picture;       // the picture's number in the stream, from 0
  size_t displayIndex;  // its place in display order: pictures before its group + temporal reference
  SliceContext context;
  uint32_t verticalPosition;  // the start code's value
  size_t start;               // offset of the start code
  size_t end;                 // offset of the next start code, or the stream's end

  size_t dataStart() const { return start + 4; }
  size_t dataLength() const { return end - dataStart(); }
};

// Every slice of an I, P or B picture that follows a sequence header.
inline std::vector<IndexedSlice> indexSlices(const std::vector<uint8_t>& stream) {
  std::vector<size_t> codes;
  for (size_t i = 0; i + 3 < stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) codes.push_back(i);
  }
  auto field = [&](size_t from, uint32_t bit, uint32_t n) {  // n bits from bit `bit` after offset `from`
    uint32_t value = 0;
    for (uint32_t i = bit; i < bit + n; ++i) {
      const size_t byte = from + i / 8;
      const uint32_t b = byte < stream.size() ? (stream[byte] >> (7 - i % 8)) & 1 : 0;
      value = value << 1 | b;
    }
    return value;
  };
  std::vector<IndexedSlice> slices;
  SliceContext context = {0, 0, 0, 0, 0};
  bool inPicture = false;
  size_t picture = 0;
  size_t groupStart = 0;  // pictures before the current group of pictures
  size_t displayIndex = 0;
  for (size_t k = 0; k < codes.size(); ++k) {
    const size_t at = codes[k];
    const size_t end = k + 1 < codes.size() ? codes[k + 1] : stream.size();
    const uint32_t code = stream[at + 3];
    const size_t body = at + 4;
    if (code == 0xB3) {
      context.widthInMacroblocks = (field(body, 0, 12) + 15) / 16;
      context.heightInMacroblocks = (field(body, 12, 12) + 15) / 16;
    } else if (code == 0x00) {
      if (inPicture) ++picture;
      displayIndex = groupStart + field(body, 0, 10);
      context.codingType = field(body, 10, 3);
      context.forwardFCode = context.codingType >= 2 ? field(body, 30, 3) : 0;
      context.backwardFCode = context.codingType == 3 ? field(body, 34, 3) : 0;
      inPicture = context.widthInMacroblocks != 0 && context.codingType >= 1 && context.codingType <= 3;
    } else if (code >= 0x01 && code <= 0xAF && inPicture) {
      slices.push_back({picture, displayIndex, context, code, at, end});
    } else if (code > 0xAF) {
      if (inPicture) ++picture;
      inPicture = false;
      if (code == 0xB8) groupStart = picture;
    }
  }
  return slices;
}

// A picture of a stream as its slices show it.
struct WalkedPicture {
  uint32_t codingType;
  size_t displayIndex;  // as IndexedSlice's
  std::string trouble;  // empty when its slices walk clean and tile it exactly once; else what is wrong, and where
};

// The pictures of `stream` in coding order, their slices walked with the
// slice walker.
inline std::vector<WalkedPicture> walkPictures(const std::vector<uint8_t>& stream) {
  std::vector<WalkedPicture> pictures;
  std::vector<uint32_t> covered, size;  // macroblocks of each picture tiled so far, and in all
  for (const IndexedSlice& slice : indexSlices(stream)) {
    if (slice.picture >= pictures.size()) {
      pictures.resize(slice.picture + 1);
      covered.resize(slice.picture + 1, 0);
      size.resize(slice.picture + 1, 0);
    }
    size[slice.picture] = slice.context.widthInMacroblocks * slice.context.heightInMacroblocks;
    WalkedPicture& picture = pictures[slice.picture];
    picture.codingType = slice.context.codingType;
    picture.displayIndex = slice.displayIndex;
    const SliceWalk walk =
        SliceWalker(slice.context).walk(slice.verticalPosition, stream.data() + slice.dataStart(), slice.dataLength());
    const std::string where = "picture " + std::to_string(slice.picture) + ", slice at " + std::to_string(slice.start);
    if (!picture.trouble.empty()) continue;
    if (walk.fault != SliceFault::kNone) {
      picture.trouble = where + ": " + sliceFaultName(walk.fault);
    } else if (walk.firstMacroblock != covered[slice.picture]) {
      picture.trouble = where + ": does not follow the slice before";
    } else if (walk.lastMacroblock < walk.firstMacroblock) {
      picture.trouble = where + ": ends before it starts";
    }
    covered[slice.picture] = walk.lastMacroblock + 1;
  }
  for (size_t k = 0; k < pictures.size(); ++k) {
    if (pictures[k].trouble.empty() && covered[k] != size[k]) pictures[k].trouble = "picture " + std::to_string(k) + " is not covered";
  }
  return pictures;
}

#endif  // ORVANTE_TESTS_VIDEO_SLICE_INDEX_H_
