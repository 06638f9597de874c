#ifndef ORVANTE_VIDEO_SEQUENCE_HEADER_H_
#define ORVANTE_VIDEO_SEQUENCE_HEADER_H_

#include <cstdint>

#include "source/bit_reader.h"
#include "source/output_file.h"
#include "video/probed_format.h"

// SequenceHeader is the layout of an MPEG-1 sequence header (start code
// 00 00 01 B3): picture size, aspect ratio, frame rate, bit rate, VBV buffer
// size, the constrained-parameters flag, and whether quantiser matrices
// follow. A plain value; reading and writing are the layout's only users.
struct SequenceHeader {
  uint32_t width = 0;             // 12 bits
  uint32_t height = 0;            // 12 bits
  uint32_t aspectRatioCode = 0;   // 4 bits
  uint32_t frameRateCode = 0;     // 4 bits
  uint32_t bitRate = 0;           // 18 bits, units of 400 bit/s
  uint32_t vbvBufferSize = 0;     // 10 bits
  bool constrainedParameters = false;
  bool loadIntraMatrix = false;
  bool loadNonIntraMatrix = false;

  // Reads the fields after the start code up to the constrained-parameters
  // flag (62 bits). Returns false, having read through the marker bit, when
  // that bit is not 1. Does not look at reader.overrun().
  bool readFormat(BitReader& reader);
  // readFormat(), then both matrix flags, stepping over each matrix that
  // follows its flag; the reader is then just past the header's last bit.
  bool read(BitReader& reader);
  // As read(), reading each matrix: false also where one holds a 0, which
  // decoders refuse. Does not look at reader.overrun().
  bool readTaken(BitReader& reader);

  // Writes the whole header, start code first, without matrices: 12 bytes,
  // each field taken as its low bits.
  void write(OutputFile& output) const;

  // The same picture size, rate, aspect ratio and bit rate as `other`.
  bool sameFormat(const SequenceHeader& other) const;

  // The header that states `format` (no matrices), and the format a header
  // states (read, not estimated; the frame rate left as it is).
  static SequenceHeader of(const ProbedFormat& format);
  void stateIn(ProbedFormat* format) const;

 private:
  // Both matrix flags, and each matrix after its flag: stepped over, or
  // with `look` read, false where it holds a 0.
  bool readMatrices(BitReader& reader, bool look);
};

#endif  // ORVANTE_VIDEO_SEQUENCE_HEADER_H_
