#include "container/riff_decoder.h"

#include <algorithm>

#include "container/cd_sector_format.h"
#include "source/start_code.h"

namespace {

bool startsWithStartCodePrefix(uint32_t word) { return (word >> 8) == kStartCodePrefix; }

}  // namespace

RiffDecoder::RiffDecoder(ByteSource& source, ProgressCallback progress) : source_(source), progress_(progress) {}

bool RiffDecoder::findFirstSector() {
  uint32_t restart = source_.position();
  while (source_.position() - restart < kFirstSectorWindow) {
    // Each zero byte is where a sync may begin. Those before the next
    // sync's first four bytes begin none: they are passed over at once,
    // unless one lies past the window, where the search gives up. (One
    // within a sector of the end gives up too, but then so does the sync.)
    const uint32_t from = source_.position();
    source_.skipToSequence(kSyncPrefixBytes, sizeof kSyncPrefixBytes);
    const uint32_t next = source_.position();
    const uint64_t givesUp = uint64_t{restart} + kFirstSectorWindow - 1;
    if (givesUp < next) {
      source_.seek(static_cast<uint32_t>(std::max<uint64_t>(from, givesUp)));
      source_.skipTo(0);
      if (source_.position() < next) return false;
      source_.seek(next);
    }
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

void RiffDecoder::shareSpan() {
  const uint32_t at = source_.position();
  if (at < sharedEnd_ || !SequenceFinder::worthwhile()) return;
  finder_.reset();  // done with the span before: nothing reads it from here on
  const ByteSource::Span span = source_.spanAt(at);
  sharedEnd_ = at + 1;
  if (span.length == 0) return;
  const uint64_t end = std::min<uint64_t>(uint64_t{span.start} + span.length, source_.size());
  sharedEnd_ = static_cast<uint32_t>(end);
  if (end - at < 2 * uint64_t{kLeastShared}) return;
  // The decoder reads at most a sector and a sync beyond a place it is
  // at: below the middle, that stays in the span.
  static_assert(kLeastShared > 2 * kSectorSize, "reads ahead of the first half stay in the span");
  const auto middle = static_cast<uint32_t>(at + (end - at) / 2);
  span_ = span;
  finder_ = std::make_unique<SequenceFinder>(span.data + (middle - span.start), middle,
                                             static_cast<uint32_t>(end - middle), kSyncPrefixBytes,
                                             static_cast<uint32_t>(sizeof kSyncPrefixBytes));
}

void RiffDecoder::skipToSync() {
  shareSpan();
  const uint32_t at = source_.position();
  if (finder_ != nullptr && at < finder_->end()) {
    const uint32_t middle = finder_->start();
    if (at < middle) {
      // The first half, read here: a sync that begins before the middle.
      const size_t length = size_t{middle - at} + sizeof kSyncPrefixBytes - 1;
      const size_t found = ByteSource::findInMemory(span_.data + (at - span_.start), length, kSyncPrefixBytes,
                                                    sizeof kSyncPrefixBytes);
      if (found != ByteSource::kNotFound) {
        source_.seek(at + static_cast<uint32_t>(found));
        return;
      }
    }
    const uint32_t next = finder_->next(std::max(at, middle));
    source_.seek(next);
    if (next < finder_->end()) return;
    finder_.reset();  // a sync that runs on past the span is looked for as usual
  }
  source_.skipToSequence(kSyncPrefixBytes, sizeof kSyncPrefixBytes);
}

bool RiffDecoder::findNextSector() {
  for (;;) {
    skipToSync();
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

bool RiffDecoder::isWholeSync(uint64_t at) {
  for (uint32_t k = 0; k < kSyncSize; ++k) {
    if (source_.byteAt(static_cast<uint32_t>(at + k)) != kSyncBytes[k]) return false;
  }
  return true;
}

void RiffDecoder::appendPayload(uint32_t start, uint32_t end, uint32_t limit) {
  uint32_t from = start;
  // Counted in 64 bits: positions near the end of the data must not wrap.
  for (uint64_t sync = uint64_t{start} + kPayloadToNextSector; sync + kSectorSize <= limit && isWholeSync(sync);
       sync += kSectorSize) {
    const auto framingStart = static_cast<uint32_t>(sync - kTrailerSize);
    if (from < framingStart) payloadRanges_.append(from, framingStart);
    from = static_cast<uint32_t>(sync + kSectorHeaderSize);
  }
  if (from < end) payloadRanges_.append(from, end);
}

bool RiffDecoder::decode() {
  if (!findFirstSector()) return false;
  progress_('S', 0, 0);
  uint32_t start = source_.position();
  while (findNextSector()) {
    const uint32_t payload = source_.position();
    progress_('P', payload, source_.size());
    // The payload ends at the trailer of the sector before. A sector found
    // so close behind the last payload start that no byte would be left
    // gives no range.
    appendPayload(start, payload - kSectorGap, payload - kSectorHeaderSize);
    start = payload;
  }
  appendPayload(start, source_.size(), source_.size());
  progress_('E', 0, 0);
  return true;
}
