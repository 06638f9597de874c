#ifndef ORVANTE_VIDEO_VIDEO_RESCUER_H_
#define ORVANTE_VIDEO_VIDEO_RESCUER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "source/byte_source.h"
#include "source/progress_callback.h"
#include "source/repair_reporter.h"
#include "source/time_stamp_list.h"
#include "video/picture_survey.h"
#include "video/picture_timeline.h"
#include "video/video_fixer.h"
#include "video/video_stream_writer.h"

// VideoRescuer writes the video of a damaged recording so that every slice
// that goes out parses and every picture period of the recording holds a
// picture:
//   - a P or B picture keeps the slices that parse; macroblocks that no such
//     slice covers are filled with slices that repeat the reference picture;
//   - a picture that was lost (its bytes gone, or left out because it
//     cannot be decoded or its reference was lost) becomes a picture that
//     repeats the one shown before it: a P picture of skipped macroblocks,
//     or a B picture where it stands between two anchors; an I picture with
//     a broken slice is left out, with the pictures predicted from it;
//   - temporal references are renumbered in each group as the pictures
//     written stand.
// The pictures' places come from the system layer's time stamps, or in a
// bare stream from the groups' time codes and temporal references
// (PictureTimeline).
//
// A clean stream (nothing broken, nothing lost, nothing to pad) is written
// by the plain rewrite and comes out byte for byte as the plain run writes
// it.
//
// The rescuer does not own its source, stamps or reporter, which must
// outlive it, as must the suspect ranges when given.
class VideoRescuer {
 public:
  // `checking` reports the survey, `writing` the writing pass. `suspect`:
  // the ranges of the video not known to be as written (PictureSurvey);
  // null when nothing is known, and everything is checked.
  VideoRescuer(ByteSource& video, const TimeStampList& stamps, ProgressCallback checking, ProgressCallback writing,
               RepairReporter* reporter, const RangeList* suspect = nullptr);

  // Probes the format, surveys the stream and places its pictures.
  void analyze();
  // REQUIRES: analyze() ran. The presentation span its pictures cover;
  // unknown for MPEG-2 video, which is not padded.
  PresentationSpan span() const { return survey_->mpeg2() ? PresentationSpan() : timeline_->span(); }
  // REQUIRES: analyze() ran. Nothing to repair or leave out, no repeat due
  // before the first picture to cover `recording`, and no more after the
  // last than clean muxing leaves (kEndToleranceTicks).
  bool clean(const PresentationSpan& recording) const;

  // REQUIRES: analyze() ran. Writes videoFileName(baseName), covering
  // `recording` when it is known: repeats at the start and the end pad the
  // video to it. A recording found clean (both its streams) is written by
  // the plain rewrite; a damaged one is written by the rescue, even where
  // its video alone is clean, whose fill keeps within the decoder's buffer.
  // On a write failure, writeFailed() turns true and the incomplete file is
  // removed.
  // When not one picture can go out, no file is written and leftOut()
  // turns true. MPEG-2 video (mpeg2()) is written by the plain rewrite.
  void write(const std::string& baseName, const PresentationSpan& recording, bool recordingClean);
  bool writeFailed() const { return writeFailed_; }
  bool leftOut() const { return leftOut_; }

  // REQUIRES: analyze() ran. Whether the rescue can write the stream: it
  // is MPEG-1 and gives a size to walk slices in. Otherwise write() writes
  // it as the plain rewrite does.
  bool rescuable() const { return survey_->macroblocks() != 0 && !survey_->mpeg2(); }
  // REQUIRES: analyze() ran, and rescuable(). Whether any picture can go
  // out.
  bool hasPictures() const;
  // REQUIRES: as hasPictures(). Writes the rescued pictures, covering
  // `recording`, into `writer`, which is open and set to this stream's
  // format(): one recording of several joined in one output. Write failures
  // show in writer.output().failed(). The writer must outlive the rescuer's
  // report calls.
  void writeInto(VideoStreamWriter& writer, const PresentationSpan& recording);
  const ProbedFormat& format() const { return fixer_.format(); }
  // REQUIRES: analyze() ran. Where the stream joins recordings of other
  // formats (PictureSurvey::recordingStarts).
  std::vector<uint32_t> recordingStarts() const { return survey_->recordingStarts(); }
  // REQUIRES: analyze() ran. The stream is MPEG-2 video, which the rescue
  // leaves as the plain rewrite writes it.
  bool mpeg2() const { return survey_->mpeg2(); }

