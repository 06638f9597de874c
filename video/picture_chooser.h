#ifndef ORVANTE_VIDEO_PICTURE_CHOOSER_H_
#define ORVANTE_VIDEO_PICTURE_CHOOSER_H_

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "source/repair_reporter.h"
#include "video/picture_survey.h"
#include "video/picture_timeline.h"

// PictureChooser decides how each picture of a surveyed stream, placed on
// its timeline, goes out in a rescue. Every picture that can be decoded
// goes out, predicted from whatever stands in for its references: the
// anchors kept, and repeats where anchors were lost. An I picture with holes
// goes out as a P picture when an anchor went before it, unless its group
// would then run past what temporal references number.
//
// The chooser does not own the survey or the timeline, which must outlive
// it.
class PictureChooser {
 public:
  // How a picture of the input goes out.
  enum class Form : uint8_t {
    kLeftOut,
    kAsItIs,    // its own type
    kIntraAsP,  // an I picture with holes, as a P picture
  };

  PictureChooser(const PictureSurvey& survey, const PictureTimeline& timeline);

  // Decides, and reports each picture left out to `reporter` when it is
  // not null; the results below hold until the next call.
  void choose(RepairReporter* reporter = nullptr);

  // Per picture of the survey.
  const std::vector<Form>& forms() const { return forms_; }
  // Per picture: whether it could be decoded and has a slot, so that a
  // picture left out that is was left out for a lost reference.
  const std::vector<bool>& usable() const { return usable_; }
  // The slots of anchors that were lost between anchors kept, increasing.
  const std::vector<int64_t>& lostAnchorSlots() const { return lostAnchorSlots_; }
  // Whether a picture was left out, or a slot between the first and the
  // last is empty.
  bool anyLost() const { return anyLost_; }

  // Whether picture k opens a group of the output: an I picture going out
  // as it is. Without any (anyGroup()), no picture can go out.
  bool opensGroup(uint32_t k) const;
  bool anyGroup() const;
  // The groups of the output: the pictures that open them, increasing, and
  // the slot each begins at: the first slot of its I picture's group in the
  // input, but after the last anchor before it, kept or lost, and not after
  // the I picture.
  void outputGroups(std::vector<uint32_t>* firsts, std::vector<int64_t>* starts) const;
  // REQUIRES: opensGroup(intra). The first slot shown of the output group
  // `intra` opens: its own, or that of a leading B picture of its closed
  // group.
  int64_t firstShownSlot(uint32_t intra) const;
  // Stands for an anchor lost, in groupPictures()'s anchors.
  static constexpr uint32_t kLostAnchor = UINT32_MAX;
  // REQUIRES: opensGroup(first). What the output group `first` opens shows
  // in slots [start, end): the pictures going out, by slot, from `first` up
  // to the next picture that opens a group; and its anchors in slot order,
  // kLostAnchor in the slots of those lost.
  void groupPictures(uint32_t first, int64_t start, int64_t end, std::map<int64_t, uint32_t>* shown,
                     std::vector<std::pair<int64_t, uint32_t>>* anchors) const;

 private:
  // The slots of anchors that were lost between kept anchors `from` and
  // `to` (pictures; `from` may be kNone): where the stamps of `to` say its
  // reference showed, or `spacing` apart, as anchors usually lie.
  void lostAnchors(uint32_t from, uint32_t to, int64_t spacing, std::vector<int64_t>* slots) const;
  // The typical distance between anchors, for pictures without stamps.
  int64_t anchorSpacing() const;

  static constexpr uint32_t kNone = UINT32_MAX;

  const PictureSurvey& survey_;
  const PictureTimeline& timeline_;
  std::vector<Form> forms_;
  std::vector<bool> usable_;
  std::vector<int64_t> lostAnchorSlots_;
  std::vector<int64_t> placedSlots_;  // the slots pictures stand in, increasing
  bool anyLost_ = false;
};

#endif  // ORVANTE_VIDEO_PICTURE_CHOOSER_H_
