#ifndef ORVANTE_VIDEO_RESCUE_ELEMENT_WRITER_H_
#define ORVANTE_VIDEO_RESCUE_ELEMENT_WRITER_H_

#include <cstdint>
#include <vector>

#include "source/byte_source.h"
#include "video/picture_survey.h"
#include "video/probed_format.h"
#include "video/video_stream_writer.h"

// RescueElementWriter puts the elements of a rescued stream onto a
// VideoStreamWriter, announcing each to it first: the input's sequence,
// group and picture headers where they can stand (picture headers
// renumbered), headers of the rescue's own where they cannot, the input's
// slices copied, slices re-coded, and pictures that repeat their
// reference.
//
// The writer does not own the video, the format or the stream writer. The
// video and the format must outlive it; the stream writer must outlive
// every write after the begin() that gave it.
class RescueElementWriter {
 public:
  // `format`: the one the stream states. Repeats cover a picture of
  // `widthInMacroblocks` by `heightInMacroblocks`.
  // REQUIRES: both at least 1.
  RescueElementWriter(ByteSource& video, const ProbedFormat& format, uint32_t widthInMacroblocks,
                      uint32_t heightInMacroblocks);

  // What follows goes into `writer`, which is open.
  void begin(VideoStreamWriter* writer);

  // REQUIRES for the writes below: begin() ran.
  // The sequence header that opens `group` in the input (which has one),
  // as it stands where it states format() with fields decoders take; else
  // one made from the format.
  void sequenceHeader(const PictureSurvey::Group& group);
  // A group header that is `closed` or not: that of `group` as it stands
  // where it says the same, else its fields with `closed`; with no group
  // (null), one of the rescue's own. `afterSequenceHeader`: it follows a
  // sequence header just written, and is not announced again.
  void groupHeader(const PictureSurvey::Group* group, bool closed, bool afterSequenceHeader);
  // Input picture p as it stands, its header renumbered to `reference`.
  void inputPicture(const PictureSurvey::Picture& p, uint32_t reference);
  // Input picture p with `slices` re-coded from it, as `codingType`: under
  // its own header, renumbered, where it keeps its type; else under one of
  // the rescue's own with `forwardFCode`.
  void recodedPicture(const PictureSurvey::Picture& p, uint32_t reference, uint32_t codingType,
                      uint32_t forwardFCode, const std::vector<uint8_t>& slices);
  // A P or B picture of the rescue's own: its header, then `slices`.
  void ownPicture(uint32_t codingType, uint32_t reference, uint32_t forwardFCode, uint32_t backwardFCode,
                  const std::vector<uint8_t>& slices);
  // A P or B picture of skipped macroblocks that repeats its forward
  // reference, or with `backward` a B picture's backward one; a slice per
  // row.
  void repeat(uint32_t codingType, uint32_t reference, bool backward);

 private:
  // Bytes [from, to) of the input, as they stand.
  void copy(uint32_t from, uint32_t to);
  // A picture header of the rescue's own, that asks the decoder not to
  // wait.
  void ownHeader(uint32_t codingType, uint32_t reference, uint32_t forwardFCode, uint32_t backwardFCode);
  // Input picture p's header, renumbered to `reference`.
  void inputHeader(const PictureSurvey::Picture& p, uint32_t reference);

  ByteSource& video_;
  const ProbedFormat& format_;
  const uint32_t widthInMacroblocks_;
  const uint32_t heightInMacroblocks_;
  VideoStreamWriter* writer_ = nullptr;
  std::vector<uint8_t> buffer_;
};

#endif  // ORVANTE_VIDEO_RESCUE_ELEMENT_WRITER_H_
