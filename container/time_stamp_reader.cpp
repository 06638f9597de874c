#include "container/time_stamp_reader.h"

#include "container/system_stream_format.h"

namespace {

// Field prefixes, the top four bits of a field's first byte.
constexpr uint32_t kPtsOnlyPrefix = 0x2;  // 0010: a presentation stamp alone
constexpr uint32_t kPtsPrefix = 0x3;      // 0011: a presentation stamp, a decoding stamp follows
constexpr uint32_t kDtsPrefix = 0x1;      // 0001: the decoding stamp
static_assert(kPtsOnlyPrefix == kPtsTag && kPtsPrefix == kPtsDtsTag, "the prefixes are the header's tags");

// The 33 bits of a stamp, in the pieces the field carries them in.
constexpr uint32_t kHighBits = 3;
constexpr uint32_t kMiddleBits = 15;
constexpr uint32_t kLowBits = 15;
static_assert(kHighBits + kMiddleBits + kLowBits == 33, "a time stamp has 33 bits");
static_assert(4 + kHighBits + 1 + kMiddleBits + 1 + kLowBits + 1 == 8 * TimeStampReader::kFieldSize,
              "prefix, three pieces and three markers fill the field");

}  // namespace

TimeStampReader::TimeStampReader(ByteSource& source) : source_(source) {}

bool TimeStampReader::decode(const uint8_t* field, uint32_t prefix, uint64_t* value) {
  if ((field[0] >> 4) != prefix) return false;
  const bool markers = (field[0] & 1) != 0 && (field[2] & 1) != 0 && (field[4] & 1) != 0;
  if (!markers) return false;
  const uint64_t high = (field[0] >> 1) & 0x7;
  const uint64_t middle = (uint64_t{field[1]} << 7) | (field[2] >> 1);
  const uint64_t low = (uint64_t{field[3]} << 7) | (field[4] >> 1);
  *value = (high << (kMiddleBits + kLowBits)) | (middle << kLowBits) | low;
  return true;
}

void TimeStampReader::encode(uint32_t prefix, uint64_t value, uint8_t* field) {
  const uint64_t high = (value >> (kMiddleBits + kLowBits)) & 0x7;
  const uint64_t middle = (value >> kLowBits) & 0x7FFF;
  const uint64_t low = value & 0x7FFF;
  field[0] = static_cast<uint8_t>(prefix << 4 | high << 1 | 1);
  field[1] = static_cast<uint8_t>(middle >> 7);
  field[2] = static_cast<uint8_t>((middle & 0x7F) << 1 | 1);
  field[3] = static_cast<uint8_t>(low >> 7);
  field[4] = static_cast<uint8_t>((low & 0x7F) << 1 | 1);
}

void TimeStampReader::packetTaken(uint32_t streamId, uint32_t field, uint32_t offset, uint32_t length) {
  TimeStampList* list = streamId == kVideoStreamId ? &videoStamps_ : streamId == kAudioStreamId ? &audioStamps_ : nullptr;
  if (list == nullptr) return;
  uint8_t bytes[2 * kFieldSize];
  // Through the cursor, put back after: the packet's header was read just
  // now, and the spans the source keeps hold the field.
  const uint32_t resume = source_.position();
  source_.seek(field);
  for (uint32_t k = 0; k < sizeof bytes; ++k) bytes[k] = static_cast<uint8_t>(source_.readU8());
  source_.seek(resume);
  TimeStamp stamp;
  stamp.offset = offset;
  stamp.length = length;
  const uint32_t prefix = bytes[0] >> 4;
  if (prefix == kPtsOnlyPrefix) {
    if (!decode(bytes, kPtsOnlyPrefix, &stamp.pts)) return;
    stamp.dts = stamp.pts;
  } else if (prefix == kPtsPrefix) {
    if (!decode(bytes, kPtsPrefix, &stamp.pts) || !decode(bytes + kFieldSize, kDtsPrefix, &stamp.dts)) return;
  } else {
    return;  // no stamp
  }
  // Stamps come in stream order; a packet whose payload lies before the
  // last one's cannot occur, but a damaged stream must not break the order.
  if (!list->empty() && offset < (*list)[list->count() - 1].offset) return;
  list->append(stamp);
}
