#ifndef ORVANTE_VIDEO_MACROBLOCK_CODES_H_
#define ORVANTE_VIDEO_MACROBLOCK_CODES_H_

#include <cstddef>
#include <cstdint>

// The slice and macroblock layers of MPEG-1 video (ISO/IEC 11172-2, 2.4.2.7
// to 2.4.2.8 and annex B): field widths and the variable-length code tables,
// written out as the bit strings of annex B. This is the one place that holds
// them; the slice walker builds its lookup tables from them and the repeat
// slice writer takes its codes from them. The static_asserts at the end check
// that every table is a prefix code that fills exactly the space its unused
// patterns leave, so a wrong length or a mistyped code does not compile.

// A code: `length` bits, the low bits of `bits`, first bit most significant.
struct VlcCode {
  uint16_t bits;
  uint8_t length;
};

// Slice header, after the slice start code 00 00 01 01..AF.
constexpr uint32_t kQuantiserScaleBits = 5;  // 1..31; 0 is forbidden
constexpr uint32_t kExtraBitSliceBits = 1;   // 1: one more byte of extra information follows
constexpr uint32_t kExtraInformationSliceBits = 8;
// A slice ends where, after a macroblock, the next 23 bits are zero: the
// zero bits of the following start code's prefix 00 00 01 and at most 7
// bits of padding to the byte.
constexpr uint32_t kSliceEndZeroBits = 23;
static_assert(kSliceEndZeroBits == 2 * 8 + 7, "two zero bytes of the prefix and up to 7 bits before them");

// Macroblock layout (4:2:0): four luminance blocks, then Cb and Cr.
constexpr uint32_t kLuminanceBlocks = 4;
constexpr uint32_t kChrominanceBlocks = 2;
constexpr uint32_t kBlocksPerMacroblock = kLuminanceBlocks + kChrominanceBlocks;
// The colour component block b of a macroblock is of: 0 luminance, 1 Cb,
// 2 Cr.
constexpr uint32_t kColourComponents = 1 + kChrominanceBlocks;
constexpr uint32_t componentOfBlock(uint32_t b) { return b < kLuminanceBlocks ? 0 : b - kLuminanceBlocks + 1; }
static_assert(componentOfBlock(kBlocksPerMacroblock - 1) == kColourComponents - 1, "Cr is the last component");
constexpr uint32_t kCoefficientsPerBlock = 8 * 8;
constexpr uint32_t kMacroblockSize = 16;  // pixels, both ways

