#ifndef ORVANTE_VIDEO_STEADY_MOTION_H_
#define ORVANTE_VIDEO_STEADY_MOTION_H_

#include <cstdint>

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
// A value type: it holds what the anchors taken told, and the slot the
// run starts from.
class SteadyMotion {
 public:
  // Starts learning the rate anew, for a run that starts at `origin`, the
  // slot of the newest anchor.
  void begin(int64_t origin);
  // Takes the motion of the next anchor back, from the newest (null for one
  // whose motion is not known, such as an I picture's). Returns whether
  // older anchors may still tell more: false once one does not move as one
  // (it and those before it are not counted), or a second of them is read.
  bool take(const MotionField* field);
  // Whether the anchors taken move as one, by enough to tell from standing
  // still; where they do not, the run is not steady.
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
  bool ended_ = false;  // take() said no more
  int64_t origin_ = 0;
  double sums_[2] = {0, 0};
  int spans_[2] = {0, 0};
  double rate_[2] = {0, 0};  // half pixels per period
};

#endif  // ORVANTE_VIDEO_STEADY_MOTION_H_
