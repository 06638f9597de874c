#include "video/slice_walker.h"

#include <cassert>
#include <cstring>

#include "video/dead_ends.h"
#include "video/macroblock_codes.h"
#include "video/video_format.h"

namespace {

// ---------------------------------------------------------------------------
// Lookup tables, built once from the code lists of macroblock_codes.h, each
// indexed by the next bits of the stream.

// One code: its length in bits (0: no code begins with these bits) and what
// it stands for.
struct Lookup {
  uint8_t length;
  uint8_t value;
};

// Values of the address increment lookup beyond the increments 1..33.
constexpr uint8_t kIncrementEscape = kMaxAddressIncrement + 1;
constexpr uint8_t kIncrementStuffing = kMaxAddressIncrement + 2;

// The blocks are read by steps: one lookup of the next kStepBits bits reads
// every whole element that fits in them, up to and with an end of block.
// What the first element is depends on where in the block the walk stands.
enum BlockState : uint8_t {
  kNextCodes,      // dct_coeff_next codes
  kFirstCode,      // dct_coeff_first, then next codes (non-intra blocks)
  kLuminanceDc,    // dct_dc_size_luminance and differential, then next codes
  kChrominanceDc,  // dct_dc_size_chrominance and differential, then next codes
  kBlockStateCount,
};
constexpr uint32_t kStepBits = 14;
static_assert(kStepBits >= 9, "every run/level code with fewer than 5 leading zeros fits with its sign");
// A step: the bits it reads (0: the first element does not fit, and is read
// alone), whether they end the block, and the coefficient positions they
// fill (1 for the DC coefficient, run + 1 for each run/level code).
struct BlockStep {
  uint8_t length;
  uint8_t endAndPositions;  // bit 0: end of block; the positions above
};
constexpr uint32_t kStepEndOfBlock = 1;
constexpr uint32_t kStepPositionsShift = 1;
// The positions of a step fit in their 7 bits: no code fills more than two
// positions per bit, so a step fills at most 2 * kStepBits, and 1 for a DC.
constexpr bool fewPositionsPerBit() {
  for (const CoefficientCode& c : kCoefficientCodes) {
    if (c.run + 1u > 2u * (c.code.length + 1u)) return false;
  }
  return true;
}
static_assert(fewPositionsPerBit() && 2 * kStepBits + 1 < (256 >> kStepPositionsShift), "a step's positions fit");
// After a refill at least 56 bits are buffered: enough for this many steps.
constexpr uint32_t kStepsPerRefill = 56 / kStepBits;

// Run/level codes that no step holds, read alone: the escape, and codes with
// 6 to 11 leading zeros, found by the number of leading zeros and the six
// bits from the first 1 on, which hold the rest of every such code and its
// sign.
constexpr uint32_t kEscapeLeadingZeros = 5;  // 0000 01
constexpr uint32_t kLongCodeFirstZeros = 6;
constexpr uint32_t kLongCodeLastZeros = 11;
constexpr uint32_t kLongCodeTailBits = 6;
static_assert(kLongCodeLastZeros + kLongCodeTailBits == kMaxCoefficientLength, "the longest code and its sign");

struct CodeTables {
  Lookup increment[1u << kMaxAddressIncrementLength];
  Lookup type[3][1u << kMaxMacroblockTypeLength];       // by coding type - 1; value: MacroblockFlags
  Lookup motion[1u << kMaxMotionCodeLength];            // length with the sign; value 1 when not 0
  int8_t motionCode[1u << kMaxMotionCodeLength];        // the code's value, -16..16
  Lookup pattern[1u << kMaxCodedBlockPatternLength];    // value: blocks coded
  Lookup dcSize[2][1u << kMaxDcSizeChrominanceLength];  // luminance, chrominance; length with the differential
  Lookup longCoefficient[kLongCodeLastZeros - kLongCodeFirstZeros + 1][1u << kLongCodeTailBits];  // value: run + 1
  BlockStep step[kBlockStateCount][1u << kStepBits];
};

// Enters `code` in every slot of a table of `tableBits` whose index begins
// with it.
void enter(Lookup* table, uint32_t tableBits, VlcCode code, uint32_t length, uint32_t value) {
  assert(code.length <= tableBits && length < 256 && value < 256);
  const uint32_t first = uint32_t{code.bits} << (tableBits - code.length);
  for (uint32_t i = 0; i < (1u << (tableBits - code.length)); ++i) {
    table[first + i] = {static_cast<uint8_t>(length), static_cast<uint8_t>(value)};
  }
}

template <size_t N>
void enterTypes(Lookup* table, const MacroblockTypeCode (&types)[N]) {
  for (const MacroblockTypeCode& t : types) enter(table, kMaxMacroblockTypeLength, t.code, t.code.length, t.flags);
}

// dct_coeff_next codes of at most kStepBits bits with their signs, for
// building the steps: length 0 where none fits, positions 0 for the end of
// block.
struct ShortCodes {
  Lookup code[1u << kStepBits];
};

ShortCodes buildShortCodes() {
  ShortCodes s;
  std::memset(&s, 0, sizeof s);
  enter(s.code, kStepBits, kEndOfBlock, kEndOfBlock.length, 0);
  for (const CoefficientCode& c : kCoefficientCodes) {
    if (c.code.length + 1u > kStepBits) continue;
    for (uint32_t sign = 0; sign < 2; ++sign) {
      const VlcCode withSign = {static_cast<uint16_t>(c.code.bits << 1 | sign),
                                static_cast<uint8_t>(c.code.length + 1)};
      enter(s.code, kStepBits, withSign, withSign.length, c.run + 1u);
    }
  }
  return s;
}

BlockStep makeStep(uint32_t length, uint32_t endAndPositions) {
  assert(length <= kStepBits && endAndPositions < 256);
  return {static_cast<uint8_t>(length), static_cast<uint8_t>(endAndPositions)};
}

// The step from `state` over the kStepBits bits of `index`.
BlockStep buildStep(const ShortCodes& s, uint32_t state, uint32_t index) {
  constexpr uint32_t kIndexMask = (1u << kStepBits) - 1;
  uint32_t used = 0;
  uint32_t positions = 0;
  // The element that opens the step, when it is not a next code.
  if (state == kLuminanceDc || state == kChrominanceDc) {
    const VlcCode* sizes = state == kLuminanceDc ? kDcSizeLuminanceCodes : kDcSizeChrominanceCodes;
    for (uint32_t size = 0; size <= kMaxDcSize; ++size) {
      const VlcCode c = sizes[size];
      if ((index >> (kStepBits - c.length)) == c.bits) used = c.length + size;
    }
    if (used == 0 || used > kStepBits) return {0, 0};
    positions = 1;
  } else if (state == kFirstCode && (index >> (kStepBits - 1)) == kFirstCoefficientRunZeroLevelOne.bits) {
    used = kFirstCoefficientRunZeroLevelOne.length + 1;
    positions = 1;
  }
  for (;;) {
    const Lookup next = s.code[(index << used) & kIndexMask];
    if (next.length == 0 || used + next.length > kStepBits) break;
    used += next.length;
    if (next.value == 0) return makeStep(used, kStepEndOfBlock | positions << kStepPositionsShift);
    positions += next.value;
  }
  return makeStep(used, positions << kStepPositionsShift);
}

CodeTables buildTables() {
  CodeTables t;
  std::memset(&t, 0, sizeof t);
  for (uint32_t i = 0; i < kMaxAddressIncrement; ++i) {
    enter(t.increment, kMaxAddressIncrementLength, kAddressIncrementCodes[i], kAddressIncrementCodes[i].length, i + 1);
  }
  enter(t.increment, kMaxAddressIncrementLength, kMacroblockEscape, kMacroblockEscape.length, kIncrementEscape);
  enter(t.increment, kMaxAddressIncrementLength, kMacroblockStuffing, kMacroblockStuffing.length, kIncrementStuffing);

  enterTypes(t.type[kIntraCoded - 1], kIntraPictureTypes);
  enterTypes(t.type[kPredictiveCoded - 1], kPredictivePictureTypes);
  enterTypes(t.type[kBidirectionallyCoded - 1], kBidirectionalPictureTypes);

  enter(t.motion, kMaxMotionCodeLength, kMotionCodes[0], kMotionCodes[0].length, 0);
  for (uint32_t i = 1; i <= kMaxMotionCode; ++i) {
    for (uint32_t sign = 0; sign < 2; ++sign) {
      const VlcCode withSign = {static_cast<uint16_t>(kMotionCodes[i].bits << 1 | sign),
                                static_cast<uint8_t>(kMotionCodes[i].length + 1)};
      enter(t.motion, kMaxMotionCodeLength, withSign, withSign.length, 1);
      const uint32_t first = uint32_t{withSign.bits} << (kMaxMotionCodeLength - withSign.length);
      for (uint32_t k = 0; k < (1u << (kMaxMotionCodeLength - withSign.length)); ++k) {
        t.motionCode[first + k] = static_cast<int8_t>(sign == 0 ? static_cast<int>(i) : -static_cast<int>(i));
      }
    }
  }

  for (uint32_t i = 1; i < 64; ++i) {
    enter(t.pattern, kMaxCodedBlockPatternLength, kCodedBlockPatternCodes[i], kCodedBlockPatternCodes[i].length,
          static_cast<uint32_t>(__builtin_popcount(i)));
  }

  for (uint32_t size = 0; size <= kMaxDcSize; ++size) {
    enter(t.dcSize[0], kMaxDcSizeChrominanceLength, kDcSizeLuminanceCodes[size],
          kDcSizeLuminanceCodes[size].length + size, size);
    enter(t.dcSize[1], kMaxDcSizeChrominanceLength, kDcSizeChrominanceCodes[size],
          kDcSizeChrominanceCodes[size].length + size, size);
  }

  for (const CoefficientCode& c : kCoefficientCodes) {
    const uint32_t zeros = static_cast<uint32_t>(__builtin_clz(c.code.bits)) - (32 - c.code.length);
    if (zeros < kLongCodeFirstZeros) continue;
    const uint32_t tailLength = c.code.length - zeros + 1;  // from the first 1, with the sign
    for (uint32_t sign = 0; sign < 2; ++sign) {
      const VlcCode tail = {static_cast<uint16_t>((c.code.bits << 1 | sign) & ((1u << tailLength) - 1)),
                            static_cast<uint8_t>(tailLength)};
      enter(t.longCoefficient[zeros - kLongCodeFirstZeros], kLongCodeTailBits, tail, c.code.length + 1u, c.run + 1u);
    }
  }

  const ShortCodes shortCodes = buildShortCodes();
  for (uint32_t state = 0; state < kBlockStateCount; ++state) {
    for (uint32_t index = 0; index < (1u << kStepBits); ++index)
      t.step[state][index] = buildStep(shortCodes, state, index);
  }
  return t;
}

const CodeTables& tables() {
  static const CodeTables kTables = buildTables();
  return kTables;
}

// The block state that opens block `i` of a macroblock, by whether the
// macroblock is intra.
constexpr BlockState kOpeningState[2][kBlocksPerMacroblock] = {
    {kFirstCode, kFirstCode, kFirstCode, kFirstCode, kFirstCode, kFirstCode},
    {kLuminanceDc, kLuminanceDc, kLuminanceDc, kLuminanceDc, kChrominanceDc, kChrominanceDc},
};

// ---------------------------------------------------------------------------
// Reading the bits.

uint64_t loadBigEndian(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

// True when every bit of data[0, length) from bit `from` on is zero.
bool zeroFrom(const uint8_t* data, size_t length, size_t from) {
  size_t byte = from >> 3;
  if (byte >= length) return true;
  if ((data[byte] & (0xFFu >> (from & 7))) != 0) return false;
  for (++byte; byte < length; ++byte) {
    if (data[byte] != 0) return false;
  }
  return true;
}

// The last bytes of a slice's data, followed by zeros: 8 bytes can be loaded
// from any of them.
struct DataTail {
  // The last 7 bytes: from any byte before them 8 can be loaded in place.
  static constexpr size_t kDataBytes = 7;
  static constexpr size_t kSize = 40;

  DataTail(const uint8_t* data, size_t length) : start(length > kDataBytes ? length - kDataBytes : 0) {
    std::memset(bytes, 0, sizeof bytes);
    if (length > 0) std::memcpy(bytes, data + start, length - start);
  }

  const size_t start;  // offset in the data of bytes[0]
  uint8_t bytes[kSize];
};

// The bits of one slice's data, most significant first, in a 64-bit buffer
// that refill() tops up to at least 56 bits. Bits past the data read as zero,
// and no load leaves the data. Neither the data nor the tail is owned; both
// must outlive the buffer.
class BitBuffer {
 public:
  BitBuffer(const uint8_t* data, size_t length, const DataTail& tail)
      : data_(data), length_(length), tailStart_(tail.start), tail_(tail.bytes) {}

  void refill() {
    buffer_ |= load(next_) >> available_;
    next_ += (63 - available_) >> 3;
    available_ |= 56;
  }
  // REQUIRES: 1 <= n <= 32 and n bits available. The next n bits.
  uint32_t top(uint32_t n) const { return static_cast<uint32_t>(buffer_ >> (64 - n)); }
  // The buffered bits, the next one at the top.
  uint64_t bits() const { return buffer_; }
  // REQUIRES: n bits available, n < 64.
  void consume(uint32_t n) {
    buffer_ <<= n;
    available_ -= n;
  }
  // REQUIRES: 1 <= n <= 32. Refills, then reads n bits.
  uint32_t read(uint32_t n) {
    refill();
    const uint32_t value = top(n);
    consume(n);
    return value;
  }

  // Moves to bit `bit` of the data.
  void seek(size_t bit) {
    next_ = bit >> 3;
    buffer_ = 0;
    available_ = 0;
    refill();
    consume(static_cast<uint32_t>(bit & 7));
  }

  // Bits consumed.
  size_t position() const { return next_ * 8 - available_; }
  bool pastEnd() const { return position() > length_ * 8; }

 private:
  uint64_t load(size_t byte) const {
    if (byte < tailStart_) return loadBigEndian(data_ + byte);
    const size_t offset = byte - tailStart_;
    return offset <= DataTail::kSize - 8 ? loadBigEndian(tail_ + offset) : 0;
  }

  const uint8_t* const data_;
  const size_t length_;
  const size_t tailStart_;
  const uint8_t* const tail_;
  uint64_t buffer_ = 0;     // the next bits, first at the top; below the available ones data bits or 0
  uint32_t available_ = 0;  // bits buffered
  size_t next_ = 0;         // the byte the next refill loads first
};

// The length of the run/level code at the top of `bits` that no step holds
// (the escape, or a code with 6 to 11 leading zeros), and the positions it
// fills; length 0 when the bits are no code.
Lookup longCoefficient(const CodeTables& t, uint64_t bits) {
  const uint32_t zeros = bits == 0 ? 64 : static_cast<uint32_t>(__builtin_clzll(bits));
  if (zeros == kEscapeLeadingZeros) {
    constexpr uint32_t kRunAndLevelBits = kCoefficientEscape.length + kEscapeRunBits + kEscapeLevelBits;
    const uint32_t runAndLevel = static_cast<uint32_t>(bits >> (64 - kRunAndLevelBits));
    const uint32_t run = (runAndLevel >> kEscapeLevelBits) & ((1u << kEscapeRunBits) - 1);
    const uint32_t level = runAndLevel & ((1u << kEscapeLevelBits) - 1);
    const bool longLevel = level == kEscapeLongLevelFirst[0] || level == kEscapeLongLevelFirst[1];
    return {static_cast<uint8_t>(kRunAndLevelBits + (longLevel ? kEscapeLevelBits : 0)), static_cast<uint8_t>(run + 1)};
  }
  if (zeros < kLongCodeFirstZeros || zeros > kLongCodeLastZeros) return {0, 0};
  const uint32_t tail = static_cast<uint32_t>((bits << zeros) >> (64 - kLongCodeTailBits));
  return t.longCoefficient[zeros - kLongCodeFirstZeros][tail];
}

// Walks the `blocks` coded blocks of a macroblock. On kInvalidCode the
// buffer stands on the bits that are no code.
// `opening` gives the state each block opens in, `filled` the positions the
// first block holds already.
inline SliceFault walkBlocks(const CodeTables& t, BitBuffer& in, const BlockState* opening, uint32_t blocks,
                             size_t filled = 0) {
  const BlockStep* const nextCodes = t.step[kNextCodes];
  uint32_t state = opening[0];
  const BlockStep* steps = t.step[state];
  uint32_t block = 0;
  for (;;) {
    in.refill();
    for (uint32_t i = 0; i < kStepsPerRefill; ++i) {
      const BlockStep step = steps[in.top(kStepBits)];
      if (step.length == 0) {
        // An element no step holds, read alone.
        in.refill();
        if (state == kLuminanceDc || state == kChrominanceDc) {
          const Lookup dc = t.dcSize[state - kLuminanceDc][in.top(kMaxDcSizeChrominanceLength)];
          if (dc.length == 0) return SliceFault::kInvalidCode;
          in.consume(dc.length);
          filled = 1;
        } else {
          const Lookup code = longCoefficient(t, in.bits());
          if (code.length == 0) return SliceFault::kInvalidCode;
          in.consume(code.length);
          filled += code.value;
          if (filled > kCoefficientsPerBlock) return SliceFault::kTooManyCoefficients;
        }
        state = kNextCodes;
        steps = nextCodes;
        break;
      }
      in.consume(step.length);
      filled += step.endAndPositions >> kStepPositionsShift;
      state = kNextCodes;
      steps = nextCodes;
      if (step.endAndPositions & kStepEndOfBlock) {
        if (filled > kCoefficientsPerBlock) return SliceFault::kTooManyCoefficients;
        if (++block == blocks) return SliceFault::kNone;
        filled = 0;
        state = opening[block];
        steps = t.step[state];
      }
    }
  }
}

// The run/level codes of an intra block whose DC value was read alone.
constexpr BlockState kAfterDc[1] = {kNextCodes};

// A motion vector component reconstructed from its prediction, the motion
// code and motion_r, for vectors whose range f_code sets (11172-2 2.4.4.2).
int16_t reconstructVector(int prediction, int code, uint32_t r, uint32_t fCode) {
  const int f = 1 << (fCode - 1);
  const int complement = f == 1 || code == 0 ? 0 : f - 1 - static_cast<int>(r);
  int little = code * f;
  int big = 0;
  if (little > 0) {
    little -= complement;
    big = little - 32 * f;
  } else if (little < 0) {
    little += complement;
    big = little + 32 * f;
  }
  const int vector = prediction + little;
  return static_cast<int16_t>(vector <= 16 * f - 1 && vector >= -16 * f ? vector : prediction + big);
}

// The DC differential of `size` bits as the value it stands for.
int dcDifferential(uint32_t bits, uint32_t size) {
  if (size == 0) return 0;
  return (bits >> (size - 1)) != 0 ? static_cast<int>(bits) : static_cast<int>(bits) - static_cast<int>((1u << size) - 1);
}

bool usableContext(const SliceContext& p) {
  if (p.widthInMacroblocks == 0 || p.heightInMacroblocks == 0) return false;
  if (uint64_t{p.widthInMacroblocks} * p.heightInMacroblocks > 0xFFFFFFF) return false;
  switch (p.codingType) {
    case kIntraCoded: return true;
    case kPredictiveCoded: return validFCode(p.forwardFCode);
    case kBidirectionallyCoded: return validFCode(p.forwardFCode) && validFCode(p.backwardFCode);
    default: return false;
  }
}

}  // namespace

const char* sliceFaultName(SliceFault fault) {
  switch (fault) {
    case SliceFault::kNone: return "none";
    case SliceFault::kInvalidCode: return "invalid code";
    case SliceFault::kZeroQuantiser: return "zero quantiser";
    case SliceFault::kRowBelowPicture: return "row below picture";
    case SliceFault::kAddressPastPicture: return "address past picture";
    case SliceFault::kFirstMacroblockPastRow: return "first macroblock past row";
    case SliceFault::kSkipInIntraPicture: return "skip in intra picture";
    case SliceFault::kSkipAfterIntra: return "skip after intra";
    case SliceFault::kTooManyCoefficients: return "too many coefficients";
    case SliceFault::kRunsIntoStartCode: return "runs into start code";
    case SliceFault::kTrailingBits: return "trailing bits";
  }
  return "unknown";
}

SliceWalker::SliceWalker(const SliceContext& picture)
    : picture_(picture),
      usable_(usableContext(picture)),
      macroblockCount_(usable_ ? picture.widthInMacroblocks * picture.heightInMacroblocks : 0),
      forwardExtraBits_(validFCode(picture.forwardFCode) ? picture.forwardFCode - 1 : 0),
      backwardExtraBits_(validFCode(picture.backwardFCode) ? picture.backwardFCode - 1 : 0) {
  assert(usable_);
  tables();  // built here rather than in the first walk
}

SliceWalk SliceWalker::walk(uint32_t verticalPosition, const uint8_t* data, size_t length) const {
  return walkSlice<false>(verticalPosition, data, length, nullptr, 0, 0, nullptr);
}

SliceWalk SliceWalker::walk(uint32_t verticalPosition, const uint8_t* data, size_t length,
                            std::vector<MacroblockRecord>* records) const {
  assert(records != nullptr);
  return walkSlice<true>(verticalPosition, data, length, records, 0, 0, nullptr);
}

SliceWalk SliceWalker::resume(size_t fromBit, uint32_t quantiser, const uint8_t* data, size_t length,
                              std::vector<MacroblockRecord>* records, DeadEnds* deadEnds) const {
  assert(records != nullptr && quantiser >= 1 && quantiser <= 31);
  if (fromBit >= length * 8) return {SliceFault::kRunsIntoStartCode, 0, 0};
  return walkSlice<true>(kFirstSliceCode, data, length, records, fromBit, quantiser, deadEnds);
}

template <bool kDetailed>
SliceWalk SliceWalker::walkSlice(uint32_t verticalPosition, const uint8_t* data, size_t length,
                                 std::vector<MacroblockRecord>* records, size_t fromBit,
                                 uint32_t resumeQuantiser, DeadEnds* deadEnds) const {
  // Only resumed walks, which are detailed, keep dead ends: the quick walk
  // pays nothing for them.
  if constexpr (!kDetailed) deadEnds = nullptr;
  assert(verticalPosition >= kFirstSliceCode && verticalPosition <= kLastSliceCode);
  assert(data != nullptr || length == 0);
  if (!usable_) return {SliceFault::kInvalidCode, 0, 0};
  const uint32_t width = picture_.widthInMacroblocks;
  const uint32_t row = verticalPosition - 1;
  if (row >= picture_.heightInMacroblocks) return {SliceFault::kRowBelowPicture, 0, 0};

  const CodeTables& t = tables();
  const DataTail tail(data, length);
  BitBuffer in(data, length, tail);
  // Resuming: addresses count from 0, the quantiser is the one given.
  const bool resuming = resumeQuantiser != 0;
  if (resuming) in.seek(fromBit);
  uint32_t firstAddress = resuming ? 0 : row * width;
  // A fault found at bit `at`: when only zero bits follow, the slice's data
  // ended there and the walk ran into the next start code.
  if (deadEnds != nullptr) deadEnds->beginWalk();
  auto broken = [data, length, &firstAddress, deadEnds](SliceFault fault, size_t at) -> SliceWalk {
    if ((fault == SliceFault::kInvalidCode || fault == SliceFault::kZeroQuantiser) && zeroFrom(data, length, at)) {
      fault = SliceFault::kRunsIntoStartCode;
    }
    if (deadEnds != nullptr) deadEnds->settle(fault);
    return {fault, firstAddress, firstAddress};
  };
  // At a start of `kind`: the fault an earlier walk met from there, which
  // this one then meets too; else the start is entered, and kNone.
  auto knownFault = [length, deadEnds](size_t at, uint32_t kind, uint32_t address) -> SliceFault {
    if (deadEnds == nullptr || at >= length * 8) return SliceFault::kNone;
    const SliceFault known = deadEnds->faultFrom(at, kind);
    if (known != SliceFault::kNone) {
      deadEnds->settle(known);
    } else {
      deadEnds->pass(at, kind, address);
    }
    return known;
  };

  uint32_t quantiser = resumeQuantiser;
  if (!resuming) {
    quantiser = in.read(kQuantiserScaleBits);
    while (in.read(kExtraBitSliceBits) != 0) in.read(kExtraInformationSliceBits);
  }
  if (in.pastEnd()) return broken(SliceFault::kRunsIntoStartCode, 0);
  if (quantiser == 0) return broken(SliceFault::kZeroQuantiser, 0);

  const Lookup* types = t.type[picture_.codingType - 1];
  const bool intraPicture = picture_.codingType == kIntraCoded;
  const bool bidirectional = picture_.codingType == kBidirectionallyCoded;
  uint32_t address = firstAddress;
  bool first = true;
  bool previousIntra = false;
  // What a detailed walk keeps as a decoder does: the vectors predicted
  // from, the DC predictions, and the macroblock before.
  int vectorPrediction[2][2] = {{0, 0}, {0, 0}};
  int dcPrediction[3] = {kDcPredictionStart, kDcPredictionStart, kDcPredictionStart};
  MacroblockRecord previous;
  for (;;) {
    // Stuffing and escapes, then the increment.
    const size_t incrementStart = in.position();
    if (kDetailed && deadEnds != nullptr && !first && incrementStart < length * 8) {
      uint32_t span = 0;
      if (deadEnds->cleanFrom(incrementStart, previousIntra, &span)) {
        // The rest is read as the earlier walk read it, from this address on.
        if (uint64_t{address} + span >= macroblockCount_) return broken(SliceFault::kAddressPastPicture, 0);
        deadEnds->ranClean(address + span, incrementStart);
        return {SliceFault::kNone, firstAddress, address + span};
      }
      const SliceFault known = knownFault(incrementStart, DeadEnds::macroblockAfter(previousIntra), address);
      if (known != SliceFault::kNone) return {known, firstAddress, firstAddress};
    }
    uint32_t increment = 0;
    for (;;) {
      in.refill();
      const Lookup code = t.increment[in.top(kMaxAddressIncrementLength)];
      if (code.length == 0) return broken(SliceFault::kInvalidCode, in.position());
      in.consume(code.length);
      if (code.value <= kMaxAddressIncrement) {
        increment += code.value;
        break;
      }
      if (code.value == kIncrementEscape) {
        increment += kMaxAddressIncrement;
        if (increment > macroblockCount_) {
          return broken(first ? SliceFault::kFirstMacroblockPastRow : SliceFault::kAddressPastPicture, 0);
        }
      }
    }
    const uint32_t skippedFrom = address + 1;
    if (first) {
      if (increment > width && !resuming) return broken(SliceFault::kFirstMacroblockPastRow, 0);
      address = firstAddress + increment - 1;
      firstAddress = address;
    } else {
      if (increment > 1) {
        if (intraPicture) return broken(SliceFault::kSkipInIntraPicture, 0);
        if (bidirectional && previousIntra) return broken(SliceFault::kSkipAfterIntra, 0);
      }
      address += increment;
      if (address >= macroblockCount_) return broken(SliceFault::kAddressPastPicture, 0);
    }
    const bool skips = !first && increment > 1;

    MacroblockRecord record;
    if constexpr (kDetailed) {
      record.address = address;
      record.start = static_cast<uint32_t>(incrementStart);
      record.typeStart = static_cast<uint32_t>(in.position());
      // Skipped macroblocks: in a P picture zero motion, and the vectors
      // predicted from start again; in a B picture the prediction of the
      // macroblock before.
      if (skips && !bidirectional) {
        vectorPrediction[0][0] = vectorPrediction[0][1] = 0;
      }
      if (first || skips || !previousIntra) dcPrediction[0] = dcPrediction[1] = dcPrediction[2] = kDcPredictionStart;
    } else {
      (void)incrementStart;
    }

    in.refill();
    const Lookup type = types[in.top(kMaxMacroblockTypeLength)];
    if (type.length == 0) return broken(SliceFault::kInvalidCode, in.position());
    in.consume(type.length);
    const uint32_t flags = type.value;
    if (flags & kMacroblockQuant) {
      const size_t at = in.position();
      quantiser = in.read(kQuantiserScaleBits);
      if (quantiser == 0) return broken(SliceFault::kZeroQuantiser, at);
    }
    const bool intra = (flags & kMacroblockIntra) != 0;
    if constexpr (kDetailed) {
      record.flags = static_cast<uint8_t>(flags);
      record.hasQuant = (flags & kMacroblockQuant) != 0;
      record.quantiser = static_cast<uint8_t>(quantiser);
      record.motionStart = static_cast<uint32_t>(in.position());
    }
    for (uint32_t direction = 0; direction < 2; ++direction) {
      if (!(flags & (direction == 0 ? kMacroblockMotionForward : kMacroblockMotionBackward))) continue;
      const uint32_t extraBits = direction == 0 ? forwardExtraBits_ : backwardExtraBits_;
      for (uint32_t component = 0; component < 2; ++component) {
        in.refill();
        const uint32_t index = in.top(kMaxMotionCodeLength);
        const Lookup code = t.motion[index];
        if (code.length == 0) return broken(SliceFault::kInvalidCode, in.position());
        if constexpr (kDetailed) {
          in.consume(code.length);
          const uint32_t r = code.value != 0 && extraBits > 0 ? in.read(extraBits) : 0;
          int& prediction = vectorPrediction[direction][component];
          prediction = reconstructVector(prediction, t.motionCode[index], r, extraBits + 1);
          (direction == 0 ? record.forward : record.backward)[component] = static_cast<int16_t>(prediction);
        } else {
          in.consume(code.length + code.value * extraBits);
        }
      }
    }
    if constexpr (kDetailed) {
      record.motionEnd = static_cast<uint32_t>(in.position());
      // A P macroblock without motion has zero motion, and so do the vectors
      // predicted from after it; an intra one starts them again everywhere.
      if (intra || (!bidirectional && !(flags & kMacroblockMotionForward))) {
        vectorPrediction[0][0] = vectorPrediction[0][1] = vectorPrediction[1][0] = vectorPrediction[1][1] = 0;
      }
    }

    uint32_t blocks = intra ? kBlocksPerMacroblock : 0;
    if (flags & kMacroblockPattern) {
      in.refill();
      const Lookup pattern = t.pattern[in.top(kMaxCodedBlockPatternLength)];
      if (pattern.length == 0) return broken(SliceFault::kInvalidCode, in.position());
      in.consume(pattern.length);
      blocks = pattern.value;
    }
    if (kDetailed && intra) {
      // Each block's DC value read alone, then its run/level codes.
      for (uint32_t block = 0; block < kBlocksPerMacroblock; ++block) {
        const uint32_t component = block < kLuminanceBlocks ? 0 : block - kLuminanceBlocks + 1;
        const size_t at = in.position();
        const SliceFault known = knownFault(at, DeadEnds::intraBlock(block), address);
        if (known != SliceFault::kNone) return {known, firstAddress, firstAddress};
        in.refill();
        const Lookup size = t.dcSize[component == 0 ? 0 : 1][in.top(kMaxDcSizeChrominanceLength)];
        if (size.length == 0) return broken(SliceFault::kInvalidCode, in.position());
        in.consume(size.length - size.value);
        const uint32_t bits = size.value > 0 ? in.read(size.value) : 0;
        dcPrediction[component] += dcDifferential(bits, size.value);
        record.dc[block] = static_cast<int16_t>(dcPrediction[component]);
        if (block == 0 || block >= kLuminanceBlocks) {
          const uint32_t slot = block == 0 ? 0 : block - kLuminanceBlocks + 1;
          record.dcStart[slot] = static_cast<uint32_t>(at);
          record.dcEnd[slot] = static_cast<uint32_t>(in.position());
        }
        const SliceFault fault = walkBlocks(t, in, kAfterDc, 1, 1);
        if (fault != SliceFault::kNone) return broken(fault, in.position());
      }
    } else if (kDetailed && deadEnds != nullptr && blocks > 0) {
      // Block by block, each start looked up.
      for (uint32_t left = blocks; left > 0; --left) {
        const SliceFault known = knownFault(in.position(), DeadEnds::codedBlocksLeft(left), address);
        if (known != SliceFault::kNone) return {known, firstAddress, firstAddress};
        const SliceFault fault = walkBlocks(t, in, kOpeningState[intra ? 1 : 0], 1);
        if (fault != SliceFault::kNone) return broken(fault, in.position());
      }
    } else if (blocks > 0) {
      const SliceFault fault = walkBlocks(t, in, kOpeningState[intra ? 1 : 0], blocks);
      if (fault != SliceFault::kNone) return broken(fault, in.position());
    }
    previousIntra = intra;
    first = false;
    if (in.pastEnd()) return broken(SliceFault::kRunsIntoStartCode, 0);
    if constexpr (kDetailed) {
      record.end = static_cast<uint32_t>(in.position());
      // The skipped macroblocks before it, now that it stands whole.
      for (uint32_t skipped = skippedFrom; skips && skipped < address; ++skipped) {
        MacroblockRecord skip;
        skip.address = skipped;
        skip.start = skip.typeStart = skip.motionStart = skip.motionEnd = skip.end = record.start;
        skip.skipped = true;
        skip.quantiser = previous.quantiser;
        if (bidirectional) {
          skip.flags = static_cast<uint8_t>(previous.flags & (kMacroblockMotionForward | kMacroblockMotionBackward));
          std::memcpy(skip.forward, previous.forward, sizeof skip.forward);
          std::memcpy(skip.backward, previous.backward, sizeof skip.backward);
        } else {
          skip.flags = kMacroblockMotionForward;
        }
        records->push_back(skip);
      }
      records->push_back(record);
      previous = record;
      if (bidirectional && !intra) {
        // Skipped macroblocks after it take its prediction: the vectors it
        // has for the directions it does not use are the predictions kept.
        if (!(flags & kMacroblockMotionForward)) {
          previous.forward[0] = static_cast<int16_t>(vectorPrediction[0][0]);
          previous.forward[1] = static_cast<int16_t>(vectorPrediction[0][1]);
        }
        if (!(flags & kMacroblockMotionBackward)) {
          previous.backward[0] = static_cast<int16_t>(vectorPrediction[1][0]);
          previous.backward[1] = static_cast<int16_t>(vectorPrediction[1][1]);
        }
      }
    } else {
      (void)skippedFrom;
      (void)previous;
      (void)records;
    }
    in.refill();
    if (in.top(kSliceEndZeroBits) == 0) break;
  }
  if (!zeroFrom(data, length, in.position())) return broken(SliceFault::kTrailingBits, 0);
  if (deadEnds != nullptr) deadEnds->ranClean(address);
  return {SliceFault::kNone, firstAddress, address};
}

template SliceWalk SliceWalker::walkSlice<false>(uint32_t, const uint8_t*, size_t, std::vector<MacroblockRecord>*,
                                                 size_t, uint32_t, DeadEnds*) const;
template SliceWalk SliceWalker::walkSlice<true>(uint32_t, const uint8_t*, size_t, std::vector<MacroblockRecord>*,
                                                size_t, uint32_t, DeadEnds*) const;
