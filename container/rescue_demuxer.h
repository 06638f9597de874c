#ifndef ORVANTE_CONTAINER_RESCUE_DEMUXER_H_
#define ORVANTE_CONTAINER_RESCUE_DEMUXER_H_

#include <cstdint>

#include "container/stream_demuxer.h"

// RescueDemuxer is the StreamDemuxer of a rescue: it also trusts a packet's
// declared length when a system-layer start code (a pack, a system header or
// a packet) begins within kHeaderReach bytes after the declared end, as when
// a bit error damaged the start code of the pack header behind the packet.
// The plain demuxer then runs the packet's video on to that start code,
// taking the damaged header into the video stream, where it breaks a slice
// that may be an I picture's; here the packet gives its payload and the
// damaged bytes are left out.
//
// Video data holds no system-layer start code, so one found that close to
// the declared end confirms it. Ownership is as for StreamDemuxer.
class RescueDemuxer : public StreamDemuxer {
 public:
  using StreamDemuxer::StreamDemuxer;

  // A pack header (12 bytes) and the start code of what follows it.
  static constexpr uint32_t kHeaderReach = 12 + 4;

 protected:
  bool confirmsLength(uint32_t declaredEnd) override;
};

#endif  // ORVANTE_CONTAINER_RESCUE_DEMUXER_H_
