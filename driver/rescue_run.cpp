#include "driver/rescue_run.h"

#include <algorithm>

#include "container/audio_rescuer.h"
#include "container/riff_decoder.h"
#include "container/sector_rescuer.h"
#include "container/rescue_demuxer.h"
#include "container/time_stamp_reader.h"
#include "driver/rescue_report.h"
#include "driver/report_lines.h"
#include "source/output_name.h"
#include "source/range_view_source.h"
#include "video/video_rescuer.h"

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

}  // namespace

RescueRun::RescueRun(Console& console) : console_(console) {}

bool RescueRun::run(ByteSource& source, const std::string& baseName) {
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
  return runPipeline(source, baseName, report, nullptr);
}

bool RescueRun::runImage(ByteSource& image, const RangeList& payloadRanges, uint64_t sourceSize,
                         const std::string& baseName, RescueReport& report) {
  SectorRescuer sectors(image, payloadRanges, &report);
  sectors.mend();
  printSectorReport(console_, sourceSize, sectors.ranges().total());
  RangeViewSource payload(image, sectors.ranges());
  return runPipeline(payload, baseName, report, &sectors.suspect());
}

bool RescueRun::runPipeline(ByteSource& source, const std::string& baseName, RescueReport& report,
                            const RangeList* suspect) {
  TimeStampReader stamps(source);
  RescueDemuxer demuxer(source, console_.callbackFor(Console::Pass::kDemux), &stamps);
  demuxer.demultiplex();
  printStreamSizes(console_, demuxer.videoRanges().total(), demuxer.audioRanges().total());

  RangeViewSource video(source, demuxer.videoRanges());
  RangeList videoSuspect;
  if (suspect != nullptr) RangeViewSource::rangesInView(demuxer.videoRanges(), *suspect, &videoSuspect);
  VideoRescuer videoRescuer(video, stamps.videoStamps(), console_.callbackFor(Console::Pass::kCheck),
                            console_.callbackFor(Console::Pass::kVideo), &report,
                            suspect != nullptr ? &videoSuspect : nullptr);
  videoRescuer.analyze();
  RangeViewSource audio(source, demuxer.audioRanges());
  AudioRescuer audioRescuer(audio, stamps.audioStamps(), console_.callbackFor(Console::Pass::kAudio), &report);
  audioRescuer.analyze();
  const PresentationSpan recording = recordingSpan(videoRescuer.span(), audioRescuer.span());

  // A clean recording comes out as the plain run writes it.
  const bool clean = videoRescuer.clean(recording) && audioRescuer.clean(recording);
  videoRescuer.write(baseName, recording, clean);
  if (videoRescuer.writeFailed()) return cannotWrite(console_, videoFileName(baseName));
  printVideoReport(console_, videoRescuer.formatText(), videoRescuer.framesUsed(), videoRescuer.picturesSeen(),
                   videoRescuer.claimedBitrate(), videoRescuer.actualBitrate());

  if (!audioRescuer.write(baseName, recording, clean) && demuxer.audioRanges().total() > 0) report.audioLeftOut();
  if (audioRescuer.writeFailed()) return cannotWrite(console_, audioFileName(baseName));
  console_.printEmptyLine();
  for (const std::string& line : report.lines()) console_.printLine(line);
  return true;
}
