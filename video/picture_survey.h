#ifndef ORVANTE_VIDEO_PICTURE_SURVEY_H_
#define ORVANTE_VIDEO_PICTURE_SURVEY_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "source/byte_source.h"
#include "source/progress_callback.h"
#include "source/range_list.h"
#include "source/repair_reporter.h"
#include "video/group_header.h"
#include "video/picture_sequence_checker.h"
#include "video/probed_format.h"
#include "video/slice_walk_queue.h"

// PictureSurvey walks a video elementary stream once, before a damaged
// recording is rescued, and records where its groups of pictures and its
// pictures lie and in what state they are: each picture's header, and
// whether its slices parse and cover its macroblocks exactly once. It reads
// only; nothing is copied or written.
//
// It also tells whether the stream is clean: every element well formed and
// in its place, every slice parses, every picture is covered once, and the
// order checker accepts every picture and slice. A clean stream is written
// by the plain rewrite, which then keeps every one of its bytes.
//
// The survey does not own its source, its format or its reporter, which
// must outlive it. Offsets are positions in the source.
class PictureSurvey {
 public:
  // A slice of a picture that is not whole, in stream order: one that
  // parses, or one that breaks (whose first macroblocks may still be kept).
  // Slices over macroblocks covered already belong to no picture kept and
  // are not listed.
  struct Slice {
    uint32_t start;            // its start code
    uint32_t end;              // the next start code
    uint32_t firstMacroblock;  // addresses of the macroblocks it covers (parsed ones)
    uint32_t lastMacroblock;
    bool broken;
  };

  struct Picture {
    uint32_t start = 0;        // its start code
    uint32_t headerEnd = 0;    // the end of its header and the zero bytes after it
    uint32_t end = 0;          // the end of its last slice that parses
    uint32_t unitStart = 0;    // where the headers that lead into it begin, else start
    uint32_t group = 0;        // index of its group
    uint32_t temporalReference = 0;
    uint8_t codingType = 0;    // 1 I, 2 P, 3 B
    uint8_t forwardFCode = 0;
    uint8_t backwardFCode = 0;
    bool fullPelForward = false;
    bool fullPelBackward = false;
    // Its slices parse and cover its macroblocks exactly once.
    bool intact = false;
    // Intact, and nothing stands between its header and slices: [start, end)
    // is the whole picture, to be copied in one piece.
    bool whole = false;
    // Its header can be decoded (P and B pictures need motion ranges).
    bool decodable = false;
    // Its slices were walked: not all of its bytes are known to be as they
    // were written (or it came in pieces, or at the stream's end).
    bool walked = false;
    uint32_t firstSlice = 0;   // its slices, in slices(), when not whole
                               // (macroblock addresses 0 when the size is unknown)
    uint32_t sliceCount = 0;

    char letter() const { return " IPB"[codingType < 4 ? codingType : 0]; }
    bool anchor() const { return codingType == 1 || codingType == 2; }
  };

  struct Group {
    uint32_t sequenceStart = 0;  // a well-formed sequence header of the probed format
    uint32_t sequenceEnd = 0;    // just before the group; empty when none
    uint32_t headerStart = 0;    // its group header; empty when it began without one
    uint32_t headerEnd = 0;
    GroupHeader header;
    uint32_t firstPicture = 0;   // index of its first picture
  };

  // Slices are walked on `workers` threads (SliceWalkQueue) while the
  // stream is read on. `suspect`, when given, holds the ranges of the
  // stream that are not known to be as they were written (increasing, not
  // overlapping): the slices of a picture that lies wholly outside them are
  // taken as written, and not walked. Null: everything is suspect. The
  // list must outlive the survey.
  PictureSurvey(ByteSource& video, const ProbedFormat& format, ProgressCallback progress, RepairReporter* reporter,
                const RangeList* suspect = nullptr, unsigned workers = SliceWalkQueue::defaultWorkers());

  // The pass. Sends 'S', a 'P' for every start code, and 'E'.
  void survey();

