#include "video/slice_coder.h"

#include <algorithm>

#include <cassert>
#include <cstring>

#include "video/macroblock_codes.h"
#include "video/video_format.h"

namespace {

constexpr uint8_t kDirections = kMacroblockMotionForward | kMacroblockMotionBackward;

const MacroblockTypeCode* typesOf(uint32_t codingType, size_t* count) {
  switch (codingType) {
    case kIntraCoded:
      *count = sizeof kIntraPictureTypes / sizeof kIntraPictureTypes[0];
      return kIntraPictureTypes;
    case kPredictiveCoded:
      *count = sizeof kPredictivePictureTypes / sizeof kPredictivePictureTypes[0];
      return kPredictivePictureTypes;
    default:
      *count = sizeof kBidirectionalPictureTypes / sizeof kBidirectionalPictureTypes[0];
      return kBidirectionalPictureTypes;
  }
}

}  // namespace

SliceCoder::SliceCoder(const SliceContext& picture, std::vector<uint8_t>* out)
    : picture_(picture), bits_(out) {
  assert(picture.codingType >= kIntraCoded && picture.codingType <= kBidirectionallyCoded);
  assert(picture.widthInMacroblocks > 0 && picture.heightInMacroblocks > 0);
}

void SliceCoder::resetPredictions() {
  vectorPrediction_[0][0] = vectorPrediction_[0][1] = vectorPrediction_[1][0] = vectorPrediction_[1][1] = 0;
  dcPrediction_[0] = dcPrediction_[1] = dcPrediction_[2] = kDcPredictionStart;
}

void SliceCoder::begin(uint32_t address, uint32_t quantiser) {
  assert(!open_);
  assert(address < picture_.widthInMacroblocks * picture_.heightInMacroblocks);
  assert(address / picture_.widthInMacroblocks + kFirstSliceCode <= kLastSliceCode);
  assert(quantiser >= 1 && quantiser < (1u << kQuantiserScaleBits));
  bits_.pad();
  const uint32_t row = address / picture_.widthInMacroblocks;
  bits_.put(24, 0x000001);
  bits_.put(8, row + kFirstSliceCode);
  bits_.put(kQuantiserScaleBits, quantiser);
  bits_.put(kExtraBitSliceBits, 0);
  open_ = true;
  first_ = true;
  skipHeld_ = false;
  quantiser_ = quantiser;
  // The first increment counts from the column before the row's first.
  last_ = written_ = row * picture_.widthInMacroblocks - 1;
  resetPredictions();
  previousIntra_ = false;
  previousDirections_ = 0;
}

void SliceCoder::putIncrement(uint32_t address) {
  assert(first_ || address > last_);
  uint32_t increment = address - written_;
  for (; increment > kMaxAddressIncrement; increment -= kMaxAddressIncrement) {
    bits_.put(kMacroblockEscape.length, kMacroblockEscape.bits);
  }
  bits_.put(kAddressIncrementCodes[increment - 1].length, kAddressIncrementCodes[increment - 1].bits);
  // Skipped macroblocks start the predictions again: the DC ones always,
  // the vectors in a P picture.
  if (!first_ && address - written_ > 1) {
    dcPrediction_[0] = dcPrediction_[1] = dcPrediction_[2] = kDcPredictionStart;
    if (picture_.codingType == kPredictiveCoded) vectorPrediction_[0][0] = vectorPrediction_[0][1] = 0;
  }
  written_ = last_ = address;
  first_ = false;
  skipHeld_ = false;
}

void SliceCoder::putType(uint8_t flags) {
  size_t count = 0;
  const MacroblockTypeCode* types = typesOf(picture_.codingType, &count);
  for (size_t k = 0; k < count; ++k) {
    if (types[k].flags == flags) {
      bits_.put(types[k].code.length, types[k].code.bits);
      return;
    }
  }
  assert(false && "no macroblock type of the picture has these flags");
}

void SliceCoder::putVector(int vector, int* prediction, uint32_t fCode) {
  const int f = 1 << (fCode - 1);
  const int limit = vectorLimit(fCode);
  assert(vector >= -limit && vector < limit);
  int delta = vector - *prediction;
  if (delta < -limit) delta += 2 * limit;
  if (delta >= limit) delta -= 2 * limit;
  *prediction = vector;
  if (delta == 0) {
    bits_.put(kMotionCodes[0].length, kMotionCodes[0].bits);
    return;
  }
  const int magnitude = delta < 0 ? -delta : delta;
  const int code = (magnitude + f - 1) / f;
  const int complement = code * f - magnitude;
  bits_.put(kMotionCodes[code].length, kMotionCodes[code].bits);
  bits_.put(1, delta < 0 ? 1 : 0);
  if (f > 1) bits_.put(fCode - 1, static_cast<uint32_t>(f - 1 - complement));
}

