#include "container/stream_demuxer.h"

#include "container/system_stream_format.h"
#include "container/time_stamp_reader.h"
#include "source/start_code.h"

StreamDemuxer::StreamDemuxer(ByteSource& source, ProgressCallback progress, TimeStampReader* timeStamps)
    : source_(source), progress_(progress), timeStamps_(timeStamps) {}

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
  timeStampField_ = source_.position();
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

bool StreamDemuxer::confirmsLength(uint32_t declaredEnd) {
  source_.seek(declaredEnd);
  while (source_.remaining() != 0 && source_.peekU8() == 0) source_.skip(1);
  return source_.remaining() != 0 && source_.peekU8() == kStartCodeMarkerByte && source_.position() - declaredEnd >= 2;
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
      lengthConfirmed = confirmsLength(declaredEnd);
      if (!lengthConfirmed) resume = packetStart + 1;
    }

    if (code == kAudioStreamId || code == kVideoStreamId) {
      source_.seek(headerStart);
      if (!parsePacketHeader()) {
        resume = packetStart + 1;
      } else {
        const uint32_t payloadStart = source_.position();
        if (code == kAudioStreamId) {
          const uint32_t offset = audioRanges_.total();
          addAudioRange(payloadStart, resume);
          if (timeStamps_ != nullptr && payloadStart < resume) {
            timeStamps_->packetTaken(code, timeStampField_, offset, resume - payloadStart);
          }
        } else if (lengthConfirmed && payloadStart <= declaredEnd) {
          // The payload ends at the declared end. Zero bytes between it and
          // the next start code (a muxer's empty sectors, say) are no video:
          // taken in, they would split whatever the next packet continues.
          const uint32_t offset = videoRanges_.total();
          addVideoRange(payloadStart, declaredEnd);
          if (timeStamps_ != nullptr) timeStamps_->packetTaken(code, timeStampField_, offset, declaredEnd - payloadStart);
        } else {
          openVideoStart = payloadStart;  // runs on to the next system-layer code
          videoRunsOn(payloadStart, declaredEnd);
          // Its length is known only when the range closes: up to the end.
          const uint32_t offset = videoRanges_.total();
          if (timeStamps_ != nullptr) timeStamps_->packetTaken(code, timeStampField_, offset, UINT32_MAX - offset);
        }
        if (resume < payloadStart) resume = payloadStart;
      }
    }
    source_.seek(resume);
  }
  progress_('E', 0, 0);
  addVideoRange(openVideoStart, source_.position());
  demultiplexed();
}
