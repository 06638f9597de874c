#ifndef ORVANTE_CONTAINER_RESCUE_DEMUXER_H_
#define ORVANTE_CONTAINER_RESCUE_DEMUXER_H_

#include <cstdint>
#include <utility>
#include <vector>

#include "container/stream_demuxer.h"
#include "source/range_list.h"

// RescueDemuxer is the StreamDemuxer of a rescue: it also trusts a packet's
// declared length when what lies between the declared end and the next
// system-layer start code (a pack, a system header or a packet) is damage
// the system layer put there, not video:
// - a pack header whose start code a bit error damaged: the next code
//   begins exactly one pack header (12 bytes) on, and the bytes after the
//   damaged code have the pack header's '0010' and marker bit;
// - the zero bytes muxers leave between packets, where bit errors set a
//   bit here and there: no byte has more than one bit set.
// The plain demuxer runs the packet's video on to that start code, taking the
// damage into the video stream, where it breaks a slice that may be an I
// picture's; here the packet gives its payload and the damage is left out.
// Video bytes behind a length a bit error made shorter show neither sign
// (or are zeros, whose loss costs nothing), so they stay in the video.
//
// A video packet whose length is still not confirmed runs on to the next
// system-layer code. Where its payload ends as it declared, or a power of
// two more or less, a bit error changed its length or what follows it; any
// other way, the stream lost bytes inside it (a cut, a lost stretch of a
// numbered set), and what runs on past the cut is another packet's tail:
// such payloads are the losses, of which the video's rescue keeps nothing.
// A payload that runs to the end of the data took nothing else in.
//
// Ownership is as for StreamDemuxer.
class RescueDemuxer : public StreamDemuxer {
 public:
  using StreamDemuxer::StreamDemuxer;

  // REQUIRES: demultiplex() ran. The video payloads the stream lost bytes
  // inside, in source positions, increasing.
  const RangeList& losses() const { return losses_; }

 protected:
  bool confirmsLength(uint32_t declaredEnd) override;
  void videoRunsOn(uint32_t payloadStart, uint32_t declaredEnd) override;
  void demultiplexed() override;

 private:
  // Declared ends of the payloads that ran on, by their starts.
  std::vector<std::pair<uint32_t, uint32_t>> ranOn_;
  RangeList losses_;
};

#endif  // ORVANTE_CONTAINER_RESCUE_DEMUXER_H_
