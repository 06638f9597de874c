#include "video/anchor_history.h"

#include <algorithm>
#include <cassert>
#include <utility>

void AnchorHistory::push(int64_t slot, uint32_t picture, bool intra) {
  const int64_t previous = last().slot;
  newest_ = (newest_ + 1) % kKept;
  Anchor& anchor = last();
  anchor.slot = slot;
  anchor.picture = picture;
  anchor.intra = intra;
  anchor.distance = written_ > 0 ? std::max<int64_t>(slot - previous, 1) : 1;
  // A repeat shows the anchor before it unmoved.
  anchor.motionKnown = picture == kNoPicture;
  anchor.motion.reset(0, 0, 0);
  anchor.steady = false;
  anchor.moved[0] = anchor.moved[1] = 0;
  ++written_;
}

void AnchorHistory::setMotion(MotionField motion) {
  assert(written_ > 0);
  Anchor& anchor = last();
  anchor.motion = std::move(motion);
  anchor.motionKnown = true;
  if (anchor.picture == kNoPicture && stepPending_ && stepSlot_ == anchor.slot) {
    anchor.steady = true;
    anchor.moved[0] = stepMoved_[0];
    anchor.moved[1] = stepMoved_[1];
  }
  stepPending_ = false;
}

const MotionField* AnchorHistory::forward(int64_t slot, bool movingOn, ConcealmentPlanner::Anchors* anchors) {
  stepPending_ = false;
  if (written_ == 0) return nullptr;
  anchors->distance = static_cast<int>(std::max<int64_t>(slot - last().slot, 1));
  if (movingOn && steadyStep(slot, anchors->distance)) {
    anchors->reference = &step_;
  } else {
    anchors->reference = movingOn ? motionMovingOn() : motionOf(last());
  }
  return anchors->reference;
}

const MotionField* AnchorHistory::between(int64_t slot, bool movingOn, ConcealmentPlanner::Anchors* anchors) {
  stepPending_ = false;
  if (written_ < 2) return nullptr;
  anchors->backwardAnchor = movingOn ? motionMovingOn() : motionOf(last());
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
  const MotionField* own = motionOf(last());
  if (!last().intra) return own;
  if (own != nullptr && std::any_of(own->known.begin(), own->known.end(), [](uint8_t k) { return k != 0; })) return own;
  if (written_ < 2) return own;
  const MotionField* before = motionOf(beforeLast());
  return before != nullptr ? before : own;
}

bool AnchorHistory::steadyStep(int64_t slot, int distance) {
  const Anchor& from = last();
  if (from.picture == kNoPicture) {
    // A repeat moves on only in the run it belongs to.
    if (!from.steady || !steady_.steady()) return false;
  } else if (steadyFrom_ != from.picture || steady_.origin() != from.slot) {
    // A run starts at this anchor: how the anchors up to it moved, found
    // back from it as far as they tell.
    steadyFrom_ = from.picture;
    steady_.begin(from.slot);
    stepSize_ = 0;
    const uint32_t count = std::min(written_, kKept);
    for (uint32_t back = 0; back < count; ++back) {
      Anchor& anchor = before(back);
      const MotionField* field = anchor.intra ? nullptr : motionOf(anchor);
      if (field != nullptr && stepSize_ == 0) {
        stepSize_ = static_cast<uint32_t>(field->known.size());
        stepWidth_ = field->width;
      }
      if (!steady_.take(field)) break;
    }
  }
  if (!steady_.steady() || stepSize_ == 0) return false;
  int moved[2];
  steady_.displacement(slot, moved);
  step_.reset(stepWidth_, stepSize_, distance);
  for (uint32_t a = 0; a < stepSize_; ++a) step_.set(a, moved[0] - from.moved[0], moved[1] - from.moved[1]);
  stepPending_ = true;
  stepSlot_ = slot;
  stepMoved_[0] = moved[0];
  stepMoved_[1] = moved[1];
  return true;
}
