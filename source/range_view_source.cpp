#include "source/range_view_source.h"

RangeViewSource::RangeViewSource(ByteSource& source, const RangeList& ranges)
    : source_(source), sourcePairs_(ranges.pairs()) {
  uint32_t offset = 0;
  for (uint32_t k = 0; k < ranges.count(); ++k) {
    const uint32_t length = sourcePairs_[2 * k + 1] - sourcePairs_[2 * k];
    viewRanges_.append(offset, offset + length);
    offset += length;
  }
  setSize(offset);
  viewPairs_ = viewRanges_.pairs();
}

RangeViewSource::~RangeViewSource() = default;

bool RangeViewSource::findRange(uint32_t index, uint32_t* found) {
  const uint32_t count = viewRanges_.count();
  if (count == 0) return false;
  uint32_t k = currentRange_;
  for (;;) {
    const uint32_t viewStart = viewPairs_[2 * k];
    const uint32_t viewEnd = viewPairs_[2 * k + 1];
    if (index < viewStart) {
      if (k == 0) return false;
      currentRange_ = --k;
    } else if (index >= viewEnd) {
      if (k + 1 >= count) return false;
      currentRange_ = ++k;
    } else {
      *found = k;
      return true;
    }
  }
}

int RangeViewSource::byteAt(uint32_t index) {
  uint32_t k;
  if (!findRange(index, &k)) return 0;
  return source_.byteAt(sourcePairs_[2 * k] + (index - viewPairs_[2 * k]));
}

ByteSource::Span RangeViewSource::spanAt(uint32_t index) {
  uint32_t k;
  if (!findRange(index, &k)) return Span();
  const uint32_t viewStart = viewPairs_[2 * k];
  const uint32_t rangeStart = sourcePairs_[2 * k];
  const uint32_t rangeEnd = sourcePairs_[2 * k + 1];
  const Span under = source_.spanAt(rangeStart + (index - viewStart));
  if (under.length == 0) return Span();
  // The overlap of the range with the underlying span, in source indexes.
  const uint32_t low = under.start > rangeStart ? under.start : rangeStart;
  const uint32_t underEnd = under.start + under.length;
  const uint32_t high = underEnd < rangeEnd ? underEnd : rangeEnd;
  Span span;
  span.data = under.data + (low - under.start);
  span.start = viewStart + (low - rangeStart);
  span.length = high - low;
  return span;
}
