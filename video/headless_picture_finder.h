#ifndef ORVANTE_VIDEO_HEADLESS_PICTURE_FINDER_H_
#define ORVANTE_VIDEO_HEADLESS_PICTURE_FINDER_H_

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "source/byte_source.h"
#include "video/concealment_planner.h"
#include "video/picture_chooser.h"
#include "video/picture_recoder.h"
#include "video/picture_survey.h"
#include "video/picture_timeline.h"

// HeadlessPictureFinder finds what is left of an anchor picture whose head
// was lost, and re-codes it. Where damage the stream's data knows of
// (sectors read back as zeros, or left out) took a picture's header and
// first bytes, the rest of it runs on after the damage inside a slice of
// the picture before it in the stream, with the slices after that one:
// the survey counts them as that picture's. Taken up after the damage as a
// P picture, the rest tells far more than a repeat standing in for the
// lost anchor. Its motion range is the first, tried from those of the
// anchors around it on, under which it keeps enough (a rest walks clean
// under one range only); the quantiser its lost slice header set is taken
// from the P picture nearest it.
//
// The finder does not own the survey, the timeline or the damaged ranges,
// which must outlive it.
class HeadlessPictureFinder {
 public:
  // A rest found: its slices (the first holds the damage it begins after,
  // the rest of them follow it whole), where the damage ends (the first
  // byte of the rest) and what its lost header and slice header are
  // guessed to have set.
  struct Rest {
    std::vector<PictureRecoder::Slice> slices;
    uint32_t from = 0;
    uint32_t quantiser = 0;
    std::vector<uint32_t> fCodes;  // to try, in this order
  };

  // `damaged`: start, end pairs, increasing, not overlapping.
  HeadlessPictureFinder(const PictureSurvey& survey, const PictureTimeline& timeline,
                        const std::vector<uint32_t>& damaged)
      : survey_(survey), timeline_(timeline), damaged_(damaged) {}

  // The rests of the anchors lost at `lost` (slots, increasing), by slot:
  // each the only anchor lost between two of those the survey's pictures
  // keep as `forms` says. An anchor lost after kept anchor A lies in the
  // stream just before the first picture after A that is shown after A;
  // its rest, in the picture before that one, after the last damaged range
  // that ends inside it, kLeastRest bytes at least.
  std::map<int64_t, Rest> find(ByteSource& video, const std::vector<PictureChooser::Form>& forms,
                               const std::vector<int64_t>& lost) const;

  // Marks what `rests` found as damaged in *damaged (pairs as above): the
  // picture the rest lies in keeps none of it.
  static void claim(const std::map<int64_t, Rest>& rests, std::vector<uint32_t>* damaged);

  // Re-codes `rest` as a P picture predicted from the anchor before it, as
  // `anchors` tells of it, into *out (its slices alone) and *result: under
  // the first of its motion ranges that keeps kLeastShare of the
  // picture's macroblocks; false, *out as it was, where none does.
  bool recode(ByteSource& video, const Rest& rest, const ConcealmentPlanner::Anchors& anchors,
              PictureRecoder& recoder, std::vector<uint8_t>* out, PictureRecoder::Result* result) const;

 private:
  // The rest of the anchor lost after kept anchor `after`.
  bool restAfter(ByteSource& video, uint32_t after, Rest* rest) const;

  const PictureSurvey& survey_;
  const PictureTimeline& timeline_;
  const std::vector<uint32_t>& damaged_;
};

#endif  // ORVANTE_VIDEO_HEADLESS_PICTURE_FINDER_H_
