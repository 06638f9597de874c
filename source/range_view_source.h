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
// source's cursor, only that source's byteAt() is called.
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

 private:
  // The pair holding view offset `index`, walking from the pair found last;
  // false when no pair holds it.
  bool findRange(uint32_t index, uint32_t* found);

  ByteSource& source_;
  const uint32_t* sourcePairs_;  // the given list's pairs: ranges in the source
  RangeList viewRanges_;         // the same ranges as offsets in the view
  const uint32_t* viewPairs_;
  uint32_t currentRange_ = 0;    // the pair at which the last lookup ended
};

#endif  // ORVANTE_SOURCE_RANGE_VIEW_SOURCE_H_
