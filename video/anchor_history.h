#ifndef ORVANTE_VIDEO_ANCHOR_HISTORY_H_
#define ORVANTE_VIDEO_ANCHOR_HISTORY_H_

#include <cassert>
#include <cstdint>
#include <functional>

#include "video/concealment_planner.h"
#include "video/steady_motion.h"

// AnchorHistory keeps the anchors a rescue wrote last, each a picture of
// the input or a repeat standing in for one lost, with the slot it is shown
// at and the motion it was written with: what the concealment of the
// pictures after them borrows (ConcealmentPlanner::Anchors). The last two
// are those borrowed from; the ones before them tell, with them, whether
// the picture was moving as one when a run of repeats begins
// (SteadyMotion).
//
// An anchor's motion is found only when first asked for, by the finder the
// history is given; a repeat has none unless given one (setMotion). The
// history owns the motion it holds; a field it hands out holds until the
// next push(), forward() or between().
class AnchorHistory {
 public:
  static constexpr uint32_t kNoPicture = UINT32_MAX;
  // Finds the motion of input picture `picture`, shown `distance` slots
  // after the anchor before it, into *motion (empty where none is known).
  using MotionFinder = std::function<void(uint32_t picture, int distance, MotionField* motion)>;

  explicit AnchorHistory(MotionFinder finder) : finder_(std::move(finder)) {}

  // Forgets every anchor: the output starts anew.
  void clear() {
    written_ = 0;
    steadyFrom_ = kNoPicture;
  }
  uint32_t written() const { return written_; }

  // A new anchor shown at `slot`: input picture `picture`, an I picture when
  // `intra`, or kNoPicture for a repeat.
  void push(int64_t slot, uint32_t picture, bool intra);
  // REQUIRES: written() > 0. The last anchor pushed was written with
  // `motion`. A repeat given motion at the slot forward() last moved it on
  // along steady motion to stands where that motion took the run.
  void setMotion(MotionField motion);

  // What a P picture shown at `slot` borrows from the last anchor: its
  // motion (returned; null where not known) and distance, set in *anchors.
  // With no anchor written, returns null and leaves *anchors. `movingOn`:
  // for a repeat that moves the anchor along. Where the picture was moving
  // as one, the motion is the same whole-pixel step for every macroblock,
  // which brings the run of repeats to where the picture would be at
  // `slot`; elsewhere an I picture, which tells no motion of its own,
  // moves on as the anchor before it moved.
  const MotionField* forward(int64_t slot, bool movingOn, ConcealmentPlanner::Anchors* anchors);
  // The same for a B picture shown at `slot` between the last two anchors;
  // with fewer than two written, returns null and leaves *anchors.
  const MotionField* between(int64_t slot, bool movingOn, ConcealmentPlanner::Anchors* anchors);

 private:
  struct Anchor {
    int64_t slot = 0;
    uint32_t picture = kNoPicture;
    bool intra = false;
    int64_t distance = 1;  // slots after the anchor before it
    bool motionKnown = false;
    MotionField motion;
    // A repeat in a steady run: how far the run has moved it from the
    // run's origin, in half pixels.
    bool steady = false;
    int moved[2] = {0, 0};
  };
  // The anchors kept: enough for a second of P pictures between I pictures.
  static constexpr uint32_t kKept = 25;

  const MotionField* motionOf(Anchor& anchor);
  // The last anchor's motion, or for an I picture with none, the one's
  // before it.
  const MotionField* motionMovingOn();
  // The step that moves the last anchor on to `slot` (`distance` periods
  // after it) in a steady run, into step_; false where the picture was not
  // moving as one.
  bool steadyStep(int64_t slot, int distance);
  // The anchor `back` pushes before the last. REQUIRES: back < written().
  Anchor& before(uint32_t back) {
    assert(back < written_);
    return anchors_[(newest_ + kKept - back) % kKept];
  }
  Anchor& last() { return anchors_[newest_]; }
  Anchor& beforeLast() { return before(1); }

  const MotionFinder finder_;
  Anchor anchors_[kKept];  // a ring, the last at newest_
  uint32_t newest_ = 0;
  uint32_t written_ = 0;
  SteadyMotion steady_;
  uint32_t steadyFrom_ = kNoPicture;  // the input picture the run starts at
  MotionField step_;
  uint32_t stepSize_ = 0;  // macroblocks
  uint32_t stepWidth_ = 0;
  // The steady step forward() last handed out, for the repeat written with
  // it.
  bool stepPending_ = false;
  int64_t stepSlot_ = 0;
  int stepMoved_[2] = {0, 0};
};

#endif  // ORVANTE_VIDEO_ANCHOR_HISTORY_H_
