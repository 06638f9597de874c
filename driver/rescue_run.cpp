#include "driver/rescue_run.h"

#include <algorithm>
#include <cassert>
#include <memory>
#include <vector>

#include "container/audio_rescuer.h"
#include "container/riff_decoder.h"
#include "container/sector_rescuer.h"
#include "container/rescue_demuxer.h"
#include "container/time_stamp_reader.h"
#include "driver/audio_alongside.h"
#include "driver/joined_recordings.h"
#include "driver/rescue_report.h"
#include "driver/report_lines.h"
#include "source/output_name.h"
#include "source/patched_source.h"
#include "source/range_view_source.h"
#include "video/video_format.h"
#include "video/video_rescuer.h"
#include "video/video_stream_writer.h"

namespace {

// The span of the recording: from the earlier start to the later end of the
// streams' spans. Spans further apart than a loss can be long are not
// joined: one of them comes from a wild stamp.
PresentationSpan recordingSpan(const PresentationSpan& video, const PresentationSpan& audio) {
  if (!video.known) return audio;
  if (!audio.known) return video;
  const uint64_t gap = video.start > audio.end   ? video.start - audio.end
                       : audio.start > video.end ? audio.start - video.end
                                                 : 0;
  if (gap > kLongestLossTicks) return video;
  PresentationSpan span;
  span.start = std::min(video.start, audio.start);
  span.end = std::max(video.end, audio.end);
  span.known = true;
  return span;
}

// Repairs of one recording of several joined, told as times into the whole
// input: its own times, moved on by the recordings before it.
class OffsetReporter : public RepairReporter {
 public:
  OffsetReporter(RepairReporter& whole, uint64_t offset) : whole_(whole), offset_(offset) {}
  void dropped(Drop reason, uint32_t offset, uint32_t length) override { whole_.dropped(reason, offset, length); }
  void repaired(Repair kind, uint64_t time) override { whole_.repaired(kind, time + offset_); }
  void timelineUnchecked() override { whole_.timelineUnchecked(); }

 private:
  RepairReporter& whole_;
  const uint64_t offset_;
};

// What the video's analysis tells, held until it is known whether the
// input is one recording, whose analysis it is, or joins several, which are
// analysed again one by one; then passed on, or forgotten.
class HeldReporter : public RepairReporter {
 public:
  void dropped(Drop reason, uint32_t offset, uint32_t length) override {
    if (to_ != nullptr) {
      to_->dropped(reason, offset, length);
    } else {
      drops_.push_back({reason, offset, length});
    }
  }
  void repaired(Repair kind, uint64_t time) override {
    assert(to_ != nullptr);  // repairs come when the video is written
    to_->repaired(kind, time);
  }
  void timelineUnchecked() override {
    if (to_ != nullptr) {
      to_->timelineUnchecked();
    } else {
      unchecked_ = true;
    }
  }
  // Passes on what was held, and from now on everything as it comes.
  void release(RepairReporter& to) {
    to_ = &to;
    for (const HeldDrop& drop : drops_) to.dropped(drop.reason, drop.offset, drop.length);
    if (unchecked_) to.timelineUnchecked();
    drops_.clear();
  }

 private:
  struct HeldDrop {
    Drop reason;
    uint32_t offset;
    uint32_t length;
  };
  std::vector<HeldDrop> drops_;
  bool unchecked_ = false;
  RepairReporter* to_ = nullptr;
};

}  // namespace

// Each recording of the input, analysed in its own format and on its own
// clock; progress is not shown again, as the whole input's was.
class RescueRun::JoinedRescue {
 public:
  struct Rescue {
    std::unique_ptr<RangeViewSource> videoView;
    std::unique_ptr<RangeViewSource> audioView;
    std::unique_ptr<OffsetReporter> reporter;
    std::unique_ptr<VideoRescuer> video;
    std::unique_ptr<AudioRescuer> audio;
    PresentationSpan recording;
  };

  JoinedRescue(ByteSource& source, const JoinedRecordings& joined, RepairReporter& report) {
    uint64_t offset = 0;  // ticks of the recordings before
    for (const std::unique_ptr<JoinedRecordings::Part>& part : joined.parts()) {
      Rescue r;
      r.videoView = std::make_unique<RangeViewSource>(source, part->video);
      r.audioView = std::make_unique<RangeViewSource>(source, part->audio);
      r.reporter = std::make_unique<OffsetReporter>(report, offset);
      r.video = std::make_unique<VideoRescuer>(*r.videoView, part->videoStamps, ProgressCallback(), ProgressCallback(),
                                               r.reporter.get(), part->suspectKnown ? &part->videoSuspect : nullptr);
      r.video->analyze();
      r.audio = std::make_unique<AudioRescuer>(*r.audioView, part->audioStamps, ProgressCallback(), r.reporter.get());
      r.audio->analyze();
      r.recording = recordingSpan(r.video->span(), r.audio->span());
      clean_ = clean_ && r.video->clean(r.recording) && r.audio->clean(r.recording);
      rescuable_ = rescuable_ && r.video->rescuable();
      hasPictures_ = hasPictures_ || (r.video->rescuable() && r.video->hasPictures());
      hasFrames_ = hasFrames_ || r.audio->hasFrames();
      if (r.recording.known) {
        offset += r.recording.end - r.recording.start;
      } else {
        offset += static_cast<uint64_t>(r.video->picturesSeen() * ticksPerPicture(r.video->format().frameRateCode));
      }
      rescues_.push_back(std::move(r));
    }
  }