void SliceCoder::putDc(uint32_t block, int dc) {
  const uint32_t component = block < kLuminanceBlocks ? 0 : block - kLuminanceBlocks + 1;
  // Damage read out of step can leave DC values past what pixels have;
  // within 0..255 every difference has a size code.
  dc = std::clamp(dc, 0, 255);
  const int difference = dc - dcPrediction_[component];
  dcPrediction_[component] = dc;
  const uint32_t size = dcSize(difference);
  assert(size <= kMaxDcSize);
  const VlcCode code = component == 0 ? kDcSizeLuminanceCodes[size] : kDcSizeChrominanceCodes[size];
  bits_.put(code.length, code.bits);
  if (size > 0) {
    bits_.put(size, static_cast<uint32_t>(difference > 0 ? difference : difference + (1 << size) - 1));
  }
}

bool SliceCoder::skipMeansTheSame(uint8_t directions, const int16_t forward[2], const int16_t backward[2]) const {
  if (first_) return false;
  if (picture_.codingType == kPredictiveCoded) return forward[0] == 0 && forward[1] == 0;
  if (previousIntra_ || directions != previousDirections_) return false;
  const bool sameForward = !(directions & kMacroblockMotionForward) ||
                           (forward[0] == previousForward_[0] && forward[1] == previousForward_[1]);
  const bool sameBackward = !(directions & kMacroblockMotionBackward) ||
                            (backward[0] == previousBackward_[0] && backward[1] == previousBackward_[1]);
  return sameForward && sameBackward;
}

void SliceCoder::predict(uint32_t address, uint8_t directions, const int16_t forward[2], const int16_t backward[2]) {
  assert(open_ && (directions & kDirections) != 0 && (directions & ~kDirections) == 0);
  assert(picture_.codingType != kPredictiveCoded || directions == kMacroblockMotionForward);
  assert(first_ || address > last_);
  if (skipMeansTheSame(directions, forward, backward)) {
    // Held back: the next macroblock's increment skips it, or end() writes
    // it when it is the slice's last.
    last_ = address;
    skipHeld_ = true;
    return;
  }
  putIncrement(address);
  putType(directions);
  if (directions & kMacroblockMotionForward) {
    putVector(forward[0], &vectorPrediction_[0][0], picture_.forwardFCode);
    putVector(forward[1], &vectorPrediction_[0][1], picture_.forwardFCode);
  }
  if (directions & kMacroblockMotionBackward) {
    putVector(backward[0], &vectorPrediction_[1][0], picture_.backwardFCode);
    putVector(backward[1], &vectorPrediction_[1][1], picture_.backwardFCode);
  }
  dcPrediction_[0] = dcPrediction_[1] = dcPrediction_[2] = kDcPredictionStart;
  previousIntra_ = false;
  previousDirections_ = directions;
  std::memcpy(previousForward_, forward, sizeof previousForward_);
  std::memcpy(previousBackward_, backward, sizeof previousBackward_);
}

