#ifndef ORVANTE_VIDEO_DC_STEP_FINDER_H_
#define ORVANTE_VIDEO_DC_STEP_FINDER_H_

#include <cstdint>
#include <utility>
#include <vector>

#include "video/slice_walker.h"

// DcStepFinder looks in an I picture whose slices parse for the trace of a
// bit flipped in a DC differential. Such a flip leaves the slice in step,
// so no walk finds it, but every DC value of that component after it in the
// slice takes the wrong prediction: from that block to the slice's end the
// picture is brighter or darker by one amount. In a picture coded as one
// slice, that is the rest of the picture.
//
// What gives it away is where the shifted blocks meet the others: across
// the boundary of the shifted run, and only there, neighbouring blocks
// differ by about the same amount. A step is reported only where that holds
// on both stretches of the boundary (the rest of the row the run begins in,
// and the start of the row below it, which the run must reach past), where
// most of the differences across it agree with the amount, where blocks a
// row further on show no such difference (a horizontal edge of the
// picture, or a slope, shows in every row), and where the amount, less the
// slope across the boundary, is one that a single bit flipped in the first
// block's differential makes: that amount is the step.
//
// A run that begins in a row's first macroblock, or in the top row, has
// one stretch of boundary only, which an edge of the picture can match. It
// is reported where each pair of blocks on the short stretches that bound
// it (inside its first macroblock, or beside it) shows the step too: from a
// row's first macroblock only where it begins after that macroblock's
// first block (an edge along the row would begin there), and in the top row
// only where the stretch under the macroblocks before it is long. A run
// from a row's first macroblock is levelled by any amount: a slice that
// lost step there and found it again, unseen, leaves such a run too, offset
// by whatever the misread made of the values it read.
//
// Only luminance is looked at: the chrominance planes, smoother and with
// larger patches of one colour, show such boundaries of their own too
// often.
//
// The finder holds only the picture's size; find() keeps no state.
class DcStepFinder {
 public:
  // A run to level: from luminance block `block` (0..3) of macroblock
  // `address` to the end of its slice, the DC values are `offset` too
  // high.
  struct Step {
    uint32_t address = 0;
    uint32_t block = 0;
    int offset = 0;
  };

  // REQUIRES: width and height at least 1.
  DcStepFinder(uint32_t width, uint32_t height);

  // The steps found in the picture whose macroblock at address a is
  // `*kept[a]`, walked in slice `slice[a]`: at most one per slice, in
  // increasing address order. Macroblocks that are null or not
  // intra end the runs they stand in.
  // REQUIRES: kept and slice hold width * height entries.
  void find(const std::vector<const MacroblockRecord*>& kept, const std::vector<int32_t>& slice,
            std::vector<Step>* steps) const;

 private:
  // One component's DC values as a grid of blocks, with the order in which
  // their predictions run.
  struct Plane;
  // Chain positions of a block inside a run and its neighbour outside.
  using BlockPair = std::pair<uint32_t, uint32_t>;
  // The boundary of a run: for each pair of blocks across it, the
  // difference (inside less outside), the stretch it lies on and the pair.
  struct Boundary {
    std::vector<int> differences;
    std::vector<uint32_t> stretches;
    std::vector<BlockPair> pairs;
  };
  // A step a run could make, and how much levelling it gains.
  struct Candidate {
    int64_t gain = 0;
    Step step;
  };
  // The best step of `plane` in the run of chain positions [first, last], if
  // it passes the tests above.
  bool stepIn(const Plane& plane, uint32_t first, uint32_t last, Step* step) const;
  // Takes the step from chain position p of the run [first, last] for
  // `*best` if it passes the tests above and gains more; `single`: a run
  // whose boundary has one long stretch; `boundary` is scratch space.
  void judge(const Plane& plane, uint32_t first, uint32_t p, uint32_t last, bool single, Boundary* boundary,
             Candidate* best) const;
  // The boundary of the run [from, last] of `plane`.
  void crossing(const Plane& plane, uint32_t from, uint32_t last, Boundary* boundary) const;

  const uint32_t width_;
  const uint32_t height_;
};

#endif  // ORVANTE_VIDEO_DC_STEP_FINDER_H_
