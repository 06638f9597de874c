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

bool powerOfTwo(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

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
    if (byte != 0 && !powerOfTwo(byte)) return false;
  }
  return false;
}

void RescueDemuxer::videoRunsOn(uint32_t payloadStart, uint32_t declaredEnd) {
  ranOn_.emplace_back(payloadStart, declaredEnd);
}

void RescueDemuxer::demultiplexed() {
  losses_.clear();
  const RangeList& video = videoRanges();
  ByteSource& data = source();
  uint32_t r = 0;
  for (const std::pair<uint32_t, uint32_t>& ran : ranOn_) {
    const uint32_t start = ran.first;
    const uint32_t declaredEnd = ran.second;
    while (r < video.count() && video.pairs()[2 * r] < start) ++r;
    if (r == video.count()) break;
    if (video.pairs()[2 * r] != start) continue;
    // Where it ran on to, with and without the zero bytes before the code.
    const uint32_t end = video.pairs()[2 * r + 1];
    uint32_t payloadEnd = end;
    while (payloadEnd > start) {
      data.seek(payloadEnd - 1);
      if (data.peekU8() != 0) break;
      --payloadEnd;
    }
    // At its declared end, or a bit flipped off it: no loss. Nor where it
    // runs to the end of the data, behind which nothing else was taken in.
    const auto asDeclared = [declaredEnd](uint32_t at) {
      return at == declaredEnd || powerOfTwo(at > declaredEnd ? at - declaredEnd : declaredEnd - at);
    };
    if (end < data.size() && !asDeclared(end) && !asDeclared(payloadEnd)) losses_.append(start, end);
  }
  ranOn_.clear();
}
