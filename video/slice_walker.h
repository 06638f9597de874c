#ifndef ORVANTE_VIDEO_SLICE_WALKER_H_
#define ORVANTE_VIDEO_SLICE_WALKER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

class DeadEnds;

// What a slice is walked against: the picture it belongs to.
struct SliceContext {
  uint32_t codingType;           // 1 I, 2 P, 3 B (kIntraCoded ...); D pictures are never walked
  uint32_t forwardFCode;         // 1..7, P and B pictures
  uint32_t backwardFCode;        // 1..7, B pictures
  uint32_t widthInMacroblocks;   // (width + 15) / 16
  uint32_t heightInMacroblocks;  // (height + 15) / 16
};

// Why a slice does not parse as MPEG-1 slice syntax.
enum class SliceFault : uint8_t {
  kNone,
  kInvalidCode,             // a bit pattern that is no code of its table (coded_block_pattern 0 among them)
  kZeroQuantiser,           // quantiser_scale 0, in the slice header or a macroblock
  kRowBelowPicture,         // the start code's row lies below the picture
  kAddressPastPicture,      // a macroblock address runs past the picture's last macroblock
  kFirstMacroblockPastRow,  // the first macroblock lies beyond the row of the start code
  kSkipInIntraPicture,      // an I picture skips a macroblock
  kSkipAfterIntra,          // a B picture skips right after an intra macroblock
  kTooManyCoefficients,     // a block holds more than 64 coefficients
  kRunsIntoStartCode,       // the data ends before the macroblocks do (a fault with only zero bits after it)
  kTrailingBits,            // a bit that is not zero follows the last macroblock
};

// A short lower-case name of the fault, for messages.
const char* sliceFaultName(SliceFault fault);

// The outcome of walking one slice.
struct SliceWalk {
  SliceFault fault;
  // Addresses (row * width + column) of the slice's first and last
  // macroblocks, valid when there is no fault. On a fault, firstMacroblock is
  // the first macroblock's address when it was read and lies in the picture,
  // else the address of the start code's row (0 below the picture), and
  // lastMacroblock equals it.
  uint32_t firstMacroblock;
  uint32_t lastMacroblock;
};

// One macroblock as a detailed walk found it: where its syntax lies in the
// slice's data, what it does, and what a decoder keeps from it. Bit offsets
// count from the first bit after the slice's start code. A skipped
// macroblock has no bits of its own: all its offsets are those of the
// increment of the macroblock that follows it.
struct MacroblockRecord {
  uint32_t address = 0;
  uint32_t start = 0;        // its address increment (with stuffing and escapes)
  uint32_t typeStart = 0;    // its macroblock_type
  uint32_t motionStart = 0;  // its motion codes (past the type and any quantiser)
  uint32_t motionEnd = 0;    // its coded_block_pattern, or its blocks
  uint32_t end = 0;          // past its last block
  // Intra: where the DC size and differential of blocks 0 (the first
  // luminance block), 4 (Cb) and 5 (Cr) lie.
  uint32_t dcStart[3] = {0, 0, 0};
  uint32_t dcEnd[3] = {0, 0, 0};
  uint8_t flags = 0;         // MacroblockFlags; for a skipped one, the prediction it takes
  bool skipped = false;
  bool hasQuant = false;     // its type carries a quantiser_scale
  uint8_t quantiser = 0;     // in effect for it
  // The motion vectors it is predicted with, as reconstructed in the units
  // of the picture's vectors (half or full pixels, as its header says):
  // those of a skipped macroblock included; 0 where it has none.
  int16_t forward[2] = {0, 0};   // horizontal, vertical
  int16_t backward[2] = {0, 0};
  // Intra: each block's DC value, differentials added to predictions that
  // start at 128.
  int16_t dc[6] = {0, 0, 0, 0, 0, 0};
};

