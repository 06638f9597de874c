#ifndef ORVANTE_CONTAINER_RIFF_DECODER_H_
#define ORVANTE_CONTAINER_RIFF_DECODER_H_

#include <memory>

#include "source/byte_source.h"
#include "source/progress_callback.h"
#include "source/range_list.h"
#include "source/sequence_finder.h"

// RiffDecoder recognises a raw image of 2352-byte CD sectors, with or without
// a container header before the first sector, and records the MPEG payload of
// its sectors as ranges of the source. Sectors are found by their sync
// pattern; a sector counts only when its payload begins 00 00 01. Bytes
// between such sectors stay in the range of the one before them, except the
// framing (trailer, sync, header and subheader) of every sector that stands
// where the next sector is due and carries the whole sync pattern: an empty
// or damaged sector adds its payload, never its framing. Nothing is copied.
//
// Where a machine has a processor to spare, the second half of each span of
// memory the source holds is searched for syncs on another thread while
// the decoder goes through the first (SequenceFinder); meanwhile the
// decoder reads nothing of the source beyond the span.
//
// The decoder does not own its source, which must outlive it. It owns the
// list of payload ranges, which lives as long as the decoder.
class RiffDecoder {
 public:
  RiffDecoder(ByteSource& source, ProgressCallback progress);

  // REQUIRES: the source's cursor is at 0. Returns true when a first sector
  // was found and the payload ranges were collected, with the cursor at the
  // end of the data; false, having sent no progress event, when the source
  // is no sector image.
  bool decode();

  // The payload ranges found, in increasing position; empty until decode()
  // succeeds.
  const RangeList& payloadRanges() const { return payloadRanges_; }

  // Looks for the first sector whose sync recurs 2352 bytes later (or the
  // data ends there) and whose payload begins 00 00 01, searching no more
  // than 23520 bytes beyond the last sector with a sync but no start code.
  // On success the cursor is on the sector's payload.
  bool findFirstSector();
  // Looks for the next sync followed 24 bytes later by 00 00 01, from the
  // cursor. On success the cursor is on that sector's payload; otherwise it
  // is at the end of the data.
  bool findNextSector();

 private:
  // Appends the bytes from the payload at `start` up to `end`, leaving out
  // the framing of the sectors due every 2352 bytes after it that carry the
  // whole sync and lie wholly before `limit`.
  void appendPayload(uint32_t start, uint32_t end, uint32_t limit);
  // Whether the 12 bytes at `at` are the whole sync pattern.
  bool isWholeSync(uint64_t at);
  // Moves the cursor to the next place where a sync's first four bytes
  // begin, as ByteSource::skipToSequence() does.
  void skipToSync();
  // Where the cursor enters a span of memory not searched yet, and large
  // enough to share: starts the search of its second half.
  void shareSpan();

  // Spans shorter than this are read through alone.
  static constexpr uint32_t kLeastShared = 1 << 20;

  ByteSource& source_;
  RangeList payloadRanges_;
  ProgressCallback progress_;
  // The span being shared, its first half read here through span_.data.
  ByteSource::Span span_;
  uint32_t sharedEnd_ = 0;  // spans are shared from here on
  std::unique_ptr<SequenceFinder> finder_;  // for the span's second half
};

#endif  // ORVANTE_CONTAINER_RIFF_DECODER_H_
