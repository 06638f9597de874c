#ifndef ORVANTE_DRIVER_REPORT_LINES_H_
#define ORVANTE_DRIVER_REPORT_LINES_H_

#include <cstdint>
#include <string>

#include "driver/console.h"

// The lines of the report that the plain run and the rescue run both print,
// each written out once here.

// The sector image stage: the input's size and its payload's, and an empty
// line.
void printSectorReport(Console& console, uint64_t sourceSize, uint64_t payloadSize);

// The demultiplexing stage: the bytes of video and of audio found, and an
// empty line.
void printStreamSizes(Console& console, uint64_t videoSize, uint64_t audioSize);

// The video stage: the format, the frames used of the pictures seen, an
// empty line, and the claimed and actual bit rates in kbit/s (bit/s divided
// by 1000, truncated).
void printVideoReport(Console& console, const std::string& format, uint32_t framesUsed, uint32_t picturesSeen,
                      uint64_t claimedBitrate, uint64_t actualBitrate);

// An output, or the output folder, that could not be written. Returns false,
// the outcome of the run that prints it.
bool cannotWrite(Console& console, const std::string& name);

#endif  // ORVANTE_DRIVER_REPORT_LINES_H_
