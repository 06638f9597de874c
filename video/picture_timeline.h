#ifndef ORVANTE_VIDEO_PICTURE_TIMELINE_H_
#define ORVANTE_VIDEO_PICTURE_TIMELINE_H_

#include <cstdint>
#include <vector>

#include "source/time_stamp_list.h"
#include "video/picture_survey.h"

// PictureTimeline places the pictures a survey found on the recording's
// timeline: each picture gets a slot, the number of the picture period in
// which it shows, so that pictures lost between two that survived show up
// as free slots.
//
// Within a group of pictures the slot is the group's base plus the
// picture's temporal reference. The base comes from the time stamps of the
// group's pictures (a stamp applies to the first picture that begins in its
// packet); the stamps agreeing most decide, so that one damaged stamp is
// outvoted. A group without stamps follows the group before it, or, in a
// stream without any stamp, its time code when the stream's time codes
// count up. A picture's own stamp only votes: where it disagrees with its
// group, the stamp is taken as the damaged one. A picture whose temporal
// reference lies beyond any its group can hold, or that lands in a slot
// taken already, is left unplaced.
//
// For an I or P picture whose stamp gives a decoding time, the slot of the
// picture it is predicted from is known as well: MPEG-1 decodes a picture
// when the anchor before it is shown.
//
// The stamps are believed about a loss within the bounds kLongestLossTicks
// and kLossAllowanceTicks set: a group further off is where the clock
// jumped, and follows on from the group before.
//
// The timeline does not own the survey or the stamps, which must outlive it.
class PictureTimeline {
 public:
  static constexpr int64_t kUnplaced = INT64_MIN;

  PictureTimeline(const PictureSurvey& survey, const TimeStampList& stamps, uint32_t frameRateCode);

  void place();

  // REQUIRES: k < the survey's picture count. The picture's slot, or kUnplaced.
  int64_t slot(uint32_t k) const { return slots_[k]; }
  // The slot of the anchor picture k is predicted from, when its stamps
  // tell; kUnplaced otherwise.
  int64_t referenceSlot(uint32_t k) const { return referenceSlots_[k]; }
  // The slot of temporal reference 0 of group g.
  int64_t groupBase(uint32_t g) const { return bases_[g]; }

  // Whether stamps or time codes placed the pictures; otherwise only the
  // temporal references did, and pictures lost with whole groups cannot be
  // told.
  bool checked() const { return checked_; }
  // The first and last slots that hold a picture; first > last when none.
  int64_t firstSlot() const { return firstSlot_; }
  int64_t lastSlot() const { return lastSlot_; }
  // When slot `slot` begins, in 90 kHz ticks (on the stamps' clock when
  // checked, else from 0). Slots are kTicksPerPicture long; 0 when the frame
  // rate is unknown.
  int64_t ticksAt(int64_t slot) const;
  double ticksPerSlot() const { return ticksPerSlot_; }
  // The presentation span of the placed pictures.
  PresentationSpan span() const;
  // Whole slots in `ticks`; 0 when the frame rate is unknown.
  int64_t slotsIn(uint64_t ticks) const;
  // Slots between the first and the last placed picture that none holds.
  int64_t freeSlots() const { return lastSlot_ - firstSlot_ + 1 - placedCount_; }
  // Pictures that hold a slot.
  int64_t placedCount() const { return placedCount_; }
  // The repeats due before the first picture and after the last to cover
  // `recording`: padding is loss bridged like any other, each end no longer
  // than a loss can be, both within what is left of the allowance. None
  // where either span or the frame rate is unknown.
  void padding(const PresentationSpan& recording, int64_t* lead, int64_t* trail) const;

 private:
  void matchStamps();
  void placeGroups();

  const PictureSurvey& survey_;
  const TimeStampList& stamps_;
  const uint32_t frameRateCode_;
  const double ticksPerSlot_;

  std::vector<int64_t> stampSlots_;  // per picture: the slot its stamp gives, or kUnplaced
  std::vector<int64_t> slots_;
  std::vector<int64_t> referenceSlots_;
  std::vector<int64_t> bases_;
  int64_t origin_ = 0;               // the ticks of slot 0
  bool checked_ = false;
  int64_t firstSlot_ = 0;
  int64_t lastSlot_ = -1;
  int64_t placedCount_ = 0;
};

#endif  // ORVANTE_VIDEO_PICTURE_TIMELINE_H_
