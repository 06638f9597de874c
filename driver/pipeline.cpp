#include "driver/pipeline.h"

#include <cinttypes>
#include <cstdio>

#include "container/audio_extractor.h"
#include "container/riff_decoder.h"
#include "container/stream_demuxer.h"
#include "driver/progress_reporter.h"
#include "source/output_name.h"
#include "source/range_view_source.h"
#include "source/segmented_file_source.h"
#include "video/video_fixer.h"

namespace {

void newLine() {
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void printLine(const char* text) {
  std::fputs(text, stdout);
  newLine();
}

void printNumberLine(const char* label, uint64_t number) {
  std::printf("%s%" PRIu64, label, number);
  newLine();
}

// Reports an output that could not be written; the pass has removed it.
bool cannotWrite(const std::string& name) {
  endProgressLine();
  std::printf("Cannot write: %s", name.c_str());
  newLine();
  return false;
}

}  // namespace

int processFile(const char* name) {
  SegmentedFileSource input(name);
  if (input.tooLarge()) {
    printLine("File too large.");
    return -1;
  }
  if (input.size() == 0) {
    printLine("File not found.");
    return -1;
  }
  // An output that leads to the input (through a link) would be emptied when
  // it is opened: refuse it before anything is opened for writing.
  for (const std::string& output : {videoFileName(input.baseName()), audioFileName(input.baseName())}) {
    if (input.holdsFile(output.c_str())) {
      cannotWrite(output);
      return -1;
    }
  }
  const bool processed = processSource(input, input.baseName());
  // Bytes that could not be read went through the passes as zeros, which
  // the repair treats as the damage they are; the report ends by saying so.
  if (input.unreadableBytes() > 0) {
    std::printf("Unreadable input: %" PRIu64 " bytes read as zeros", input.unreadableBytes());
    newLine();
  }
  return processed ? 0 : -1;
}

bool processSource(ByteSource& source, const char* baseName) {
  // Sector image stage: a CD sector image is replaced by its payload.
  RiffDecoder decoder(source, riffProgress);
  if (!decoder.decode()) return runPipeline(source, baseName);
  printNumberLine("Source file size: ", source.size());
  printNumberLine("RIFF data size:   ", decoder.payloadRanges().total());
  newLine();
  RangeViewSource payload(source, decoder.payloadRanges());
  return runPipeline(payload, baseName);
}

bool runPipeline(ByteSource& source, const char* baseName) {
  // Demultiplexing stage.
  StreamDemuxer demuxer(source, demuxProgress);
  demuxer.demultiplex();
  printNumberLine("Video size: ", demuxer.videoRanges().total());
  printNumberLine("Audio size: ", demuxer.audioRanges().total());
  newLine();

  // Video stage.
  RangeViewSource video(source, demuxer.videoRanges());
  VideoFixer fixer(video, videoProgress);
  fixer.rewrite(baseName);
  if (fixer.writeFailed()) return cannotWrite(videoFileName(baseName));
  std::printf("Video format: %s", fixer.formatText().c_str());
  newLine();
  std::printf("Frames used:  %" PRIu32 " of %" PRIu32, fixer.framesUsed(), fixer.picturesSeen());
  newLine();
  newLine();
  std::printf("Claimed bitrate: %" PRIu64 "kbps", fixer.claimedBitrate() / 1000);
  newLine();
  std::printf("Actual bitrate:  %" PRIu64 "kbps", fixer.actualBitrate() / 1000);
  newLine();

  // Audio stage.
  RangeViewSource audio(source, demuxer.audioRanges());
  AudioExtractor extractor(audio, audioProgress);
  extractor.extract(baseName);
  if (extractor.writeFailed()) return cannotWrite(audioFileName(baseName));
  return true;
}
