#ifndef ORVANTE_CONTAINER_AUDIO_RESCUER_H_
#define ORVANTE_CONTAINER_AUDIO_RESCUER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "container/audio_frame_header.h"
#include "source/byte_source.h"
#include "source/output_file.h"
#include "source/progress_callback.h"
#include "source/repair_reporter.h"
#include "source/time_stamp_list.h"

// AudioRescuer writes an MPEG audio elementary stream as whole, well-formed
// frames that keep their place in time, for muxers and decoders that stop at
// the first damaged byte.
//
// A frame is kept when its header reads, it lies wholly in the stream and the
// next frame's header of the same stream follows it (or the stream ends
// there). Everything else forms broken stretches, which are left out; where
// whole frames resume, two chained headers are looked for. Each lost or
// broken frame becomes a silent frame (AudioFrameHeader::silent()) where the
// stretch was. How many were lost comes from the time stamps: between two
// trusted stamps, as many frames as their difference holds; elsewhere, and
// in streams without stamps, a stretch's length over the frame length,
// rounded, and at least one frame for a frame cut short. A stamp is trusted
// only when it agrees on the frames between them with one of the two stamps
// before or after it (or is the only one). The stamps are believed about a
// loss within the bounds kLongestLossTicks and kLossAllowanceTicks set;
// beyond them the clock jumped, and the stretch's bytes tell instead.
//
// A stream whose bytes are all whole frames, with nothing lost and no
// padding due, is written unchanged.
//
// The rescuer owns neither the stream, nor its stamps, nor the reporter; all
// must outlive it. The stream's cursor is its own while the rescuer runs.
class AudioRescuer {
 public:
  // `audio`: the audio elementary stream; `stamps`: its time stamps, with
  // offsets in `audio`. `reporter` may be null.
  AudioRescuer(ByteSource& audio, const TimeStampList& stamps, ProgressCallback progress,
               RepairReporter* reporter);

  AudioRescuer(const AudioRescuer&) = delete;
  AudioRescuer& operator=(const AudioRescuer&) = delete;

  // Finds the frames, the broken stretches and the lost frames. Sends no
  // progress event and reports nothing: it reads the stream and the stamps
  // only, and may run on a thread of its own while other passes read other
  // sources. May be run again with the same result.
  void analyze();

  // REQUIRES: analyze() was run. The presentation span of the frames to be
  // written, lost ones included and padding not; unknown when no stamp was
  // trusted.
  PresentationSpan span() const;

  // REQUIRES: analyze() was run. True when nothing of the stream was found
  // lost or broken: no stream at all, or whole frames only, none lost, no
  // silence due before the first to cover `recording`, and no more after
  // the last than clean muxing leaves (kEndToleranceTicks).
  bool clean(const PresentationSpan& recording) const;

  // REQUIRES: analyze() was run. Writes audioFileName(baseName): whole frames
  // only, silent frames for lost and broken ones, and when both `recording`
  // and span() are known, silent frames before and after so that the file
  // covers `recording` (its gaps to span(), in frames, rounded). Reports each
  // repair and drop, in stream order, with times counted from the file's
  // first frame, after timelineUnchecked() when span() is unknown. Returns false, touching no file and sending no event, when
  // the stream is empty or holds no frame at all (the latter reported as
  // one drop). When the file cannot be written, writeFailed() turns true,
  // the incomplete file is removed and the pass ends at once, without its
  // 'E' event. Progress events are those of AudioExtractor.
  // A recording found clean (both its streams) keeps its audio unchanged,
  // unpadded.
  bool write(const std::string& baseName, const PresentationSpan& recording, bool recordingClean = false);
  // Frames a stream written alone holds at least: else write() writes
  // nothing and returns false.
  static constexpr uint64_t kLeastFramesWritten = 2;
  // REQUIRES: analyze() was run. The whole frames found.
  uint32_t framesFound() const { return wholeFrames_; }
  // REQUIRES: analyze() was run. The frames, silent ones included, that
  // write() or writeInto() would write to cover `recording`.
  uint64_t framesOut(const PresentationSpan& recording) const;

  // REQUIRES: analyze() was run. Whether any frame can be written: write()
  // and writeInto() return false otherwise.
  bool hasFrames() const { return audio_.size() > 0 && haveFormat_; }
  // REQUIRES: analyze() was run. Writes what write() writes, into `output`,
  // which is open and stays so: one recording of several joined in one
  // output, padded to its own `recording`. Returns false, writing nothing,
  // where write() does. Write failures show in output.failed(). Sends no
  // progress event.
  bool writeInto(OutputFile& output, const PresentationSpan& recording);
  // True when the last write() could not write its file.
  bool writeFailed() const { return writeFailed_; }
  // Silent frames the last write() wrote: for lost and broken frames and
  // for padding.
  uint32_t silentFrames() const { return silentWritten_; }

