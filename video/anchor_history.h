#ifndef ORVANTE_VIDEO_ANCHOR_HISTORY_H_
#define ORVANTE_VIDEO_ANCHOR_HISTORY_H_

#include <cstdint>
#include <functional>

#include "video/concealment_planner.h"

// AnchorHistory keeps the two anchors a rescue wrote last, each a picture
// of the input or a repeat standing in for one lost, with the slot it is
// shown at and the motion it was written with: what the concealment of the
// pictures after them borrows (ConcealmentPlanner::Anchors).
//
// An anchor's motion is found only when first asked for, by the finder the
// history is given; a repeat has none unless given one (setMotion). The
// history owns the motion it holds; a field it hands out holds until the
// next push().
class AnchorHistory {
 public:
  static constexpr uint32_t kNoPicture = UINT32_MAX;
  // Finds the motion of input picture `picture`, shown `distance` slots
  // after the anchor before it, into *motion (empty where none is known).
  using MotionFinder = std::function<void(uint32_t picture, int distance, MotionField* motion)>;

  explicit AnchorHistory(MotionFinder finder) : finder_(std::move(finder)) {}

  // Forgets every anchor: the output starts anew.
  void clear() { written_ = 0; }
  uint32_t written() const { return written_; }

  // A new anchor shown at `slot`: input picture `picture`, an I picture when
  // `intra`, or kNoPicture for a repeat.
  void push(int64_t slot, uint32_t picture, bool intra);
  // REQUIRES: written() > 0. The last anchor pushed was written with
  // `motion`.
  void setMotion(MotionField motion);

  // What a P picture shown at `slot` borrows from the last anchor: its
  // motion (returned; null where not known) and distance, set in *anchors.
  // With no anchor written, returns null and leaves *anchors. `movingOn`:
  // for a picture that moves the anchor along, where an I picture, which
  // tells no motion of its own, moves on as the anchor before it moved.
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
  };

  const MotionField* motionOf(Anchor& anchor);
  // The last anchor's motion, or for an I picture with none, the one's
  // before it.
  const MotionField* motionMovingOn();
  const Anchor& last() const { return anchors_[1]; }
  const Anchor& beforeLast() const { return anchors_[0]; }

  const MotionFinder finder_;
  Anchor anchors_[2];  // the newer second
  uint32_t written_ = 0;
};

#endif  // ORVANTE_VIDEO_ANCHOR_HISTORY_H_
