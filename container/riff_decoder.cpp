#include "container/riff_decoder.h"

#include "container/cd_sector_format.h"
#include "source/start_code.h"

namespace {

bool startsWithStartCodePrefix(uint32_t word) { return (word >> 8) == kStartCodePrefix; }

}  // namespace

RiffDecoder::RiffDecoder(ByteSource& source, ProgressCallback progress) : source_(source), progress_(progress) {}

bool RiffDecoder::findFirstSector() {
  uint32_t restart = source_.position();
  while (source_.position() - restart < kFirstSectorWindow) {
    source_.skipTo(0);
    if (source_.remaining() < kSectorSize) return false;
    const uint32_t here = source_.position();
    if (source_.peekU32() == kSyncPrefix) {
      source_.skip(kSectorHeaderSize);
      const uint32_t head = source_.peekU32();
      source_.skip(kPayloadToNextSector);
      if (source_.remaining() == 0 || source_.peekU32() == kSyncPrefix) {
        if (startsWithStartCodePrefix(head)) {
          source_.seek(here + kSectorHeaderSize);
          return true;
        }
        // A sector of other data: the window starts again behind it.
        if (source_.remaining() != 0) restart = here;
      }
    }
    source_.seek(here + 1);
  }
  return false;
}

bool RiffDecoder::findNextSector() {
  for (;;) {
    source_.skipToSequence(kSyncPrefixBytes, sizeof kSyncPrefixBytes);
    if (source_.remaining() < kSectorGap) {
      source_.skip(source_.remaining());
      return false;
    }
    const uint32_t here = source_.position();
    if (source_.peekU32() == kSyncPrefix) {
      source_.skip(kSectorHeaderSize);
      if (startsWithStartCodePrefix(source_.peekU32())) return true;
    }
    source_.seek(here + 1);
  }
}

bool RiffDecoder::decode() {
  if (!findFirstSector()) return false;
  progress_('S', 0, 0);
  uint32_t start = source_.position();
  while (findNextSector()) {
    const uint32_t payload = source_.position();
    progress_('P', payload, source_.size());
    // The range ends at the trailer of the sector before. A sector found so
    // close behind the last payload start that no byte would be left gives
    // no range.
    if (payload - start > kSectorGap) payloadRanges_.append(start, payload - kSectorGap);
    start = payload;
  }
  if (start < source_.size()) payloadRanges_.append(start, source_.size());
  progress_('E', 0, 0);
  return true;
}