  // The report, valid after write().
  std::string formatText() const { return fixer_.formatText(); }
  // Pictures of the input written.
  uint32_t framesUsed() const;
  uint32_t picturesSeen() const { return survey_->picturesSeen(); }
  uint64_t claimedBitrate() const { return fixer_.claimedBitrate(); }
  // Bits written per second of pictures written, repeats included.
  uint64_t actualBitrate() const;
  uint32_t picturesRepeated() const { return picturesRepeated_; }
  uint32_t slicesReplaced() const { return slicesReplaced_; }

 private:
  // The repeats due before the first picture and after the last to cover
  // `recording`.
  void padding(const PresentationSpan& recording, int64_t* lead, int64_t* trail) const;
  // Decides which pictures of the input go out, and reports the others.
  void choosePictures();
  // One choice: I pictures with broken or missing slices kept (mid-grey
  // where slices are missing) or left out. `usable` receives, per picture,
  // whether it could have gone out but for its references.
  void choosePictures(bool damagedIntraPictures, std::vector<bool>* usable);
  // The first slot shown of the output group that kept I picture `intra`
  // opens: its own, or that of a leading B picture of its closed group.
  int64_t firstShownSlot(uint32_t intra) const;
  // The typical distance between anchors, for pictures without stamps.
  int64_t anchorSpacing() const;
  // Writes the output group that begins at kept I picture `first` and
  // covers slots [start, end).
  void writeGroup(uint32_t first, int64_t start, int64_t end, bool firstGroup);
  // Covers slots [start, end) with groups of at most kTemporalReferenceModulus
  // slots, each the kept I picture `intra` again and repeats of it: runs of
  // repeats longer than temporal references can number. The first group
  // gets a group header only when `groupHeaders`.
  void writeIntraRepeats(uint32_t intra, int64_t start, int64_t end, bool groupHeaders);
  // `backward`: a B picture whose repaired macroblocks must look backward.
  // `repeat`: a copy of a picture already written, shown again at `slot`;
  // it counts as no picture of the input written and replaces no slice.
  void writePicture(uint32_t k, int64_t slot, int64_t groupStart, bool backward, bool repeat = false);
  void writeRepeat(char letter, bool backward, int64_t slot, int64_t groupStart);
  // Slices that repeat the reference over macroblocks [first, last], one
  // per row they touch; each counts as a slice replaced in the picture at
  // `slot`, unless the slot is kUnplaced (the slices of a repeat picture).
  void writeRepeatSlices(uint32_t codingType, bool backward, uint32_t first, uint32_t last, int64_t slot);
  void copy(uint32_t from, uint32_t to);
  // Copies the slice starting at `sliceStart` cut after `bits` bits of its
  // data (those after the start code).
  void copyCut(uint32_t sliceStart, uint32_t bits);
  uint64_t timeOf(int64_t slot) const;

  ByteSource& video_;
  const TimeStampList& stamps_;
  ProgressCallback checking_;
  ProgressCallback writing_;
  RepairReporter* const reporter_;
  const RangeList* const suspect_;
  VideoFixer fixer_;  // probes; writes a clean stream
  std::unique_ptr<PictureSurvey> survey_;
  std::unique_ptr<PictureTimeline> timeline_;
  std::unique_ptr<VideoStreamWriter> ownWriter_;  // write()'s own
  VideoStreamWriter* writer_ = nullptr;             // the writer in use

  std::vector<bool> kept_;
  bool anyLost_ = false;         // a picture was left out or a slot is empty
  int64_t recordingFirst_ = 0;   // the slots the output covers
  int64_t recordingEnd_ = 0;
  uint64_t recordingStart_ = 0;  // ticks of recordingFirst_
  bool useBackward_ = true;      // no anchor went out yet: repeats look forward
  uint32_t picturesRepeated_ = 0;
  uint32_t slicesReplaced_ = 0;
  uint32_t realWritten_ = 0;
  bool wroteRescue_ = false;
  bool writeFailed_ = false;
  bool leftOut_ = false;
  std::vector<uint8_t> buffer_;
};

#endif  // ORVANTE_VIDEO_VIDEO_RESCUER_H_
