#include "video/anchor_history.h"

#include <algorithm>
#include <cassert>
#include <utility>

void AnchorHistory::push(int64_t slot, uint32_t picture, bool intra) {
  anchors_[0] = std::move(anchors_[1]);
  Anchor& anchor = anchors_[1];
  anchor.slot = slot;
  anchor.picture = picture;
  anchor.intra = intra;
  anchor.distance = written_ > 0 ? std::max<int64_t>(slot - anchors_[0].slot, 1) : 1;
  // A repeat shows the anchor before it unmoved.
  anchor.motionKnown = picture == kNoPicture;
  anchor.motion.reset(0, 0);
  ++written_;
}

void AnchorHistory::setMotion(MotionField motion) {
  assert(written_ > 0);
  anchors_[1].motion = std::move(motion);
  anchors_[1].motionKnown = true;
}

const MotionField* AnchorHistory::forward(int64_t slot, bool movingOn, ConcealmentPlanner::Anchors* anchors) {
  if (written_ == 0) return nullptr;
  anchors->reference = movingOn ? motionMovingOn() : motionOf(anchors_[1]);
  anchors->distance = static_cast<int>(std::max<int64_t>(slot - last().slot, 1));
  return anchors->reference;
}

const MotionField* AnchorHistory::between(int64_t slot, bool movingOn, ConcealmentPlanner::Anchors* anchors) {
  if (written_ < 2) return nullptr;
  anchors->backwardAnchor = movingOn ? motionMovingOn() : motionOf(anchors_[1]);
  anchors->afterForward = static_cast<int>(std::max<int64_t>(slot - beforeLast().slot, 1));
  anchors->betweenAnchors = static_cast<int>(std::max<int64_t>(last().slot - beforeLast().slot, 2));
  return anchors->backwardAnchor;
}

const MotionField* AnchorHistory::motionOf(Anchor& anchor) {
  if (!anchor.motionKnown) {
    anchor.motionKnown = true;
    finder_(anchor.picture, static_cast<int>(anchor.distance), &anchor.motion);
  }
  return anchor.motion.empty() ? nullptr : &anchor.motion;
}

const MotionField* AnchorHistory::motionMovingOn() {
  const MotionField* own = motionOf(anchors_[1]);
  if (!last().intra) return own;
  if (own != nullptr && std::any_of(own->known.begin(), own->known.end(), [](uint8_t k) { return k != 0; })) return own;
  if (written_ < 2) return own;
  const MotionField* before = motionOf(anchors_[0]);
  return before != nullptr ? before : own;
}