  size_t count() const { return rescues_.size(); }
  Rescue& part(size_t j) { return rescues_[j]; }
  // Every recording clean, both streams.
  bool clean() const { return clean_; }
  // Every recording's video can be rescued: none without a size, none
  // MPEG-2.
  bool rescuable() const { return rescuable_; }
  bool hasPictures() const { return hasPictures_; }
  bool hasFrames() const { return hasFrames_; }

 private:
  std::vector<Rescue> rescues_;
  bool clean_ = true;
  bool rescuable_ = true;
  bool hasPictures_ = false;
  bool hasFrames_ = false;
};

RescueRun::RescueRun(Console& console) : console_(console) {}

bool RescueRun::run(ByteSource& source, const std::string& baseName) {
  reportLines_.clear();
  RescueReport report;
  // Sector image stage: the payload of the sectors, lost sectors left out.
  RiffDecoder decoder(source, console_.callbackFor(Console::Pass::kSectors));
  if (decoder.decode()) return runImage(source, decoder.payloadRanges(), source.size(), baseName, report);
  // Sectors read back as zeros ahead of the first can hide an image: the
  // image is then what follows them.
  uint32_t start = 0;
  if (SectorRescuer::findImageStart(source, &start)) {
    RangeList rest;
    rest.append(start, source.size());
    RangeViewSource image(source, rest);
    RiffDecoder late(image, console_.callbackFor(Console::Pass::kSectors));
    if (late.decode()) {
      report.dropped(RepairReporter::Drop::kLostSector, 0, start);
      return runImage(image, late.payloadRanges(), source.size(), baseName, report);
    }
  }
  return runPipeline(source, baseName, report, nullptr, nullptr);
}

bool RescueRun::runImage(ByteSource& image, const RangeList& payloadRanges, uint64_t sourceSize,
                         const std::string& baseName, RescueReport& report) {
  SectorRescuer sectors(image, payloadRanges, &report);
  sectors.mend();
  printSectorReport(console_, sourceSize, sectors.ranges().total());
  // Bits the sectors' codes put right are read as they were written.
  PatchedSource corrected(image, sectors.corrections());
  RangeViewSource payload(corrected, sectors.ranges());
  return runPipeline(payload, baseName, report, &sectors.suspect(), &sectors.damaged());
}

bool RescueRun::runPipeline(ByteSource& source, const std::string& baseName, RescueReport& report,
                            const RangeList* suspect, const RangeList* damaged) {
  // A disc image whose sectors were lost or put right is no clean
  // recording, even where the stream itself came through whole.
  const bool sectorsClean = report.empty();
  TimeStampReader stamps(source);
  RescueDemuxer demuxer(source, console_.callbackFor(Console::Pass::kDemux), &stamps);
  demuxer.demultiplex();
  printStreamSizes(console_, demuxer.videoRanges().total(), demuxer.audioRanges().total());

  RangeViewSource video(source, demuxer.videoRanges());
  RangeList videoSuspect;
  if (suspect != nullptr) RangeViewSource::rangesInView(demuxer.videoRanges(), *suspect, &videoSuspect);
  // Damaged: what the sectors tell, and the packets the stream lost bytes
  // inside.
  const RangeList none;
  RangeList allDamaged;
  RangeList::unionOf(damaged != nullptr ? *damaged : none, demuxer.losses(), &allDamaged);
  RangeList videoDamaged;
  RangeViewSource::rangesInView(demuxer.videoRanges(), allDamaged, &videoDamaged);
  HeldReporter held;
  VideoRescuer videoRescuer(video, stamps.videoStamps(), console_.callbackFor(Console::Pass::kCheck),
                            console_.callbackFor(Console::Pass::kVideo), &held,
                            suspect != nullptr ? &videoSuspect : nullptr, &videoDamaged);
  RangeViewSource audio(source, demuxer.audioRanges());
  AudioAlongside audioAnalysis(audio, stamps.audioStamps(), console_.callbackFor(Console::Pass::kAudio), &report);
  videoRescuer.analyze();
  AudioRescuer& audioRescuer = audioAnalysis.analyzed();
  const PresentationSpan recording = recordingSpan(videoRescuer.span(), audioRescuer.span());

  // A clean recording comes out as the plain run writes it; so do clean
  // recordings of different formats joined.
  bool clean = sectorsClean && videoRescuer.clean(recording) && audioRescuer.clean(recording);
  const std::vector<uint32_t> starts = videoRescuer.recordingStarts();
  if (!starts.empty()) {
    JoinedRecordings joined(demuxer.videoRanges(), demuxer.audioRanges(), stamps.videoStamps(), stamps.audioStamps(),
                            suspect != nullptr ? &videoSuspect : nullptr, starts);
    JoinedRescue rescue(source, joined, report);
    if (rescue.rescuable() && !(sectorsClean && rescue.clean())) {
      return writeJoined(rescue, baseName, report, demuxer.audioRanges().total());
    }
    clean = sectorsClean && rescue.clean();
    // Clean: what the whole input's analysis found wrong was the joins.
    if (clean) held = HeldReporter();
  }
  held.release(report);
  videoRescuer.write(baseName, recording, clean);
  if (videoRescuer.writeFailed()) return cannotWrite(console_, videoFileName(baseName));
  if (videoRescuer.leftOut()) report.videoLeftOut();
  if (videoRescuer.mpeg2()) report.videoNotRescued();
  printVideoReport(console_, videoRescuer.formatText(), videoRescuer.framesUsed(), videoRescuer.picturesSeen(),
                   videoRescuer.claimedBitrate(), videoRescuer.actualBitrate());

  if (!audioRescuer.write(baseName, recording, clean) && demuxer.audioRanges().total() > 0) {
    report.audioLeftOut(audioRescuer.hasFrames() ? audioRescuer.framesFound() : 0);
  }
  if (audioRescuer.writeFailed()) return cannotWrite(console_, audioFileName(baseName));
  printRescueBlock(report);
  return true;
}

