#include "container/rescue_demuxer.h"

#include "container/system_stream_format.h"
#include "source/start_code.h"

namespace {

// A pack header: its start code, then '0010', three bits of the clock and a
// marker bit, the rest of the clock and the mux rate.
constexpr uint32_t kPackHeaderSize = 12;
constexpr uint32_t kPackFieldsMask = 0xF1;
constexpr uint32_t kPackFieldsBits = 0x21;
// Zero bytes between packets, with a bit error or so: at most this far.
constexpr uint32_t kLongestGap = 16;

bool systemLayerCodeAt(ByteSource& data, uint32_t at) {
  if (uint64_t{at} + 4 > data.size()) return false;
  data.seek(at);
  const uint32_t word = data.peekU32();
  return (word >> 8) == kStartCodePrefix && (word & 0xFF) > kLastVideoLevelCode;
}

}  // namespace

bool RescueDemuxer::confirmsLength(uint32_t declaredEnd) {
  if (StreamDemuxer::confirmsLength(declaredEnd)) return true;
  ByteSource& data = source();
  // A pack header with a damaged start code.
  if (uint64_t{declaredEnd} + kPackHeaderSize <= data.size()) {
    data.seek(declaredEnd + 4);
    if ((data.peekU8() & kPackFieldsMask) == kPackFieldsBits && systemLayerCodeAt(data, declaredEnd + kPackHeaderSize)) {
      return true;
    }
  }
  // Gap bytes with a bit set here and there.
  for (uint32_t at = declaredEnd; at < declaredEnd + kLongestGap && uint64_t{at} < data.size(); ++at) {
    if (systemLayerCodeAt(data, at)) return true;
    data.seek(at);
    const uint8_t byte = data.peekU8();
    if ((byte & (byte - 1)) != 0) return false;
  }
  return false;
}
