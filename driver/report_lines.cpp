#include "driver/report_lines.h"

void printSectorReport(Console& console, uint64_t sourceSize, uint64_t payloadSize) {
  console.printLine("Source file size: " + std::to_string(sourceSize));
  console.printLine("RIFF data size:   " + std::to_string(payloadSize));
  console.printEmptyLine();
}

void printStreamSizes(Console& console, uint64_t videoSize, uint64_t audioSize) {
  console.printLine("Video size: " + std::to_string(videoSize));
  console.printLine("Audio size: " + std::to_string(audioSize));
  console.printEmptyLine();
}

void printVideoReport(Console& console, const std::string& format, uint32_t framesUsed, uint32_t picturesSeen,
                      uint64_t claimedBitrate, uint64_t actualBitrate) {
  console.printLine("Video format: " + format);
  console.printLine("Frames used:  " + std::to_string(framesUsed) + " of " + std::to_string(picturesSeen));
  console.printEmptyLine();
  console.printLine("Claimed bitrate: " + std::to_string(claimedBitrate / 1000) + "kbps");
  console.printLine("Actual bitrate:  " + std::to_string(actualBitrate / 1000) + "kbps");
}

bool cannotWrite(Console& console, const std::string& name) {
  console.printLine("Cannot write: " + name);
  return false;
}
