#ifndef ORVANTE_VIDEO_PICTURE_SEQUENCE_CHECKER_H_
#define ORVANTE_VIDEO_PICTURE_SEQUENCE_CHECKER_H_

#include <cstdint>

// PictureSequenceChecker judges the order of the headers of an MPEG-1 video
// elementary stream, reported to it one by one in stream order. It reads no
// data itself.
//
// Pictures: after a sequence header, a group-of-pictures header, reset() or
// clear(), the first picture must be an I picture. I and P pictures
// (anchors) must come in rising temporal reference, an I picture may also
// start a new count; B pictures must lie before the only anchor, or between
// the two latest anchors, in rising order. A refused P or B picture makes the
// checker wait for the next I picture.
// Slices: accepted only right after an accepted picture's header or its
// accepted slices, with no header or clear() between, in non-decreasing
// vertical position.
// Group-of-pictures headers: accepted only directly after a sequence header.
class PictureSequenceChecker {
 public:
  PictureSequenceChecker() { reset(); }

  // Back to the start: the same as clear().
  void reset() { clear(); }
  // Forgets the current picture and the anchors; waits for an I picture.
  void clear();

  // A well-formed sequence header. Always true.
  bool sequenceHeader();
  // A well-formed group-of-pictures header. True when the item reported
  // just before was a sequence header.
  bool gopHeader();
  // A well-formed picture header with its coding type as 'I', 'P' or 'B'
  // and its temporal reference. True when the picture fits the pictures
  // before it.
  bool picture(char letter, uint32_t temporalReference);
  // A slice start code; its vertical position is the code, 1..175. True when
  // the slice belongs to an accepted picture and comes in order.
  bool slice(uint32_t verticalPosition);

 private:
  enum HeaderState : uint32_t { kNone = 0, kSequence = 1, kGop = 2, kPicture = 3, kSlice = 4 };
  enum OrderState : uint32_t { kWaitingForI = 0, kOneAnchor = 1, kTwoAnchors = 2 };
  static constexpr uint32_t kNoReference = 0xFFFFFFFF;

  // The order judgement alone; updates the anchors.
  bool judgePicture(char letter, uint32_t t);

  bool pictureAccepted_ = false;
  uint32_t headerState_ = kNone;
  uint32_t orderState_ = kWaitingForI;
  uint32_t olderAnchor_ = 0;     // reference of the older anchor (of the only one in kOneAnchor)
  uint32_t newerAnchor_ = 0;     // reference of the newer anchor (kTwoAnchors)
  uint32_t lastBReference_ = 0;  // last B picture accepted since the anchors changed, or kNoReference
  uint32_t lastSlicePosition_ = 0;
};

#endif  // ORVANTE_VIDEO_PICTURE_SEQUENCE_CHECKER_H_
