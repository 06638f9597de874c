#ifndef ORVANTE_CONTAINER_STREAM_DEMUXER_H_
#define ORVANTE_CONTAINER_STREAM_DEMUXER_H_

#include <cstdint>

#include "source/byte_source.h"
#include "source/progress_callback.h"
#include "source/range_list.h"

class TimeStampReader;

// StreamDemuxer makes one pass over an MPEG-1 system stream and records where
// the bytes of the first video stream (id 0xE0) and the first audio stream
// (id 0xC0) lie, as ranges of its source in stream order. A bare video
// elementary stream comes out as one video range from its first start code
// to the end of the data. Nothing is copied.
//
// A packet is taken as a unit only when its declared end is followed by a
// start code and its header has one of the MPEG-1 forms; otherwise the scan
// goes on inside it, and the video of such a packet runs on to the next
// system-layer start code.
//
// Given a TimeStampReader, the pass also tells it of every packet it takes,
// with where the packet's payload lies in its elementary stream.
//
// The demuxer does not own its source or its time-stamp reader, which must
// outlive it. It owns both lists; views built on them must be destroyed
// before the demuxer.
class StreamDemuxer {
 public:
  StreamDemuxer(ByteSource& source, ProgressCallback progress, TimeStampReader* timeStamps = nullptr);
  virtual ~StreamDemuxer() = default;

  StreamDemuxer(const StreamDemuxer&) = delete;
  StreamDemuxer& operator=(const StreamDemuxer&) = delete;

  // The pass: empties both lists, then fills them from position 0 on. May be
  // run again with the same result.
  void demultiplex();

  const RangeList& videoRanges() const { return videoRanges_; }
  const RangeList& audioRanges() const { return audioRanges_; }

  // The start-code scan over the demuxer's source.
  uint32_t nextStartCode();
  // REQUIRES: the cursor is on the first byte after a packet length. Steps
  // over stuffing, one optional buffer field and the time-stamp field,
  // leaving the cursor on the first payload byte. Returns false when the
  // data ends first or the header has no MPEG-1 form. On success,
  // timeStampField() is where its time-stamp field (or the byte that says
  // there is none) begins.
  bool parsePacketHeader();
  uint32_t timeStampField() const { return timeStampField_; }
  // Append [start, end) when start is not NoStartCode and start < end.
  void addVideoRange(uint32_t start, uint32_t end);
  void addAudioRange(uint32_t start, uint32_t end);

 protected:
  // Whether the bytes at `declaredEnd`, a packet's declared end, confirm its
  // length: at least two zero bytes and 01, as the next start code would
  // begin. May move the cursor.
  virtual bool confirmsLength(uint32_t declaredEnd);
  // A video packet whose declared length was not confirmed: its payload,
  // from `payloadStart`, runs on to the next system-layer code.
  virtual void videoRunsOn(uint32_t payloadStart, uint32_t declaredEnd) {
    (void)payloadStart;
    (void)declaredEnd;
  }
  // The pass ended; the lists are complete.
  virtual void demultiplexed() {}
  ByteSource& source() { return source_; }

 private:
  ByteSource& source_;
  RangeList videoRanges_;
  RangeList audioRanges_;
  ProgressCallback progress_;
  TimeStampReader* const timeStamps_;
  uint32_t timeStampField_ = 0;
};

#endif  // ORVANTE_CONTAINER_STREAM_DEMUXER_H_