// macroblock_address_increment (B.1): index i holds the code of i + 1.
constexpr uint32_t kMaxAddressIncrement = 33;
constexpr VlcCode kAddressIncrementCodes[kMaxAddressIncrement] = {
    {0b1, 1},            {0b011, 3},          {0b010, 3},          {0b0011, 4},         {0b0010, 4},
    {0b0001'1, 5},       {0b0001'0, 5},       {0b0000'111, 7},     {0b0000'110, 7},     {0b0000'1011, 8},
    {0b0000'1010, 8},    {0b0000'1001, 8},    {0b0000'1000, 8},    {0b0000'0111, 8},    {0b0000'0110, 8},
    {0b0000'0101'11, 10}, {0b0000'0101'10, 10}, {0b0000'0101'01, 10}, {0b0000'0101'00, 10}, {0b0000'0100'11, 10},
    {0b0000'0100'10, 10}, {0b0000'0100'011, 11}, {0b0000'0100'010, 11}, {0b0000'0100'001, 11},
    {0b0000'0100'000, 11}, {0b0000'0011'111, 11}, {0b0000'0011'110, 11}, {0b0000'0011'101, 11},
    {0b0000'0011'100, 11}, {0b0000'0011'011, 11}, {0b0000'0011'010, 11}, {0b0000'0011'001, 11},
    {0b0000'0011'000, 11},
};
constexpr VlcCode kMacroblockEscape = {0b0000'0001'000, 11};    // adds 33 to the increment
constexpr VlcCode kMacroblockStuffing = {0b0000'0001'111, 11};  // means nothing
constexpr uint32_t kMaxAddressIncrementLength = 11;

// macroblock_type (B.2a to B.2c): the code and what the macroblock carries.
enum MacroblockFlags : uint8_t {
  kMacroblockQuant = 1,           // a quantiser_scale follows the type
  kMacroblockMotionForward = 2,   // forward motion codes follow
  kMacroblockMotionBackward = 4,  // backward motion codes follow
  kMacroblockPattern = 8,         // a coded_block_pattern follows
  kMacroblockIntra = 16,          // all six blocks follow, intra coded
};
struct MacroblockTypeCode {
  VlcCode code;
  uint8_t flags;
};
constexpr uint32_t kMaxMacroblockTypeLength = 6;
constexpr MacroblockTypeCode kIntraPictureTypes[] = {
    {{0b1, 1}, kMacroblockIntra},
    {{0b01, 2}, kMacroblockIntra | kMacroblockQuant},
};
constexpr MacroblockTypeCode kPredictivePictureTypes[] = {
    {{0b1, 1}, kMacroblockMotionForward | kMacroblockPattern},
    {{0b01, 2}, kMacroblockPattern},
    {{0b001, 3}, kMacroblockMotionForward},  // motion compensated, not coded
    {{0b0001'1, 5}, kMacroblockIntra},
    {{0b0001'0, 5}, kMacroblockMotionForward | kMacroblockPattern | kMacroblockQuant},
    {{0b0000'1, 5}, kMacroblockPattern | kMacroblockQuant},
    {{0b0000'01, 6}, kMacroblockIntra | kMacroblockQuant},
};
constexpr MacroblockTypeCode kBidirectionalPictureTypes[] = {
    {{0b10, 2}, kMacroblockMotionForward | kMacroblockMotionBackward},
    {{0b11, 2}, kMacroblockMotionForward | kMacroblockMotionBackward | kMacroblockPattern},
    {{0b010, 3}, kMacroblockMotionBackward},  // backward, not coded
    {{0b011, 3}, kMacroblockMotionBackward | kMacroblockPattern},
    {{0b0010, 4}, kMacroblockMotionForward},  // forward, not coded
    {{0b0011, 4}, kMacroblockMotionForward | kMacroblockPattern},
    {{0b0001'1, 5}, kMacroblockIntra},
    {{0b0001'0, 5}, kMacroblockMotionForward | kMacroblockMotionBackward | kMacroblockPattern | kMacroblockQuant},
    {{0b0000'11, 6}, kMacroblockMotionForward | kMacroblockPattern | kMacroblockQuant},
    {{0b0000'10, 6}, kMacroblockMotionBackward | kMacroblockPattern | kMacroblockQuant},
    {{0b0000'01, 6}, kMacroblockIntra | kMacroblockQuant},
};

// motion_horizontal/vertical_code (B.4): index i holds the code of +i and -i;
// a sign bit (0 for +) follows every code but that of 0, then f_code - 1
// bits of motion_r when f_code > 1.
constexpr uint32_t kMaxMotionCode = 16;
constexpr VlcCode kMotionCodes[kMaxMotionCode + 1] = {
    {0b1, 1},              {0b01, 2},             {0b001, 3},            {0b0001, 4},
    {0b0000'11, 6},        {0b0000'101, 7},       {0b0000'100, 7},       {0b0000'011, 7},
    {0b0000'0101'1, 9},    {0b0000'0101'0, 9},    {0b0000'0100'1, 9},    {0b0000'0100'01, 10},
    {0b0000'0100'00, 10},  {0b0000'0011'11, 10},  {0b0000'0011'10, 10},  {0b0000'0011'01, 10},
    {0b0000'0011'00, 10},
};
constexpr uint32_t kMaxMotionCodeLength = 10 + 1;  // with the sign
constexpr uint32_t kMinFCode = 1;
constexpr uint32_t kMaxFCode = 7;
constexpr bool validFCode(uint32_t f) { return f >= kMinFCode && f <= kMaxFCode; }

// coded_block_pattern (B.3): index i holds the code of pattern i, bit 5 for
// the first luminance block down to bit 0 for Cr. MPEG-1 has no pattern 0.
constexpr VlcCode kCodedBlockPatternCodes[64] = {
    {0, 0},               {0b0101'1, 5},        {0b0100'1, 5},        {0b0011'01, 6},
    {0b1101, 4},          {0b0010'111, 7},      {0b0010'011, 7},      {0b0001'1111, 8},
    {0b1100, 4},          {0b0010'110, 7},      {0b0010'010, 7},      {0b0001'1110, 8},
    {0b1001'1, 5},        {0b0001'1011, 8},     {0b0001'0111, 8},     {0b0001'0011, 8},
    {0b1011, 4},          {0b0010'101, 7},      {0b0010'001, 7},      {0b0001'1101, 8},
    {0b1000'1, 5},        {0b0001'1001, 8},     {0b0001'0101, 8},     {0b0001'0001, 8},
    {0b0011'11, 6},       {0b0000'1111, 8},     {0b0000'1101, 8},     {0b0000'0001'1, 9},
    {0b0111'1, 5},        {0b0000'1011, 8},     {0b0000'0111, 8},     {0b0000'0011'1, 9},
    {0b1010, 4},          {0b0010'100, 7},      {0b0010'000, 7},      {0b0001'1100, 8},
    {0b0011'10, 6},       {0b0000'1110, 8},     {0b0000'1100, 8},     {0b0000'0001'0, 9},
    {0b1000'0, 5},        {0b0001'1000, 8},     {0b0001'0100, 8},     {0b0001'0000, 8},
    {0b0111'0, 5},        {0b0000'1010, 8},     {0b0000'0110, 8},     {0b0000'0011'0, 9},
    {0b1001'0, 5},        {0b0001'1010, 8},     {0b0001'0110, 8},     {0b0001'0010, 8},
    {0b0110'1, 5},        {0b0000'1001, 8},     {0b0000'0101, 8},     {0b0000'0010'1, 9},
    {0b0110'0, 5},        {0b0000'1000, 8},     {0b0000'0100, 8},     {0b0000'0010'0, 9},
    {0b111, 3},           {0b0101'0, 5},        {0b0100'0, 5},        {0b0011'00, 6},
};
constexpr uint32_t kMaxCodedBlockPatternLength = 9;

// dct_dc_size_luminance and dct_dc_size_chrominance (B.5a, B.5b): index i
// holds the code of size i; i bits of differential follow when i > 0.
constexpr uint32_t kMaxDcSize = 8;
constexpr VlcCode kDcSizeLuminanceCodes[kMaxDcSize + 1] = {
    {0b100, 3}, {0b00, 2}, {0b01, 2}, {0b101, 3}, {0b110, 3}, {0b1110, 4}, {0b1111'0, 5}, {0b1111'10, 6},
    {0b1111'110, 7},
};
constexpr VlcCode kDcSizeChrominanceCodes[kMaxDcSize + 1] = {
    {0b00, 2}, {0b01, 2}, {0b10, 2}, {0b110, 3}, {0b1110, 4}, {0b1111'0, 5}, {0b1111'10, 6}, {0b1111'110, 7},
    {0b1111'1110, 8},
};
constexpr uint32_t kMaxDcSizeChrominanceLength = 8;
// The DC value each component's prediction starts from, at a slice's start
// and after a macroblock that is not intra: 1024, in steps of 8.
constexpr int kDcPredictionStart = 1024 / 8;
// Bits a DC differential of `value` takes: its dct_dc_size.
constexpr uint32_t dcSize(int value) {
  uint32_t magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
  uint32_t size = 0;
  while (magnitude != 0) {
    ++size;
    magnitude >>= 1;
  }
  return size;
}
static_assert(dcSize(255) == kMaxDcSize && dcSize(-1) == 1 && dcSize(0) == 0, "DC sizes count the differential's bits");

// dct_coeff_first and dct_coeff_next (B.5c): run of zero coefficients and
// level; a sign bit follows every code. As the first code of a non-intra
// block, run 0 level 1 is "1s" instead of "11s", and there is no end of
// block.
struct CoefficientCode {
  VlcCode code;
  uint8_t run;
  uint8_t level;
};
constexpr VlcCode kEndOfBlock = {0b10, 2};
constexpr VlcCode kFirstCoefficientRunZeroLevelOne = {0b1, 1};
constexpr VlcCode kCoefficientEscape = {0b0000'01, 6};
constexpr uint32_t kEscapeRunBits = 6;
constexpr uint32_t kEscapeLevelBits = 8;  // -127..127; 0x00 and 0x80 announce 8 bits more
constexpr uint32_t kEscapeLongLevelFirst[2] = {0x00, 0x80};
constexpr uint32_t kMaxCoefficientLength = 16 + 1;  // with the sign
constexpr CoefficientCode kCoefficientCodes[] = {
    {{0b11, 2}, 0, 1},                    {{0b011, 3}, 1, 1},                   {{0b0100, 4}, 0, 2},
    {{0b0101, 4}, 2, 1},                  {{0b0010'1, 5}, 0, 3},                {{0b0011'1, 5}, 3, 1},
    {{0b0011'0, 5}, 4, 1},                {{0b0001'10, 6}, 1, 2},               {{0b0001'11, 6}, 5, 1},
    {{0b0001'01, 6}, 6, 1},               {{0b0001'00, 6}, 7, 1},               {{0b0000'110, 7}, 0, 4},
    {{0b0000'100, 7}, 2, 2},              {{0b0000'111, 7}, 8, 1},              {{0b0000'101, 7}, 9, 1},
    {{0b0010'0110, 8}, 0, 5},             {{0b0010'0001, 8}, 0, 6},             {{0b0010'0101, 8}, 1, 3},
    {{0b0010'0100, 8}, 3, 2},             {{0b0010'0111, 8}, 10, 1},            {{0b0010'0011, 8}, 11, 1},
    {{0b0010'0010, 8}, 12, 1},            {{0b0010'0000, 8}, 13, 1},            {{0b0000'0010'10, 10}, 0, 7},
    {{0b0000'0011'00, 10}, 1, 4},         {{0b0000'0010'11, 10}, 2, 3},         {{0b0000'0011'11, 10}, 4, 2},
    {{0b0000'0010'01, 10}, 5, 2},         {{0b0000'0011'10, 10}, 14, 1},        {{0b0000'0011'01, 10}, 15, 1},
    {{0b0000'0010'00, 10}, 16, 1},        {{0b0000'0001'1101, 12}, 0, 8},       {{0b0000'0001'1000, 12}, 0, 9},
    {{0b0000'0001'0011, 12}, 0, 10},      {{0b0000'0001'0000, 12}, 0, 11},      {{0b0000'0001'1011, 12}, 1, 5},
    {{0b0000'0001'0100, 12}, 2, 4},       {{0b0000'0001'1100, 12}, 3, 3},       {{0b0000'0001'0010, 12}, 4, 3},
    {{0b0000'0001'1110, 12}, 6, 2},       {{0b0000'0001'0101, 12}, 7, 2},       {{0b0000'0001'0001, 12}, 8, 2},
    {{0b0000'0001'1111, 12}, 17, 1},      {{0b0000'0001'1010, 12}, 18, 1},      {{0b0000'0001'1001, 12}, 19, 1},
    {{0b0000'0001'0111, 12}, 20, 1},      {{0b0000'0001'0110, 12}, 21, 1},      {{0b0000'0000'1101'0, 13}, 0, 12},
    {{0b0000'0000'1100'1, 13}, 0, 13},    {{0b0000'0000'1100'0, 13}, 0, 14},    {{0b0000'0000'1011'1, 13}, 0, 15},
    {{0b0000'0000'1011'0, 13}, 1, 6},     {{0b0000'0000'1010'1, 13}, 1, 7},     {{0b0000'0000'1010'0, 13}, 2, 5},
    {{0b0000'0000'1001'1, 13}, 3, 4},     {{0b0000'0000'1001'0, 13}, 5, 3},     {{0b0000'0000'1000'1, 13}, 9, 2},
    {{0b0000'0000'1000'0, 13}, 10, 2},    {{0b0000'0000'1111'1, 13}, 22, 1},    {{0b0000'0000'1111'0, 13}, 23, 1},
    {{0b0000'0000'1110'1, 13}, 24, 1},    {{0b0000'0000'1110'0, 13}, 25, 1},    {{0b0000'0000'1101'1, 13}, 26, 1},
    {{0b0000'0000'0111'11, 14}, 0, 16},   {{0b0000'0000'0111'10, 14}, 0, 17},   {{0b0000'0000'0111'01, 14}, 0, 18},
    {{0b0000'0000'0111'00, 14}, 0, 19},   {{0b0000'0000'0110'11, 14}, 0, 20},   {{0b0000'0000'0110'10, 14}, 0, 21},
    {{0b0000'0000'0110'01, 14}, 0, 22},   {{0b0000'0000'0110'00, 14}, 0, 23},   {{0b0000'0000'0101'11, 14}, 0, 24},
    {{0b0000'0000'0101'10, 14}, 0, 25},   {{0b0000'0000'0101'01, 14}, 0, 26},   {{0b0000'0000'0101'00, 14}, 0, 27},
    {{0b0000'0000'0100'11, 14}, 0, 28},   {{0b0000'0000'0100'10, 14}, 0, 29},   {{0b0000'0000'0100'01, 14}, 0, 30},
    {{0b0000'0000'0100'00, 14}, 0, 31},   {{0b0000'0000'0011'000, 15}, 0, 32},  {{0b0000'0000'0010'111, 15}, 0, 33},
    {{0b0000'0000'0010'110, 15}, 0, 34},  {{0b0000'0000'0010'101, 15}, 0, 35},  {{0b0000'0000'0010'100, 15}, 0, 36},
    {{0b0000'0000'0010'011, 15}, 0, 37},  {{0b0000'0000'0010'010, 15}, 0, 38},  {{0b0000'0000'0010'001, 15}, 0, 39},
    {{0b0000'0000'0010'000, 15}, 0, 40},  {{0b0000'0000'0011'111, 15}, 1, 8},   {{0b0000'0000'0011'110, 15}, 1, 9},
    {{0b0000'0000'0011'101, 15}, 1, 10},  {{0b0000'0000'0011'100, 15}, 1, 11},  {{0b0000'0000'0011'011, 15}, 1, 12},
    {{0b0000'0000'0011'010, 15}, 1, 13},  {{0b0000'0000'0011'001, 15}, 1, 14},  {{0b0000'0000'0001'0011, 16}, 1, 15},
    {{0b0000'0000'0001'0010, 16}, 1, 16}, {{0b0000'0000'0001'0001, 16}, 1, 17}, {{0b0000'0000'0001'0000, 16}, 1, 18},
    {{0b0000'0000'0001'0100, 16}, 6, 3},  {{0b0000'0000'0001'1010, 16}, 11, 2}, {{0b0000'0000'0001'1001, 16}, 12, 2},
    {{0b0000'0000'0001'1000, 16}, 13, 2}, {{0b0000'0000'0001'0111, 16}, 14, 2}, {{0b0000'0000'0001'0110, 16}, 15, 2},
    {{0b0000'0000'0001'0101, 16}, 16, 2}, {{0b0000'0000'0001'1111, 16}, 27, 1}, {{0b0000'0000'0001'1110, 16}, 28, 1},
    {{0b0000'0000'0001'1101, 16}, 29, 1}, {{0b0000'0000'0001'1100, 16}, 30, 1}, {{0b0000'0000'0001'1011, 16}, 31, 1},
};

// ---------------------------------------------------------------------------
// Compile-time checks: each table is a prefix code, and the codes with their
// sign bits fill the code space but for the patterns the table leaves unused.

namespace macroblock_codes_check {

// How many of the 2^depth patterns of `depth` bits begin with the code. A
// code followed by a sign bit covers as many as the code alone.
constexpr uint64_t share(VlcCode c, uint32_t depth) { return c.length == 0 ? 0 : uint64_t{1} << (depth - c.length); }

constexpr bool isPrefixOf(VlcCode a, VlcCode b) {
  return a.length != 0 && b.length != 0 && a.length <= b.length && (b.bits >> (b.length - a.length)) == a.bits;
}

template <size_t N>
constexpr uint64_t codeShare(const VlcCode (&codes)[N], uint32_t depth) {
  uint64_t sum = 0;
  for (size_t i = 0; i < N; ++i) sum += share(codes[i], depth);
  return sum;
}
template <size_t N>
constexpr bool prefixFree(const VlcCode (&codes)[N]) {
  for (size_t i = 0; i < N; ++i)
    for (size_t j = 0; j < N; ++j)
      if (i != j && isPrefixOf(codes[i], codes[j])) return false;
  return true;
}
template <size_t N>
constexpr uint64_t typeShare(const MacroblockTypeCode (&types)[N]) {
  uint64_t sum = 0;
  for (size_t i = 0; i < N; ++i) sum += share(types[i].code, kMaxMacroblockTypeLength);
  return sum;
}
template <size_t N>
constexpr bool typesPrefixFree(const MacroblockTypeCode (&types)[N]) {
  for (size_t i = 0; i < N; ++i)
    for (size_t j = 0; j < N; ++j)
      if (i != j && isPrefixOf(types[i].code, types[j].code)) return false;
  return true;
}

// Coefficient codes with their sign bit, end of block and escape.
constexpr uint64_t coefficientShare() {
  uint64_t sum = share(kEndOfBlock, 16) + share(kCoefficientEscape, 16);
  for (const CoefficientCode& c : kCoefficientCodes) sum += share(c.code, 16);
  return sum;
}
constexpr bool coefficientsPrefixFree() {
  for (const CoefficientCode& a : kCoefficientCodes) {
    if (isPrefixOf(a.code, kEndOfBlock) || isPrefixOf(kEndOfBlock, a.code) ||
        isPrefixOf(a.code, kCoefficientEscape) || isPrefixOf(kCoefficientEscape, a.code))
      return false;
    for (const CoefficientCode& b : kCoefficientCodes)
      if (&a != &b && isPrefixOf(a.code, b.code)) return false;
  }
  return true;
}
// macroblock_address_increment leaves 0000 0000 xxx, 0000 0010 xxx and
// 0000 0001 001..110 unused (11-bit patterns).
static_assert(prefixFree(kAddressIncrementCodes), "address increments form a prefix code");
static_assert(codeShare(kAddressIncrementCodes, 11) + share(kMacroblockEscape, 11) + share(kMacroblockStuffing, 11) ==
                  2048 - 8 - 8 - 6,
              "address increments fill the code space");
// Types leave 00 (I) and 0000 00 (P, B) unused.
static_assert(typesPrefixFree(kIntraPictureTypes) && typesPrefixFree(kPredictivePictureTypes) &&
                  typesPrefixFree(kBidirectionalPictureTypes),
              "macroblock types form prefix codes");
static_assert(typeShare(kIntraPictureTypes) == 64 - 16, "I macroblock types leave 00 unused");
static_assert(typeShare(kPredictivePictureTypes) == 64 - 1, "P macroblock types leave 0000 00 unused");
static_assert(typeShare(kBidirectionalPictureTypes) == 64 - 1, "B macroblock types leave 0000 00 unused");
// Motion codes leave 0000 000 and 0000 0010 unused.
static_assert(prefixFree(kMotionCodes), "motion codes form a prefix code");
static_assert(codeShare(kMotionCodes, 10) == 1024 - 8 - 4, "motion codes leave 0000 000 and 0000 0010 unused");
// Coded block patterns leave 0000 0000 x unused.
static_assert(prefixFree(kCodedBlockPatternCodes), "block patterns form a prefix code");
static_assert(codeShare(kCodedBlockPatternCodes, 9) == 512 - 2, "block patterns leave 0000 0000 x unused");
// DC sizes leave 1111 111 (luminance) and 1111 1111 (chrominance) unused.
static_assert(prefixFree(kDcSizeLuminanceCodes) && prefixFree(kDcSizeChrominanceCodes), "DC sizes form prefix codes");
static_assert(codeShare(kDcSizeLuminanceCodes, 8) == 256 - 2, "luminance DC sizes leave 1111 111 unused");
static_assert(codeShare(kDcSizeChrominanceCodes, 8) == 256 - 1, "chrominance DC sizes leave 1111 1111 unused");
// Coefficient codes leave 0000 0000 0000 xxxx unused.
static_assert(coefficientsPrefixFree(), "coefficient codes form a prefix code");
static_assert(coefficientShare() == 65536 - 16, "coefficient codes leave 0000 0000 0000 xxxx unused");
static_assert(sizeof(kCoefficientCodes) / sizeof(kCoefficientCodes[0]) == 111, "B.5c lists 111 run/level pairs");

}  // namespace macroblock_codes_check

#endif  // ORVANTE_VIDEO_MACROBLOCK_CODES_H_
