#include "video/repeat_slice_writer.h"

#include <cassert>

#include "source/start_code.h"
#include "video/macroblock_codes.h"
#include "video/video_format.h"

namespace {

// Packs codes, first bit most significant, onto the end of a byte vector.
class BitPacker {
 public:
  explicit BitPacker(std::vector<uint8_t>* out) : out_(out) {}
  ~BitPacker() { assert(used_ == 0); }

  void put(VlcCode code) { put(code.length, code.bits); }
  void put(uint32_t n, uint32_t value) {
    for (uint32_t i = n; i-- > 0;) {
      if (used_ == 0) out_->push_back(0);
      if ((value >> i) & 1) out_->back() = static_cast<uint8_t>(out_->back() | (0x80u >> used_));
      used_ = (used_ + 1) & 7;
    }
  }
  // Zero bits up to the byte boundary.
  void pad() { used_ = 0; }

 private:
  std::vector<uint8_t>* const out_;
  uint32_t used_ = 0;  // bits of the last byte in use; 0 when it is full
};

// An address increment of any size: escapes, then the code of the rest.
void putIncrement(BitPacker& bits, uint32_t increment) {
  assert(increment >= 1);
  for (; increment > kMaxAddressIncrement; increment -= kMaxAddressIncrement) bits.put(kMacroblockEscape);
  bits.put(kAddressIncrementCodes[increment - 1]);
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
  bits.put(kIntraType.code);
  for (uint32_t block = 0; block < kBlocksPerMacroblock; ++block) {
    bits.put(block < kLuminanceBlocks ? kDcSizeLuminanceCodes[0] : kDcSizeChrominanceCodes[0]);
    bits.put(kEndOfBlock);
  }
}

// A macroblock predicted, not coded, with zero motion.
void putRepeatMacroblock(BitPacker& bits, const MacroblockTypeCode& type) {
  bits.put(type.code);
  bits.put(kMotionCodes[0]);  // horizontal
  bits.put(kMotionCodes[0]);  // vertical
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
