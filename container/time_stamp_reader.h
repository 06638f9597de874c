#ifndef ORVANTE_CONTAINER_TIME_STAMP_READER_H_
#define ORVANTE_CONTAINER_TIME_STAMP_READER_H_

#include <cstdint>

#include "source/byte_source.h"
#include "source/time_stamp_list.h"

// TimeStampReader reads the presentation and decoding time stamps of the
// packets that the demultiplexer takes, and keeps them per stream, by where
// each packet's payload lies in its elementary stream. The demultiplexer
// tells it of every packet it takes; a run that wants no stamps gives the
// demultiplexer no reader, and nothing is read.
//
// The time-stamp field of an MPEG-1 packet is 5 bytes: a 4-bit prefix
// (0010 for a presentation stamp alone, 0011 before a decoding stamp,
// 0001 on the decoding stamp), then 33 bits in pieces of 3, 15 and 15, each
// followed by a marker bit that is 1. A field whose prefix or markers are
// wrong is damaged, and its packet gets no stamp.
//
// The reader does not own its source, which must outlive it; it owns the
// two lists.
class TimeStampReader {
 public:
  // Bytes of one time stamp.
  static constexpr uint32_t kFieldSize = 5;

  explicit TimeStampReader(ByteSource& source);

  // The packet of stream `streamId` (0xE0 video, 0xC0 audio; others are
  // ignored) whose header's time-stamp field begins at `field` in the source
  // was taken; its payload lies at `offset` in the elementary stream,
  // `length` bytes long. Reads the field without moving the source's cursor
  // and keeps the stamp, when there is one and it is whole.
  void packetTaken(uint32_t streamId, uint32_t field, uint32_t offset, uint32_t length);

  const TimeStampList& videoStamps() const { return videoStamps_; }
  const TimeStampList& audioStamps() const { return audioStamps_; }

  // Reads one 5-byte field whose prefix must be `prefix`; false when the
  // prefix or a marker bit is wrong.
  static bool decode(const uint8_t* field, uint32_t prefix, uint64_t* value);
  // Writes `value` (33 bits) as one 5-byte field with `prefix`.
  static void encode(uint32_t prefix, uint64_t value, uint8_t* field);

 private:
  ByteSource& source_;
  TimeStampList videoStamps_;
  TimeStampList audioStamps_;
};

#endif  // ORVANTE_CONTAINER_TIME_STAMP_READER_H_