 private:
  // A place where the output departs from the input: `length` bytes from
  // `start` left out (none when frames were lost with their bytes), and
  // `silent` silent frames written there.
  struct Gap {
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t framesBefore = 0;  // whole frames of the input before it
    uint32_t silent = 0;
    bool cutFrame = false;      // it begins with a readable header: a frame cut short
    AudioFrameHeader header;    // of the frame before it, or after it when none is
  };
  // A stamp that names the presentation time of a whole frame.
  struct Anchor {
    uint32_t frame = 0;  // index among the whole frames
    uint32_t offset = 0;
    uint64_t pts = 0;
    AudioFrameHeader header;
    bool trusted = false;
  };

  // The frames, silence for the gaps, and `lead` and `trail` silent frames
  // around them.
  void writeFrames(OutputFile& output, uint64_t lead, uint64_t trail);
  // Whether a frame of the stream (of the kept frames' stream, once there is
  // one) starts at `offset` and is whole; fills `header`.
  bool wholeFrameAt(uint32_t offset, AudioFrameHeader* header);
  // Whether the header at `offset` reads and belongs to the stream. The
  // header read last is kept: whole frames are told by the header after
  // them, which is read again as the next frame's.
  bool headerAt(uint32_t offset, AudioFrameHeader* header);
  // The next offset after `offset` where a whole frame starts; size() when
  // none does.
  uint32_t nextWholeFrame(uint32_t offset);
  // Ties the stamps whose payload starts at or before `offset` to the whole
  // frame starting there (when `whole`).
  void anchorStamps(uint32_t offset, bool whole, bool afterGap, const AudioFrameHeader& header);
  // Marks each anchor that agrees with a near one as trusted.
  void trustAnchors();
  // Sets each gap's silent frames; adds gaps where stamps tell of frames
  // lost without a trace.
  void countLostFrames();
  // Silent frames for the gaps gaps_[first, last) between trusted anchors
  // `from` and `to`, appended to `counted`; the stamps are believed for at
  // most `allowed` lost frames.
  void shareLostFrames(const Anchor& from, const Anchor& to, size_t first, size_t last, uint64_t allowed,
                       std::vector<Gap>* counted);
  // Silent frames that may still be bridged, `bridged` having been, after
  // `whole` whole frames.
  uint64_t allowedLoss(uint64_t whole, uint64_t bridged) const;
  // A gap's lost frames judged from its bytes.
  uint32_t estimatedFrames(const Gap& gap) const;

  // The silent frames due before the first frame and after the last to
  // cover `recording`; none when it or the span is unknown.
  void padding(const PresentationSpan& recording, uint64_t* lead, uint64_t* trail) const;

  // Ticks of `frames` frames of the stream, rounded.
  uint64_t ticksOf(uint64_t frames) const;
  // Frames in `ticks`, rounded; 0 for none or less.
  uint64_t framesIn(int64_t ticks) const;

  // Writing: copies (or skips) the input up to `end`, sending the progress
  // events due on the way.
  void advance(OutputFile& output, uint32_t end, bool copy);
  // Writes `count` silent frames of `header`, reporting them from output
  // frame `index` on.
  void writeSilence(OutputFile& output, const AudioFrameHeader& header, uint64_t count, uint64_t index);

  ByteSource& audio_;
  const TimeStampList& stamps_;
  const ProgressCallback progress_;
  RepairReporter* const reporter_;

  // Analysis.
  bool analyzed_ = false;
  std::vector<Gap> gaps_;
  std::vector<Anchor> anchors_;
  size_t nextStamp_ = 0;        // the first stamp not yet tied to a frame
  bool haveFormat_ = false;     // a whole frame was found; format_ is its header
  AudioFrameHeader format_;     // the first whole frame's header
  AudioFrameHeader lastFrame_;  // the last whole frame's header
  uint32_t wholeFrames_ = 0;
  uint64_t silentLost_ = 0;     // silent frames for the gaps
  bool spanKnown_ = false;
  int64_t start_ = 0;           // presentation time of the first frame written, padding aside
  uint32_t readAt_ = UINT32_MAX;  // where the header kept was read (headerAt)
  bool readWhole_ = false;        // whether it read
  AudioFrameHeader read_;         // as read there

  // Writing.
  uint32_t position_ = 0;       // the input offset reached
  uint64_t nextMark_ = 0;       // the input offset of the next progress event
  bool writeFailed_ = false;
  uint32_t silentWritten_ = 0;
};

#endif  // ORVANTE_CONTAINER_AUDIO_RESCUER_H_