// SliceWalker walks the macroblock layer of the slices of one MPEG-1 picture
// without reconstructing pixels: address increments with escapes and
// stuffing, macroblock types, quantiser scales, motion codes with their
// f_code bits, block patterns, DC sizes and differentials, and run/level
// codes with the MPEG-1 escape, up to the end of the slice (after a
// macroblock, the next 23 bits are zero, bits past the data counting as
// zero). It tells whether the slice is well formed and which macroblocks it
// covers.
//
// Choices where decoders and the syntax leave room:
// - What follows the last macroblock: zero bits up to the byte boundary are
//   the slice's normal end, and whole zero bytes after them are stuffing
//   allowed before a start code; any bit 1 is kTrailingBits.
// - The first macroblock must lie in the row of the slice's start code
//   (kFirstMacroblockPastRow): decoders reject a slice whose first increment
//   leaves that row.
// - Macroblock stuffing and escapes are taken in any order before an
//   increment, as decoders take them.
// - An escaped level is a value, not a code: one that has a shorter form, or
//   is 0, is read as it stands, as decoders read it.
// - DC sizes above 8 (an MPEG-2 extension) are invalid codes.
//
// The walker holds only the picture's context; walk() keeps no state, may be
// called from several threads at once, reads nothing outside the bytes it is
// given and ends on any input. The lookup tables (about 140 KB) are built
// once, by the first walker constructed.
class SliceWalker {
 public:
  // REQUIRES: picture.codingType is 1, 2 or 3; the f_codes the type uses are
  // 1..7; width and height are at least 1. Otherwise (without asserts) every
  // walk is kInvalidCode.
  explicit SliceWalker(const SliceContext& picture);

  // Walks the slice whose start code has the value verticalPosition, with
  // data the bytes after the start code up to, not including, the next start
  // code's 00 00 01 (zero bytes before it may be included). Bits past
  // data + length read as zero; no byte outside it is read.
  // REQUIRES: 1 <= verticalPosition <= 0xAF; data is not null when length > 0.
  SliceWalk walk(uint32_t verticalPosition, const uint8_t* data, size_t length) const;
  // The same walk, which also appends to `records` every macroblock it
  // read whole, skipped ones included, in address order; on a fault, those
  // before the one it broke in. Slower: for slices whose macroblocks are to
  // be kept one by one.
  SliceWalk walk(uint32_t verticalPosition, const uint8_t* data, size_t length,
                 std::vector<MacroblockRecord>* records) const;
  uint32_t codingType() const { return picture_.codingType; }

  // A detailed walk resumed in the middle of a slice, after data was lost:
  // from bit `fromBit` of the slice's data, as if a macroblock's increment
  // began there, with `quantiser` in effect and the predictions a slice
  // starts with. Addresses count from 0 (the first macroblock's is its
  // increment - 1), and no address is past the picture's count. Only a walk
  // that runs to the slice's end without a fault tells anything: where the
  // macroblocks lie is then known from where the slice ends.
  // With `deadEnds` (kept over walks of the same data), a walk that reaches
  // a macroblock start known to lead to a fault stops there with that fault,
  // its records ending before it; one that reaches a start from which an
  // earlier walk ran clean stops there too, its records ending before it,
  // with the fault and last address the walk on would have had, and
  // deadEnds->joinedAt() telling where. The starts it passes are entered.
  // REQUIRES: 1 <= quantiser <= 31; deadEnds, if given, reset to `length`;
  // as walk().
  SliceWalk resume(size_t fromBit, uint32_t quantiser, const uint8_t* data, size_t length,
                   std::vector<MacroblockRecord>* records, DeadEnds* deadEnds = nullptr) const;

 private:
  template <bool kDetailed>
  SliceWalk walkSlice(uint32_t verticalPosition, const uint8_t* data, size_t length,
                      std::vector<MacroblockRecord>* records, size_t fromBit, uint32_t resumeQuantiser,
                      DeadEnds* deadEnds) const;

  const SliceContext picture_;
  const bool usable_;                // the context meets the REQUIRES above
  const uint32_t macroblockCount_;   // width * height
  const uint32_t forwardExtraBits_;  // f_code - 1
  const uint32_t backwardExtraBits_;
};

#endif  // ORVANTE_VIDEO_SLICE_WALKER_H_
