#include "source/range_view_source.h"

#include <algorithm>
#include <cassert>

RangeViewSource::RangeViewSource(ByteSource& source, const RangeList& ranges)
    : source_(source), pairs_(ranges.pairs()), count_(ranges.count()) {
  uint32_t size = 0;
  for (uint32_t k = 0; k < count_; ++k) size += rangeLength(k);
  setSize(size);
}

RangeViewSource::~RangeViewSource() = default;

bool RangeViewSource::findRange(uint32_t index) {
  if (count_ == 0) return false;
  if (index >= currentViewStart_ && index - currentViewStart_ < rangeLength(currentRange_)) return true;
  const auto distance = [index](uint32_t viewStart) { return index > viewStart ? index - viewStart : viewStart - index; };
  // From the place left, which then becomes the one left in turn.
  const bool back = distance(leftViewStart_) < distance(currentViewStart_);
  if (back) {
    std::swap(currentRange_, leftRange_);
    std::swap(currentViewStart_, leftViewStart_);
  }
  const uint32_t fromRange = currentRange_;
  const uint32_t fromViewStart = currentViewStart_;
  const uint32_t walked = walkTo(index);
  if (walked == kNoRange) return false;
  if (!back && walked > kFarWalk) {
    leftRange_ = fromRange;
    leftViewStart_ = fromViewStart;
  }
  return true;
}

uint32_t RangeViewSource::walkTo(uint32_t index) {
  for (uint32_t walked = 0;; ++walked) {
    if (index < currentViewStart_) {
      if (currentRange_ == 0) return kNoRange;
      --currentRange_;
      currentViewStart_ -= rangeLength(currentRange_);
    } else if (index - currentViewStart_ >= rangeLength(currentRange_)) {
      if (currentRange_ + 1 >= count_) return kNoRange;
      currentViewStart_ += rangeLength(currentRange_);
      ++currentRange_;
    } else {
      return walked;
    }
  }
}

int RangeViewSource::byteAt(uint32_t index) {
  if (!findRange(index)) return 0;
  return source_.byteAt(rangeStart(currentRange_) + (index - currentViewStart_));
}

ByteSource::Span RangeViewSource::spanAt(uint32_t index) {
  if (!findRange(index)) return Span();
  const uint32_t start = rangeStart(currentRange_);
  const uint32_t end = start + rangeLength(currentRange_);
  const Span under = source_.spanAt(start + (index - currentViewStart_));
  if (under.length == 0) return Span();
  // The overlap of the range with the underlying span, in source indexes.
  const uint32_t low = under.start > start ? under.start : start;
  const uint32_t underEnd = under.start + under.length;
  const uint32_t high = underEnd < end ? underEnd : end;
  Span span;
  span.data = under.data + (low - under.start);
  span.start = currentViewStart_ + (low - start);
  span.length = high - low;
  return span;
}

void RangeViewSource::rangesInView(const RangeList& view, const RangeList& ranges, RangeList* inView) {
  assert(inView->count() == 0);
  uint32_t r = 0;
  uint32_t offset = 0;       // where the view's range begins in the view
  uint32_t previousEnd = 0;  // where the view's range before it ends
  for (uint32_t v = 0; v < view.count(); ++v) {
    const uint32_t start = view.pairs()[2 * v];
    const uint32_t end = view.pairs()[2 * v + 1];
    bool between = false;
    for (; r < ranges.count() && ranges.pairs()[2 * r + 1] <= start; ++r) {
      if (v > 0 && ranges.pairs()[2 * r + 1] > previousEnd) between = true;
    }
    if (between && offset > 0) inView->appendJoined(offset - 1, offset + 1);
    for (uint32_t k = r; k < ranges.count() && ranges.pairs()[2 * k] < end; ++k) {
      inView->appendJoined(offset + (std::max(start, ranges.pairs()[2 * k]) - start), offset + (std::min(end, ranges.pairs()[2 * k + 1]) - start));
    }
    offset += end - start;
    previousEnd = end;
  }
}
