#ifndef ORVANTE_SOURCE_RANGE_VIEW_SOURCE_H_
#define ORVANTE_SOURCE_RANGE_VIEW_SOURCE_H_

#include <cstdint>

#include "source/byte_source.h"
#include "source/range_list.h"

// RangeViewSource presents the ranges of a RangeList over another ByteSource
// as one contiguous stream starting at index 0: the bytes of the ranges in
// list order, read in place from the underlying source. Its size is the
// list's total().
//
// The view owns neither the underlying source nor the list. Both must
// outlive it, and the list must not be appended to or cleared while the view
// exists. The view has its own cursor: reading it never moves the underlying
// source's cursor, only that source's byteAt() and spanAt() are called. The
// view keeps no copy of the ranges: it costs a few words whatever their
// number. It finds a range by walking from the one it found last, or from
// the one it left when it last went far, whichever lies nearer: reads that
// go back and forth between two places (a writer and the reads it makes
// ahead of itself) then walk no further than reads in order.
class RangeViewSource : public ByteSource {
 public:
  RangeViewSource(ByteSource& source, const RangeList& ranges);
  ~RangeViewSource() override;

  // The byte the view offset stands for; 0 when no range holds the offset
  // (past the end, or an empty list, for which the source is not asked).
  int byteAt(uint32_t index) override;
  // The part of the underlying source's span that lies in the range holding
  // `index`.
  Span spanAt(uint32_t index) override;
  // As the underlying source's.
  bool spansStay() override { return source_.spansStay(); }

  // Appends to `inView` the parts of `ranges` (of the underlying source)
  // that a view over `view` shows, as ranges of that view. A range that
  // lies wholly between two of the view's ranges marks the byte on either
  // side of where the two meet in the view: what it stands for lies
  // between them. REQUIRES: both lists increasing and not overlapping;
  // `inView` empty. The result is increasing and not overlapping.
  static void rangesInView(const RangeList& view, const RangeList& ranges, RangeList* inView);

 private:
  // Makes the current range the one holding view offset `index`, walking
  // one range at a time from the range found last or the one left
  // (whichever begins nearer); false when no range holds it (the current
  // range then stays where the walk stopped).
  bool findRange(uint32_t index);
  // Walks the current range to the one holding `index`; the number of
  // ranges walked, or kNoRange when none holds it.
  uint32_t walkTo(uint32_t index);

  // A walk longer than this leaves a place worth coming back to.
  static constexpr uint32_t kFarWalk = 16;
  static constexpr uint32_t kNoRange = 0xFFFFFFFFu;

  uint32_t rangeStart(uint32_t k) const { return pairs_[2 * k]; }
  uint32_t rangeLength(uint32_t k) const { return pairs_[2 * k + 1] - pairs_[2 * k]; }

  ByteSource& source_;
  const uint32_t* pairs_;  // the given list's pairs: ranges in the source
  uint32_t count_;         // the number of ranges
  uint32_t currentRange_ = 0;      // the range at which the last lookup ended
  uint32_t currentViewStart_ = 0;  // its first offset in the view
  uint32_t leftRange_ = 0;         // the range a long walk last left
  uint32_t leftViewStart_ = 0;     // its first offset in the view
};

#endif  // ORVANTE_SOURCE_RANGE_VIEW_SOURCE_H_
