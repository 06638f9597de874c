#include "container/rescue_demuxer.h"

#include "container/system_stream_format.h"
#include "source/start_code.h"

bool RescueDemuxer::confirmsLength(uint32_t declaredEnd) {
  if (StreamDemuxer::confirmsLength(declaredEnd)) return true;
  ByteSource& data = source();
  for (uint32_t at = declaredEnd; at < declaredEnd + kHeaderReach && uint64_t{at} + 4 <= data.size(); ++at) {
    data.seek(at);
    const uint32_t word = data.peekU32();
    if ((word >> 8) == kStartCodePrefix && (word & 0xFF) > kLastVideoLevelCode) return true;
  }
  return false;
}
