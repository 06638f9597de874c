#ifndef ORVANTE_VIDEO_PICTURE_HEADER_H_
#define ORVANTE_VIDEO_PICTURE_HEADER_H_

#include <cstdint>

#include "source/bit_reader.h"
#include "source/output_file.h"

// PictureHeader is the layout of an MPEG-1 picture header (start code
// 00 00 01 00): the temporal reference, the coding type, the VBV delay and,
// for P and B pictures, the motion vector ranges. Extra information bytes
// are stepped over when read and never written. A plain value.
struct PictureHeader {
  uint32_t temporalReference = 0;  // 10 bits: display position in the group, modulo 1024
  uint32_t codingType = 0;         // 3 bits: 1 I, 2 P, 3 B, 4 D
  uint32_t vbvDelay = 0;           // 16 bits
  bool fullPelForward = false;     // P and B pictures
  uint32_t forwardFCode = 0;       // 3 bits, P and B pictures
  bool fullPelBackward = false;    // B pictures
  uint32_t backwardFCode = 0;      // 3 bits, B pictures

  // Reads the fields after the start code, then steps over the extra
  // information bytes while their flag is 1, ending after the flag that is 0.
  // The caller judges the result by reader.overrun().
  void read(BitReader& reader);
  // Writes the whole header, start code first, with no extra information:
  // 8 bytes for I pictures, 9 for P and B.
  void write(OutputFile& output) const;

  // The letter of the coding type, 'I', 'P' or 'B'; 0 for any other type.
  char letter() const;

  // Rewrites the temporal reference in place in the bytes of a header
  // that follow its start code (at least 2 of them).
  static void setTemporalReference(uint8_t* afterStartCode, uint32_t temporalReference);
};

#endif  // ORVANTE_VIDEO_PICTURE_HEADER_H_