void SliceCoder::copy(const MacroblockRecord& mb, const uint8_t* data, size_t length) {
  assert(open_);
  const bool intraMacroblock = (mb.flags & kMacroblockIntra) != 0;
  if (mb.skipped || (!intraMacroblock && !(mb.flags & kMacroblockPattern))) {
    // Not coded: its prediction is all it shows.
    predict(mb.address, static_cast<uint8_t>(mb.flags & kDirections), mb.forward, mb.backward);
    return;
  }
  putIncrement(mb.address);
  // A quantiser that is no longer in effect here goes with the type.
  const bool quant = mb.hasQuant || mb.quantiser != quantiser_;
  putType(static_cast<uint8_t>((mb.flags & ~kMacroblockQuant) | (quant ? kMacroblockQuant : 0)));
  if (quant) bits_.put(kQuantiserScaleBits, mb.quantiser);
  quantiser_ = mb.quantiser;
  if (mb.flags & kMacroblockMotionForward) {
    putVector(mb.forward[0], &vectorPrediction_[0][0], picture_.forwardFCode);
    putVector(mb.forward[1], &vectorPrediction_[0][1], picture_.forwardFCode);
  }
  if (mb.flags & kMacroblockMotionBackward) {
    putVector(mb.backward[0], &vectorPrediction_[1][0], picture_.backwardFCode);
    putVector(mb.backward[1], &vectorPrediction_[1][1], picture_.backwardFCode);
  }
  if (intraMacroblock) {
    // The first block of each component takes its DC value from this
    // slice's predictions; the others from the block before, as they did.
    if (previousIntra_ == false) dcPrediction_[0] = dcPrediction_[1] = dcPrediction_[2] = kDcPredictionStart;
    uint32_t from = mb.motionEnd;
    for (uint32_t k = 0; k < 3; ++k) {
      const uint32_t block = k == 0 ? 0 : kLuminanceBlocks + k - 1;
      bits_.copy(data, length, from, mb.dcStart[k]);
      putDc(block, mb.dc[block]);
      if (k == 0) dcPrediction_[0] = std::clamp<int>(mb.dc[kLuminanceBlocks - 1], 0, 255);
      from = mb.dcEnd[k];
    }
    bits_.copy(data, length, from, mb.end);
    vectorPrediction_[0][0] = vectorPrediction_[0][1] = vectorPrediction_[1][0] = vectorPrediction_[1][1] = 0;
    previousIntra_ = true;
    previousDirections_ = 0;
    return;
  }
  bits_.copy(data, length, mb.motionEnd, mb.end);
  dcPrediction_[0] = dcPrediction_[1] = dcPrediction_[2] = kDcPredictionStart;
  // A P macroblock without motion has zero vectors, and so has what is
  // predicted from after it.
  if (picture_.codingType == kPredictiveCoded && !(mb.flags & kMacroblockMotionForward)) {
    vectorPrediction_[0][0] = vectorPrediction_[0][1] = 0;
  }
  previousIntra_ = false;
  previousDirections_ = static_cast<uint8_t>(mb.flags & kDirections);
  std::memcpy(previousForward_, mb.forward, sizeof previousForward_);
  std::memcpy(previousBackward_, mb.backward, sizeof previousBackward_);
  if (picture_.codingType == kBidirectionallyCoded) {
    // A skip after it takes its directions and vectors; those it does not
    // use stay as predicted.
    if (!(mb.flags & kMacroblockMotionForward)) {
      previousForward_[0] = static_cast<int16_t>(vectorPrediction_[0][0]);
      previousForward_[1] = static_cast<int16_t>(vectorPrediction_[0][1]);
    }
    if (!(mb.flags & kMacroblockMotionBackward)) {
      previousBackward_[0] = static_cast<int16_t>(vectorPrediction_[1][0]);
      previousBackward_[1] = static_cast<int16_t>(vectorPrediction_[1][1]);
    }
  }
}

void SliceCoder::intra(uint32_t address, const int16_t dc[6]) {
  assert(open_);
  putIncrement(address);
  // Any quantiser serves: no coefficient but the DC ones, which it does not
  // scale.
  putType(kMacroblockIntra);
  if (!previousIntra_) dcPrediction_[0] = dcPrediction_[1] = dcPrediction_[2] = kDcPredictionStart;
  for (uint32_t block = 0; block < kBlocksPerMacroblock; ++block) {
    putDc(block, dc[block]);
    bits_.put(kEndOfBlock.length, kEndOfBlock.bits);
  }
  vectorPrediction_[0][0] = vectorPrediction_[0][1] = vectorPrediction_[1][0] = vectorPrediction_[1][1] = 0;
  previousIntra_ = true;
  previousDirections_ = 0;
}

void SliceCoder::writeHeldSkip() {
  // Written as the skip would have shown it.
  const uint32_t address = last_;
  skipHeld_ = false;
  putIncrement(address);
  if (picture_.codingType == kPredictiveCoded) {
    putType(kMacroblockMotionForward);
    putVector(0, &vectorPrediction_[0][0], picture_.forwardFCode);
    putVector(0, &vectorPrediction_[0][1], picture_.forwardFCode);
  } else {
    putType(previousDirections_);
    if (previousDirections_ & kMacroblockMotionForward) {
      putVector(previousForward_[0], &vectorPrediction_[0][0], picture_.forwardFCode);
      putVector(previousForward_[1], &vectorPrediction_[0][1], picture_.forwardFCode);
    }
    if (previousDirections_ & kMacroblockMotionBackward) {
      putVector(previousBackward_[0], &vectorPrediction_[1][0], picture_.backwardFCode);
      putVector(previousBackward_[1], &vectorPrediction_[1][1], picture_.backwardFCode);
    }
  }
  dcPrediction_[0] = dcPrediction_[1] = dcPrediction_[2] = kDcPredictionStart;
  previousIntra_ = false;
}

void SliceCoder::end() {
  assert(open_ && !first_);
  if (skipHeld_) writeHeldSkip();
  bits_.pad();
  open_ = false;
}
