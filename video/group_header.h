#ifndef ORVANTE_VIDEO_GROUP_HEADER_H_
#define ORVANTE_VIDEO_GROUP_HEADER_H_

#include <cstdint>

#include "source/bit_reader.h"
#include "source/output_file.h"

// GroupHeader is the layout of an MPEG-1 group-of-pictures header (start
// code 00 00 01 B8): the time code of the group's first picture in display
// order, and the closed and broken-link flags. A plain value.
struct GroupHeader {
  bool dropFrame = false;
  uint32_t hours = 0;    // 5 bits
  uint32_t minutes = 0;  // 6 bits
  uint32_t seconds = 0;  // 6 bits
  uint32_t pictures = 0; // 6 bits
  bool closed = false;
  bool brokenLink = false;

  // Reads the fields after the start code (27 bits). Returns false, having
  // read through the marker bit, when that bit is not 1.
  bool read(BitReader& reader);
  // Writes the whole header, start code first: 8 bytes.
  void write(OutputFile& output) const;

  // The time code as a count of pictures at `picturesPerSecond` (whole
  // rates; 30 for the drop-frame rate 29.97, whose dropped numbers are
  // taken out).
  uint64_t timeCodeInPictures(uint32_t picturesPerSecond) const;
};

#endif  // ORVANTE_VIDEO_GROUP_HEADER_H_
