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

int RangeViewSource::byteAt(uint32_t index) {
  const uint32_t count = viewRanges_.count();
  if (count == 0) return 0;
  uint32_t k = currentRange_;
  for (;;) {
    const uint32_t viewStart = viewPairs_[2 * k];
    const uint32_t viewEnd = viewPairs_[2 * k + 1];
    if (index < viewStart) {
      if (k == 0) return 0;
      currentRange_ = --k;
    } else if (index >= viewEnd) {
      if (k + 1 >= count) return 0;
      currentRange_ = ++k;
    } else {
      return source_.byteAt(sourcePairs_[2 * k] + (index - viewStart));
    }
  }
}
