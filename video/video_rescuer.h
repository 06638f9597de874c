#ifndef ORVANTE_VIDEO_VIDEO_RESCUER_H_
#define ORVANTE_VIDEO_VIDEO_RESCUER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "source/byte_source.h"
#include "source/progress_callback.h"
#include "source/repair_reporter.h"
#include "source/time_stamp_list.h"
#include "video/anchor_history.h"
#include "video/concealment_planner.h"
#include "video/headless_picture_finder.h"
#include "video/picture_chooser.h"
#include "video/picture_recoder.h"
#include "video/picture_survey.h"
#include "video/picture_timeline.h"
#include "video/rescue_element_writer.h"
#include "video/video_fixer.h"
#include "video/video_stream_writer.h"
#include "video/walk_ahead.h"

// VideoRescuer writes the video of a damaged recording so that every slice
// that goes out parses, every picture period of the recording holds a
// picture, and what is shown stays as close to the recording as what
// survived allows:
//   - every picture that can be decoded goes out, predicted from whatever
//     stands in for its references; the macroblocks of its slices that
//     parse are kept, and its holes concealed (PictureRecoder). An I picture
//     with holes goes out as a P picture, its holes predicted from the anchor
//     before; where there is none (the recording's start), or where a group
//     would grow past what temporal references can number, as an I picture
//     whose holes blend the DC values around them. An I picture's slice
//     taken up after damage that nothing kept around it levels is levelled
//     by the I picture written before it;
//   - an anchor whose header and first bytes damage took, where its rest
//     runs on after the damage, goes out from that rest as a P picture, its
//     head concealed (HeadlessPictureFinder); the picture the rest lay in
//     keeps none of it;
//   - an I picture that parses, where no sector's error code vouches for
//     its bytes, is checked for a DC value flipped unseen, and the run it
//     left levelled (PictureRecoder, DcStepFinder);
//   - a picture whose bytes are gone, or of which too little survives to
//     help, becomes a picture that repeats the one shown before it: a P
//     picture of skipped macroblocks, or a B picture where it stands between
//     two anchors; where an anchor was lost, its repeat stands in for it as
//     the anchor of the pictures around it;
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
// outlive it, as must the suspect and damaged ranges when given.
class VideoRescuer {
 public:
  // `checking` reports the survey, `writing` the writing pass. `suspect`:
  // the ranges of the video not known to be as written (PictureSurvey);
  // null when nothing is known, and everything is checked. `damaged`: the
  // ranges known damaged, where no macroblock is kept; null when none is
  // known.
  VideoRescuer(ByteSource& video, const TimeStampList& stamps, ProgressCallback checking, ProgressCallback writing,
               RepairReporter* reporter, const RangeList* suspect = nullptr, const RangeList* damaged = nullptr);

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
  // removed. When not one picture can go out, no file is written and
  // leftOut() turns true. MPEG-2 video (mpeg2()) is written by the plain
  // rewrite.
  void write(const std::string& baseName, const PresentationSpan& recording, bool recordingClean);
  bool writeFailed() const { return writeFailed_; }
  bool leftOut() const { return leftOut_; }

  // REQUIRES: analyze() ran. Whether the rescue can write the stream: it
  // is MPEG-1 and gives a size to walk slices in. Otherwise write() writes
  // it as the plain rewrite does.
  bool rescuable() const { return survey_->macroblocks() != 0 && !survey_->mpeg2(); }
  // REQUIRES: analyze() ran, and rescuable(). Whether any picture can go
  // out.
  bool hasPictures() const { return chooser_->anyGroup(); }
  // REQUIRES: as hasPictures(). Writes the rescued pictures, covering
  // `recording`, into `writer`, which is open and set to this stream's
  // format(): one recording of several joined in one output. Write failures
  // show in writer.output().failed(). The writer must outlive the rescuer's
  // report calls.
  void writeInto(VideoStreamWriter& writer, const PresentationSpan& recording);
  // The format the rescue writes: the probe's, its size in the bits the
  // header has for it, with an aspect ratio code that decoders take (1,
  // square pixels, for a forbidden one).
  const ProbedFormat& format() const { return format_; }

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
  uint32_t picturesConcealed() const { return picturesConcealed_; }
  uint32_t macroblocksConcealed() const { return macroblocksConcealed_; }

