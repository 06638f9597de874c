#include "video/repeat_slice_writer.h"

#include <cassert>

#include "source/bit_packer.h"
#include "source/start_code.h"
#include "video/macroblock_codes.h"
#include "video/video_format.h"

namespace {

// An address increment of any size: escapes, then the code of the rest.
void put(BitPacker& bits, VlcCode code) { bits.put(code.length, code.bits); }

void putIncrement(BitPacker& bits, uint32_t increment) {
  assert(increment >= 1);
  for (; increment > kMaxAddressIncrement; increment -= kMaxAddressIncrement) put(bits, kMacroblockEscape);
  put(bits, kAddressIncrementCodes[increment - 1]);
}

constexpr MacroblockTypeCode findType(const MacroblockTypeCode* types, size_t count, uint8_t flags) {
  for (size_t i = 0; i < count; ++i) {
    if (types[i].flags == flags) return types[i];
  }
  return {{0, 0}, 0};
}
template <size_t N>
constexpr MacroblockTypeCode findType(const MacroblockTypeCode (&types)[N], uint8_t flags) {
  return findType(types, N, flags);
}

constexpr MacroblockTypeCode kIntraType = findType(kIntraPictureTypes, kMacroblockIntra);
constexpr MacroblockTypeCode kPredictedType = findType(kPredictivePictureTypes, kMacroblockMotionForward);
constexpr MacroblockTypeCode kForwardType = findType(kBidirectionalPictureTypes, kMacroblockMotionForward);
constexpr MacroblockTypeCode kBackwardType = findType(kBidirectionalPictureTypes, kMacroblockMotionBackward);
static_assert(kIntraType.code.length != 0 && kPredictedType.code.length != 0 && kForwardType.code.length != 0 &&
                  kBackwardType.code.length != 0,
              "every type the writer uses has a code");

// An intra macroblock whose blocks all keep the predicted DC value: size 0,
// then the end of block.
void putGreyMacroblock(BitPacker& bits) {
  put(bits, kIntraType.code);
  for (uint32_t block = 0; block < kBlocksPerMacroblock; ++block) {
    put(bits, block < kLuminanceBlocks ? kDcSizeLuminanceCodes[0] : kDcSizeChrominanceCodes[0]);
    put(bits, kEndOfBlock);
  }
}

// A macroblock predicted, not coded, with zero motion.
void putRepeatMacroblock(BitPacker& bits, const MacroblockTypeCode& type) {
  put(bits, type.code);
  put(bits, kMotionCodes[0]);  // horizontal
  put(bits, kMotionCodes[0]);  // vertical
}

}  // namespace

RepeatSliceWriter::RepeatSliceWriter(const SliceContext& picture, Prediction prediction)
    : picture_(picture), prediction_(prediction) {
  assert(picture.codingType >= kIntraCoded && picture.codingType <= kBidirectionallyCoded);
  assert(picture.widthInMacroblocks > 0 && picture.heightInMacroblocks > 0);
}

void RepeatSliceWriter::append(uint32_t first, uint32_t last, std::vector<uint8_t>* out) const {
  const uint32_t width = picture_.widthInMacroblocks;
  assert(first <= last && last < width * picture_.heightInMacroblocks);
  assert(first / width + 1 <= kLastSliceCode);
  out->insert(out->end(), kStartCodePrefixBytes, kStartCodePrefixBytes + sizeof kStartCodePrefixBytes);
  out->push_back(static_cast<uint8_t>(first / width + kFirstSliceCode));

  BitPacker bits(out);
  bits.put(kQuantiserScaleBits, kQuantiserScale);
  bits.put(kExtraBitSliceBits, 0);
  putIncrement(bits, first % width + 1);
  if (picture_.codingType == kIntraCoded) {
    // No macroblock of an I picture may be skipped.
    for (uint32_t address = first; address <= last; ++address) {
      if (address != first) putIncrement(bits, 1);
      putGreyMacroblock(bits);
    }
  } else {
    const MacroblockTypeCode& type = picture_.codingType == kPredictiveCoded ? kPredictedType
                                     : prediction_ == Prediction::kForward   ? kForwardType
                                                                             : kBackwardType;
    putRepeatMacroblock(bits, type);
    if (last != first) {
      putIncrement(bits, last - first);
      putRepeatMacroblock(bits, type);
    }
  }
  bits.pad();
}

void RepeatSliceWriter::appendRows(std::vector<uint8_t>* out) const {
  const uint32_t width = picture_.widthInMacroblocks;
  for (uint32_t row = 0; row < picture_.heightInMacroblocks; ++row) append(row * width, row * width + width - 1, out);
}
