#include "container/stream_demuxer.h"

#include "container/system_stream_format.h"
#include "source/start_code.h"

StreamDemuxer::StreamDemuxer(ByteSource& source, ProgressCallback progress) : source_(source), progress_(progress) {}

uint32_t StreamDemuxer::nextStartCode() { return ::nextStartCode(source_); }

void StreamDemuxer::addVideoRange(uint32_t start, uint32_t end) {
  if (start != NoStartCode && start < end) videoRanges_.append(start, end);
}

void StreamDemuxer::addAudioRange(uint32_t start, uint32_t end) {
  if (start != NoStartCode && start < end) audioRanges_.append(start, end);
}

bool StreamDemuxer::parsePacketHeader() {
  while (source_.remaining() != 0 && source_.peekU8() == kStuffingByte) source_.skip(1);
  if (source_.remaining() == 0) return false;
  if ((source_.peekU8() >> 6) == kBufferFieldTag) source_.skip(kBufferFieldSize);
  if (source_.remaining() == 0) return false;
  const int tag = source_.peekU8() >> 4;
  if (tag == kPtsTag) {
    source_.skip(kPtsFieldSize);
    return true;
  }
  if (tag == kPtsDtsTag) {
    source_.skip(kPtsDtsFieldSize);
    return true;
  }
  return source_.readU8() == kNoTimeStampByte;
}

void StreamDemuxer::demultiplex() {
  uint32_t openVideoStart = NoStartCode;
  source_.seek(0);
  videoRanges_.clear();
  audioRanges_.clear();
  progress_('S', 0, 0);
  for (;;) {
    const uint32_t code = nextStartCode();
    if (code == NoStartCode) break;
    progress_('P', source_.position(), source_.size());

    // Video elementary stream data: a range opens at its first start code.
    if (code <= kLastVideoLevelCode) {
      if (openVideoStart == NoStartCode) openVideoStart = source_.position();
      source_.skip(1);
      continue;
    }

    // Any system-layer code ends the open video range.
    addVideoRange(openVideoStart, source_.position());
    openVideoStart = NoStartCode;
    if (code == kPackStartCode || code == kSystemHeaderCode) {
      source_.skip(1);
      continue;
    }

    // A packet. Its declared length is trusted only when at least two zero
    // bytes and 01 follow the declared end, as the next start code would.
    const uint32_t packetStart = source_.position();
    if (source_.remaining() < kPacketPrefixSize) break;
    source_.skip(4);
    const uint32_t headerStart = source_.position() + kPacketLengthSize;
    const uint32_t length = source_.readU16();
    source_.skip(length);
    const uint32_t declaredEnd = source_.position();
    uint32_t resume = declaredEnd;
    bool lengthConfirmed = false;
    if (declaredEnd != headerStart) {
      while (source_.remaining() != 0 && source_.peekU8() == 0) source_.skip(1);
      lengthConfirmed =
          source_.remaining() != 0 && source_.peekU8() == kStartCodeMarkerByte && source_.position() - declaredEnd >= 2;
      if (!lengthConfirmed) resume = packetStart + 1;
    }

    if (code == kAudioStreamId || code == kVideoStreamId) {
      source_.seek(headerStart);
      if (!parsePacketHeader()) {
        resume = packetStart + 1;
      } else {
        const uint32_t payloadStart = source_.position();
        if (code == kAudioStreamId) {
          addAudioRange(payloadStart, resume);
        } else if (lengthConfirmed && payloadStart <= declaredEnd) {
          // The payload ends at the declared end. Zero bytes between it and
          // the next start code (a muxer's empty sectors, say) are no video:
          // taken in, they would split whatever the next packet continues.
          addVideoRange(payloadStart, declaredEnd);
        } else {
          openVideoStart = payloadStart;  // runs on to the next system-layer code
        }
        if (resume < payloadStart) resume = payloadStart;
      }
    }
    source_.seek(resume);
  }
  progress_('E', 0, 0);
  addVideoRange(openVideoStart, source_.position());
}
