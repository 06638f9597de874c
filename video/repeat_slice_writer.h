#ifndef ORVANTE_VIDEO_REPEAT_SLICE_WRITER_H_
#define ORVANTE_VIDEO_REPEAT_SLICE_WRITER_H_

#include <cstdint>
#include <vector>

#include "video/slice_walker.h"

// RepeatSliceWriter makes slices that stand in for lost or broken ones: a
// slice over macroblocks [first, last] of one picture that shows what the
// picture's reference shows there, or mid-grey in an I picture.
//
// - P picture: the first and last macroblocks are motion compensated, not
//   coded, with zero motion; those between are skipped, which in a P picture
//   also means zero motion: the reference shows through.
// - B picture: the same with forward (or backward) prediction, not coded,
//   with zero motion; skipped macroblocks repeat that prediction. Backward
//   serves pictures that have no forward reference, such as those before the
//   first I picture of a stream.
// - I picture: every macroblock intra, each block a DC difference of 0 and an
//   end of block at once.
//
// The slice starts in the row of `first` (start code value row + 1, first
// increment column + 1) and may run on into the following rows, as MPEG-1
// allows. Its quantiser_scale is kQuantiserScale. Every slice made walks
// clean through SliceWalker with the same first and last macroblocks.
//
// The writer holds only the picture's context.
class RepeatSliceWriter {
 public:
  // Which reference the macroblocks of a B picture repeat.
  enum class Prediction : uint8_t { kForward, kBackward };

  // Any valid value serves: no block of the slice carries a coefficient it
  // would scale.
  static constexpr uint32_t kQuantiserScale = 8;

  // REQUIRES: picture.codingType is 1, 2 or 3; width and height at least 1.
  // Only the coding type and the size are used.
  explicit RepeatSliceWriter(const SliceContext& picture, Prediction prediction = Prediction::kForward);

  // Appends the slice, start code included, over macroblocks [first, last]
  // to `out`; it ends on a byte boundary.
  // REQUIRES: first <= last < width * height; the row of first is below 175.
  void append(uint32_t first, uint32_t last, std::vector<uint8_t>* out) const;
  // Appends a slice per row over the whole picture.
  // REQUIRES: the picture is no more than 175 rows high.
  void appendRows(std::vector<uint8_t>* out) const;

 private:
  const SliceContext picture_;
  const Prediction prediction_;
};

#endif  // ORVANTE_VIDEO_REPEAT_SLICE_WRITER_H_