  const std::vector<Picture>& pictures() const { return pictures_; }
  const std::vector<Group>& groups() const { return groups_; }
  const std::vector<Slice>& slices() const { return slices_; }
  bool clean() const { return clean_; }
  // Where the stream joins recordings of another picture size or frame
  // rate: the offset of the sequence header that opens each recording after
  // the first, increasing. A header of another format than the recording
  // before opens one when the next sequence header states the same format,
  // or when it is the stream's last and nothing of it is suspect: one that
  // damage changed, with the recording's own headers around it, opens none.
  std::vector<uint32_t> recordingStarts() const;
  // An extension start code follows the first sequence header of the
  // format: the stream is MPEG-2, whose slices this survey cannot walk.
  bool mpeg2() const { return mpeg2_; }
  // Well-formed headers of I, P and B pictures.
  uint32_t picturesSeen() const { return picturesSeen_; }
  // Macroblocks in a picture; 0 when the format gives no size, and slices
  // are then not walked.
  uint32_t macroblocks() const { return widthInMacroblocks_ * heightInMacroblocks_; }
  uint32_t widthInMacroblocks() const { return widthInMacroblocks_; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  // Reads the sequence or group header whose start code is at `start`: true
  // when it is well formed; otherwise the start code is rejected, as the
  // plain rewrite rejects it.
  template <typename Header>
  bool readHeader(uint32_t start, Header* header);
  void surveyPicture(uint32_t start);
  void surveySlice(uint32_t code, uint32_t start);
  void surveySequenceHeader(uint32_t start);
  void surveyGroupHeader(uint32_t start);
  // Ends the picture being surveyed: slices that follow belong to none.
  void closePicture();
  // With the walks of all slices at hand: which parse, and whether each
  // picture's slices cover it once.
  void resolveSlices();
  void startGroup();
  // Something a plain rewrite would refuse: the stream is not clean.
  void anomaly(RepairReporter::Drop reason, uint32_t from, uint32_t to);

  ByteSource& video_;
  const ProbedFormat& format_;
  ProgressCallback progress_;
  RepairReporter* const reporter_;
  const uint32_t widthInMacroblocks_;
  const uint32_t heightInMacroblocks_;
  const unsigned workers_;

  // A slice of a picture that can be decoded, as the pass meets it.
  struct FoundSlice {
    uint32_t start;
    uint32_t end;
    uint32_t code;
    uint32_t picture;
    uint32_t walk;  // its walk in walks_, or kNone: taken as written
  };
  // Whether any of [start, end) is suspect.
  bool suspect(uint32_t start, uint32_t end);
  // Queues the walk of found slice k.
  void queueWalk(size_t k);

  // A well-formed sequence header: where it starts, the size and rate it
  // states, and whether any of it is known to be suspect.
  struct SequenceMark {
    uint32_t start;
    uint32_t width;
    uint32_t height;
    uint32_t frameRateCode;
    bool suspect;
  };
  std::vector<SequenceMark> sequenceMarks_;

  const RangeList* const suspect_;
  uint32_t suspectIndex_ = 0;     // the first suspect range that may still meet a slice
  std::vector<FoundSlice> found_;
  size_t firstFound_ = 0;         // the current picture's first found slice
  bool walkCurrent_ = false;      // its slices are walked
  // The start code a slice's scan ended on, and where: the pass takes it
  // from here rather than scanning to it again.
  bool codeAfterSliceKnown_ = false;
  uint32_t codeAfterSlice_ = 0;
  uint32_t codeAfterSliceAt_ = 0;
  std::unique_ptr<SliceWalkQueue> walks_;
  size_t walksQueued_ = 0;

  PictureSequenceChecker checker_;  // as the plain rewrite judges the order
  std::vector<Picture> pictures_;
  std::vector<Group> groups_;
  std::vector<Slice> slices_;
  std::vector<uint8_t> scratch_;    // a slice that does not lie in one span
  uint32_t current_ = kNone;        // the picture whose slices follow
  uint32_t leadStart_ = kNone;      // where headers before the next picture began
  uint32_t sequenceStart_ = kNone;  // a usable sequence header just before
  uint32_t sequenceEnd_ = 0;
  uint32_t picturesSeen_ = 0;
  bool clean_ = true;
  bool mpeg2_ = false;
  uint32_t firstSequenceEnd_ = kNone;  // where the first sequence header of the format ends
};

#endif  // ORVANTE_VIDEO_PICTURE_SURVEY_H_
