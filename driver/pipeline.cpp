#include "driver/pipeline.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "container/audio_extractor.h"
#include "container/riff_decoder.h"
#include "container/stream_demuxer.h"
#include "driver/rescue_check.h"
#include "driver/rescue_run.h"
#include "driver/report_lines.h"
#include "source/output_name.h"
#include "source/range_view_source.h"
#include "source/segmented_file_source.h"
#include "video/video_fixer.h"

namespace {

// The base name the outputs are named after: `baseName` itself, or its last
// path component inside `outputDir`. Both '/' and '\' separate folders.
std::string outputBaseName(const std::string& baseName, const std::string& outputDir) {
  if (outputDir.empty()) return baseName;
  const size_t separator = baseName.find_last_of("/\\");
  const std::string component = separator == std::string::npos ? baseName : baseName.substr(separator + 1);
  const char last = outputDir.back();
  return last == '/' || last == '\\' ? outputDir + component : outputDir + "/" + component;
}

bool isFolder(const std::string& name) {
  std::error_code error;
  return std::filesystem::is_directory(std::filesystem::u8path(name), error);
}

// Demultiplexes `source`, writes its video and audio and prints their report.
// Returns false when an output could not be written, as processSource().
bool runPipeline(ByteSource& source, const std::string& baseName, Console& console) {
  // Demultiplexing stage.
  StreamDemuxer demuxer(source, console.callbackFor(Console::Pass::kDemux));
  demuxer.demultiplex();
  printStreamSizes(console, demuxer.videoRanges().total(), demuxer.audioRanges().total());

  // Video stage.
  RangeViewSource video(source, demuxer.videoRanges());
  VideoFixer fixer(video, console.callbackFor(Console::Pass::kVideo));
  fixer.rewrite(baseName);
  if (fixer.writeFailed()) return cannotWrite(console, videoFileName(baseName));
  printVideoReport(console, fixer.formatText(), fixer.framesUsed(), fixer.picturesSeen(), fixer.claimedBitrate(),
                   fixer.actualBitrate());

  // Audio stage.
  RangeViewSource audio(source, demuxer.audioRanges());
  AudioExtractor extractor(audio, console.callbackFor(Console::Pass::kAudio));
  extractor.extract(baseName);
  if (extractor.writeFailed()) return cannotWrite(console, audioFileName(baseName));
  return true;
}

}  // namespace

int processFile(const char* name, const RunOptions& options, Console& console) {
  SegmentedFileSource input(name);
  if (input.tooLarge()) {
    console.printLine("File too large.");
    return -1;
  }
  if (input.size() == 0) {
    console.printLine("File not found.");
    return -1;
  }
  if (!options.outputDir.empty() && !isFolder(options.outputDir)) {
    cannotWrite(console, options.outputDir);
    return -1;
  }
  const std::string baseName = outputBaseName(input.baseName(), options.outputDir);
  // An output that leads to the input (through a link) would be emptied when
  // it is opened: refuse it before anything is opened for writing.
  for (const std::string& output : {videoFileName(baseName), audioFileName(baseName)}) {
    if (input.holdsFile(output.c_str())) {
      cannotWrite(console, output);
      return -1;
    }
  }
  // A check runs the rescue with its outputs discarded; its status is its own.
  int status = -1;
  if (options.check) {
    status = RescueCheck(console).run(input, baseName);
  } else {
    status = processSource(input, baseName, options, console) ? 0 : -1;
  }
  // Bytes that could not be read went through the passes as zeros, which
  // the repair treats as the damage they are; the report ends by saying so.
  if (input.unreadableBytes() > 0) {
    console.printLine("Unreadable input: " + std::to_string(input.unreadableBytes()) + " bytes read as zeros");
  }
  return status;
}

bool processSource(ByteSource& source, const std::string& baseName, const RunOptions& options, Console& console) {
  if (options.rescue) return RescueRun(console).run(source, baseName);
  // Sector image stage: a CD sector image is replaced by its payload.
  RiffDecoder decoder(source, console.callbackFor(Console::Pass::kSectors));
  if (!decoder.decode()) return runPipeline(source, baseName, console);
  printSectorReport(console, source.size(), decoder.payloadRanges().total());
  RangeViewSource payload(source, decoder.payloadRanges());
  return runPipeline(payload, baseName, console);
}
