#ifndef ORVANTE_VIDEO_SLICE_CODER_H_
#define ORVANTE_VIDEO_SLICE_CODER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "source/bit_packer.h"
#include "video/slice_walker.h"

// SliceCoder writes the slices of one picture macroblock by macroblock. It
// keeps what a decoder keeps as it reads them (the quantiser, the motion
// vectors predicted from, the DC predictions, the prediction a skipped
// macroblock takes), so that each macroblock decodes to what it is asked to
// show:
//   - copy(): a macroblock of the input, from the bits of the slice it was
//     walked in (MacroblockRecord). What the new place changes is coded
//     again: the increment, the type (an I picture's intra macroblocks in a
//     P picture, a quantiser that is no longer in effect), the motion codes
//     and the DC differentials that start its predictions; its coefficients
//     are copied as they stand;
//   - predict(): a macroblock motion compensated, not coded, with the
//     vectors given, or skipped where a skip means the same;
//   - intra(): an intra macroblock of DC values alone.
// Macroblocks of one slice come in increasing address order; a slice may
// start at any macroblock of its row and run on into the next rows.
//
// The coder holds the picture's context and appends to a byte vector it does
// not own, which must outlive it.
class SliceCoder {
 public:
  // `picture`: the picture written (its type, vector ranges and size);
  // `fullPel`: its vectors count whole pixels (forward, backward), as its
  // header says. Only vectors that fit its ranges may be given.
  // REQUIRES: as for SliceWalker.
  SliceCoder(const SliceContext& picture, std::vector<uint8_t>* out);

  // Starts a slice whose first macroblock is at `address`, with the
  // quantiser `quantiser` in effect until a macroblock changes it.
  // REQUIRES: no slice is open; address < width * height, in a row a slice
  // start code can name; 1 <= quantiser <= 31.
  void begin(uint32_t address, uint32_t quantiser);
  // REQUIRES: a slice is open, mb.address follows the last macroblock
  // written; `data` is the slice data (after the start code) mb was walked
  // in, `length` bytes; mb was walked in a picture of this one's type, or is
  // an intra macroblock of an I picture written into a P or B picture.
  void copy(const MacroblockRecord& mb, const uint8_t* data, size_t length);
  // A macroblock predicted, not coded: `directions` the motion flags
  // (forward alone in a P picture), the vectors for them in this picture's
  // units. REQUIRES: as copy(), and at least one direction.
  void predict(uint32_t address, uint8_t directions, const int16_t forward[2], const int16_t backward[2]);
  // An intra macroblock showing `dc`, the DC value of each block (0..255),
  // and no more. REQUIRES: as copy().
  void intra(uint32_t address, const int16_t dc[6]);
  // Ends the slice on a byte boundary. REQUIRES: a slice is open and holds a
  // macroblock.
  void end();

  bool open() const { return open_; }
  // The address of the last macroblock written, or due to be.
  uint32_t lastAddress() const { return last_; }

  // The vector range of f_code `fCode`, in the vectors' units: [-16 f, 16 f - 1].
  static int vectorLimit(uint32_t fCode) { return 16 << (fCode - 1); }

 private:
  // The macroblock at `address` begins: the increment from the one before.
  void putIncrement(uint32_t address);
  // The codes of one vector component, as a difference from `prediction`.
  void putVector(int vector, int* prediction, uint32_t fCode);
  // The DC size and differential of `block` taking `dc` from the prediction.
  void putDc(uint32_t block, int dc);
  void putType(uint8_t flags);
  // Writes the skipped macroblock held back, as a coded one: the last of a
  // slice cannot be skipped.
  void writeHeldSkip();
  // Whether a not coded macroblock at `address` with this prediction may be
  // skipped instead.
  bool skipMeansTheSame(uint8_t directions, const int16_t forward[2], const int16_t backward[2]) const;
  void resetPredictions();

  const SliceContext picture_;
  BitPacker bits_;  // onto the caller's bytes
  bool open_ = false;
  bool first_ = true;          // no macroblock of the slice yet
  uint32_t last_ = 0;          // the last macroblock written or skipped
  uint32_t written_ = 0;       // the last macroblock written, which the increment counts from
  uint32_t quantiser_ = 0;
  int vectorPrediction_[2][2] = {{0, 0}, {0, 0}};
  int dcPrediction_[3] = {128, 128, 128};
  bool previousIntra_ = false;
  // The prediction of the macroblock before, which a skip in a B picture
  // takes.
  uint8_t previousDirections_ = 0;
  int16_t previousForward_[2] = {0, 0};
  int16_t previousBackward_[2] = {0, 0};
  bool skipHeld_ = false;      // last_ is a skipped macroblock not yet written
};

#endif  // ORVANTE_VIDEO_SLICE_CODER_H_
