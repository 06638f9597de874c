#include "driver/video_report.h"

void printVideoReport(Console& console, const std::string& format, uint32_t framesUsed, uint32_t picturesSeen,
                      uint64_t claimedBitrate, uint64_t actualBitrate) {
  console.printLine("Video format: " + format);
  console.printLine("Frames used:  " + std::to_string(framesUsed) + " of " + std::to_string(picturesSeen));
  console.printEmptyLine();
  console.printLine("Claimed bitrate: " + std::to_string(claimedBitrate / 1000) + "kbps");
  console.printLine("Actual bitrate:  " + std::to_string(actualBitrate / 1000) + "kbps");
}
