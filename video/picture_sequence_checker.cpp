#include "video/picture_sequence_checker.h"

void PictureSequenceChecker::clear() {
  pictureAccepted_ = false;
  headerState_ = kNone;
  orderState_ = kWaitingForI;
}

bool PictureSequenceChecker::sequenceHeader() {
  headerState_ = kSequence;
  orderState_ = kWaitingForI;
  return true;
}

bool PictureSequenceChecker::gopHeader() {
  const bool followsSequenceHeader = headerState_ == kSequence;
  headerState_ = kGop;
  orderState_ = kWaitingForI;
  return followsSequenceHeader;
}

bool PictureSequenceChecker::judgePicture(char letter, uint32_t t) {
  const bool anchor = letter == 'I' || letter == 'P';
  switch (orderState_) {
    // Waiting: only an I picture starts the order.
    case kWaitingForI:
      if (letter != 'I') return false;
      olderAnchor_ = t;
      lastBReference_ = kNoReference;
      orderState_ = kOneAnchor;
      return true;

    // One anchor: B pictures lie before it, a later anchor makes two.
    case kOneAnchor:
      if (anchor && t > olderAnchor_) {
        newerAnchor_ = t;
        lastBReference_ = 0;
        orderState_ = kTwoAnchors;
        return true;
      }
      if (letter == 'I') {
        olderAnchor_ = t;
        lastBReference_ = kNoReference;
        return true;
      }
      if (letter == 'B' && t < olderAnchor_ && (lastBReference_ == kNoReference || t > lastBReference_)) {
        lastBReference_ = t;
        return true;
      }
      orderState_ = kWaitingForI;
      return false;

    // Two anchors: B pictures lie between them, a later anchor shifts the pair.
    case kTwoAnchors:
      if (anchor && t > newerAnchor_) {
        olderAnchor_ = newerAnchor_;
        newerAnchor_ = t;
        lastBReference_ = 0;
        return true;
      }
      if (letter == 'I') {
        olderAnchor_ = t;
        lastBReference_ = kNoReference;
        return true;
      }
      // After an I picture that restarted the count, lastBReference_ is
      // kNoReference, above every reference: no B picture fits until the
      // next anchor.
      if (letter == 'B' && olderAnchor_ < t && t < newerAnchor_ && t > lastBReference_) {
        lastBReference_ = t;
        return true;
      }
      orderState_ = kWaitingForI;
      return false;

    default:
      return false;
  }
}

bool PictureSequenceChecker::picture(char letter, uint32_t temporalReference) {
  const bool accepted = judgePicture(letter, temporalReference);
  pictureAccepted_ = accepted;
  headerState_ = kPicture;
  lastSlicePosition_ = 0;
  return accepted;
}

bool PictureSequenceChecker::slice(uint32_t verticalPosition) {
  const bool accepted = pictureAccepted_ && (headerState_ == kPicture || headerState_ == kSlice) &&
                        verticalPosition >= lastSlicePosition_;
  headerState_ = kSlice;
  lastSlicePosition_ = verticalPosition;
  return accepted;
}