bool RescueRun::writeJoined(JoinedRescue& rescue, const std::string& baseName, RescueReport& report,
                            uint32_t audioSize) {
  // The video: each recording in its own format, one after the other.
  // The stream opens in the format of the first recording that has
  // pictures to write.
  size_t opening = 0;
  while (opening + 1 < rescue.count() && !rescue.part(opening).video->hasPictures()) ++opening;
  VideoStreamWriter writer(rescue.part(opening).video->format(), VideoStreamWriter::Fill::kWithinBuffer);
  ProgressCallback writing = console_.callbackFor(Console::Pass::kVideo);
  uint32_t framesUsed = 0;
  uint32_t picturesSeen = 0;
  double seconds = 0;  // of pictures written
  if (rescue.hasPictures()) {
    if (!writer.open(videoFileName(baseName))) return cannotWrite(console_, videoFileName(baseName));
    writing('S', 0, 0);
    bool started = false;
    for (size_t j = 0; j < rescue.count(); ++j) {
      JoinedRescue::Rescue& part = rescue.part(j);
      if (!part.video->hasPictures()) continue;
      if (started) writer.startRecording(part.video->format());
      started = true;
      const uint32_t before = writer.picturesWritten();
      part.video->writeInto(writer, part.recording);
      seconds += (writer.picturesWritten() - before) / part.video->format().frameRate;
    }
    if (!writer.finish()) return cannotWrite(console_, videoFileName(baseName));
    writing('E', 0, 0);
  } else {
    report.videoLeftOut();
  }
  for (size_t j = 0; j < rescue.count(); ++j) {
    framesUsed += rescue.part(j).video->framesUsed();
    picturesSeen += rescue.part(j).video->picturesSeen();
  }
  const uint64_t bitrate =
      seconds > 0 ? static_cast<uint64_t>(static_cast<long double>(writer.outputSize()) * 8 / seconds) : 0;
  printVideoReport(console_, rescue.part(0).video->formatText(), framesUsed, picturesSeen,
                   rescue.part(0).video->claimedBitrate(), bitrate);

  // The audio: each recording's, padded to its own span; two frames at
  // least, as for one recording.
  uint64_t framesOut = 0;
  for (size_t j = 0; j < rescue.count(); ++j) framesOut += rescue.part(j).audio->framesOut(rescue.part(j).recording);
  if (rescue.hasFrames() && framesOut >= AudioRescuer::kLeastFramesWritten) {
    OutputFile output;
    ProgressCallback audioProgress = console_.callbackFor(Console::Pass::kAudio);
    if (!output.open(audioFileName(baseName))) return cannotWrite(console_, audioFileName(baseName));
    audioProgress('S', 0, 0);
    for (size_t j = 0; j < rescue.count(); ++j) {
      rescue.part(j).audio->writeInto(output, rescue.part(j).recording);
    }
    if (!output.close()) return cannotWrite(console_, audioFileName(baseName));
    audioProgress('E', 0, 0);
  } else if (audioSize > 0) {
    report.audioLeftOut(rescue.hasFrames() ? static_cast<uint32_t>(framesOut) : 0);
  }
  printRescueBlock(report);
  return true;
}

void RescueRun::printRescueBlock(const RescueReport& report) {
  reportLines_ = report.lines();
  console_.printEmptyLine();
  for (const std::string& line : reportLines_) console_.printLine(line);
}
