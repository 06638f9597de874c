#ifndef ORVANTE_DRIVER_VIDEO_REPORT_H_
#define ORVANTE_DRIVER_VIDEO_REPORT_H_

#include <cstdint>
#include <string>

#include "driver/console.h"

// Prints the report of the video stage: the format, the frames used of the
// pictures seen, an empty line, and the claimed and actual bit rates in
// kbit/s (bit/s divided by 1000, truncated).
void printVideoReport(Console& console, const std::string& format, uint32_t framesUsed, uint32_t picturesSeen,
                      uint64_t claimedBitrate, uint64_t actualBitrate);

#endif  // ORVANTE_DRIVER_VIDEO_REPORT_H_
