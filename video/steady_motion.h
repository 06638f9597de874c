#ifndef ORVANTE_VIDEO_STEADY_MOTION_H_
#define ORVANTE_VIDEO_STEADY_MOTION_H_

#include <cstdint>
#include <vector>

#include "video/concealment_planner.h"

// SteadyMotion tells whether the picture has been moving as one, as in a
// pan or a scroll, over the anchors before a loss, and at what rate; and
// moves the run of repeats that stands in for the lost anchors along that
// rate in whole pixels. Each repeat is moved by what brings the run to
// where the picture would stand at its time, rounded to the pixel: the run
// does not drift as rounding each step alone would make it, and whole
// pixels are copied, where half-pixel steps, one upon another, would blur
// the picture further with each repeat.
//
// A value type: it holds the rate and the slot the run starts from.
class SteadyMotion {
 public:
  // Learns the rate from the motion of the anchors before the run, newest
  // first (null for an anchor whose motion is not known, such as an I
  // picture's), taking them up to the first whose picture does not move as
  // one, and starts the run at `origin`, the slot of the newest. Returns
  // whether the newest with motion moves as one, by enough to tell from
  // standing still; where it does not, the run is not steady.
  bool begin(const std::vector<const MotionField*>& fields, int64_t origin);
  bool steady() const { return steady_; }
  int64_t origin() const { return origin_; }

  // REQUIRES: steady(). How far the picture has moved from the origin to
  // `slot`, in half pixels, rounded to whole pixels.
  void displacement(int64_t slot, int moved[2]) const;

 private:
  // Whether `field` moves as one; if so, adds to the sums, each way its
  // motion tells, the mean of the vectors near their median and its span.
  static bool movesAsOne(const MotionField& field, double sums[2], int spans[2]);

  bool steady_ = false;
  int64_t origin_ = 0;
  double rate_[2] = {0, 0};  // half pixels per period
};

#endif  // ORVANTE_VIDEO_STEADY_MOTION_H_