 private:
  using Form = PictureChooser::Form;
  const std::vector<Form>& forms() const { return chooser_->forms(); }
  // Writes the output group that begins at kept I picture `first` and
  // covers slots [start, end).
  void writeGroup(uint32_t first, int64_t start, int64_t end, bool firstGroup);
  // Covers slots [start, end) with groups of at most kTemporalReferenceModulus
  // slots, each the kept I picture `intra` again and repeats of it: runs of
  // repeats longer than temporal references can number. The first group
  // gets a group header only when `groupHeaders`.
  void writeIntraRepeats(uint32_t intra, int64_t start, int64_t end, bool groupHeaders);
  // Writes anchor or B picture k at `slot`. `backward`: a B picture with no
  // forward reference, whose repairs look backward. `repeat`: a copy of a
  // picture already written, shown again at `slot`; it counts as no
  // picture of the input written.
  void writePicture(uint32_t k, int64_t slot, int64_t groupStart, bool backward, bool repeat = false);
  void writeRepeat(char letter, bool backward, int64_t slot, int64_t groupStart, bool alongMotion = false);
  // A repeat that moves its references along the motion known of the
  // anchors around it, as concealment guesses it; false, writing nothing,
  // where that motion is not known.
  bool writeMovedRepeat(char letter, int64_t slot, int64_t groupStart);
  // The anchor lost at `slot` from the rest of it found after damage
  // (headless_): a P picture keeping what of the rest parses, its head
  // concealed; false, writing nothing, where no rest was found or too
  // little of it parses.
  bool writeHeadless(int64_t slot, int64_t groupStart);
  // Writes the picture re-coded into slices_ under a header of its own, as
  // `letter` ('P' or 'B'), at `slot`; a P picture becomes the last anchor,
  // with the result's motion.
  void writeRecoded(char letter, int64_t slot, int64_t groupStart, uint32_t backwardFCode,
                    PictureRecoder::Result* result);
  // Counts a picture shown at `slot` as concealed, with `macroblocks` of
  // it, and reports them.
  void reportConcealed(int64_t slot, uint32_t macroblocks);
  // The header fields and slices the recoder works from.
  PictureRecoder::Picture recoderPicture(uint32_t k) const;
  void slicesOf(uint32_t k, std::vector<PictureRecoder::Slice>* slices) const;
  // Whether writePicture() walks the picture's slices: one not whole is
  // re-coded; a whole I picture whose bytes nothing vouches for is checked
  // for flipped DC bits.
  static bool walkedWhenWritten(const PictureSurvey::Picture& p);
  // Queues the walks of the pictures after k that will be re-coded, as far
  // as the walker ahead holds them; hands k's, if walked, to the recoder.
  void walkAhead(uint32_t k, bool walks);
  uint64_t timeOf(int64_t slot) const;
  // I picture k was written (again).
  void intraWritten(uint32_t k);
  // The DC values of the I picture written before I picture k, other than
  // k; null before the first.
  const PictureRecoder::DcField* intraBeforeDc(uint32_t k);
  static constexpr uint32_t kNone = UINT32_MAX;

  ByteSource& video_;
  const TimeStampList& stamps_;
  ProgressCallback checking_;
  ProgressCallback writing_;
  RepairReporter* const reporter_;
  const RangeList* const suspect_;
  const RangeList* const damaged_;
  VideoFixer fixer_;  // probes; writes a clean stream
  // The anchors written last; their motion found by motionWalker_.
  AnchorHistory anchors_;
  std::unique_ptr<PictureSurvey> survey_;
  std::unique_ptr<PictureTimeline> timeline_;
  std::unique_ptr<PictureChooser> chooser_;
  std::unique_ptr<PictureRecoder> recoder_;
  // Walks the anchors whose motion anchors_ asks for, leaving recoder_'s
  // walk as it is: the one handed to it by ahead_.
  std::unique_ptr<PictureRecoder> motionWalker_;
  std::unique_ptr<WalkAhead> ahead_;  // on machines with processors to spare
  uint32_t nextAhead_ = 0;            // the next picture walkAhead() looks at
  std::unique_ptr<VideoStreamWriter> ownWriter_;  // write()'s own
  VideoStreamWriter* writer_ = nullptr;             // the writer in use
  std::unique_ptr<RescueElementWriter> elements_;   // onto writer_

  ProbedFormat format_;
  std::vector<uint32_t> damagedPairs_;    // damaged_, as pairs, and the rests claimed
  std::map<int64_t, HeadlessPictureFinder::Rest> headless_;  // by the slot of the anchor lost
  int64_t recordingFirst_ = 0;   // the slots the output covers
  int64_t recordingEnd_ = 0;
  uint64_t recordingStart_ = 0;  // ticks of recordingFirst_
  // The I pictures written last and before it, and the DC values of one
  // of them (intraDcOf_): what levels the walks resumed in the next I
  // picture where nothing around them tells their level, and tells its
  // flipped DC bits from its edges.
  uint32_t lastIntra_ = kNone;
  uint32_t intraBeforeLast_ = kNone;
  uint32_t intraDcOf_ = kNone;
  PictureRecoder::DcField intraDc_;
  std::vector<PictureRecoder::Slice> dcSlices_;
  bool useBackward_ = true;      // no anchor went out yet: repeats look forward
  uint32_t picturesRepeated_ = 0;
  uint32_t picturesConcealed_ = 0;
  uint32_t macroblocksConcealed_ = 0;
  uint32_t realWritten_ = 0;
  bool wroteRescue_ = false;
  bool writeFailed_ = false;
  bool leftOut_ = false;
  std::vector<uint8_t> slices_;
  std::vector<PictureRecoder::Slice> sliceList_;
  std::vector<PictureRecoder::Slice> aheadSlices_;
};

#endif  // ORVANTE_VIDEO_VIDEO_RESCUER_H_
