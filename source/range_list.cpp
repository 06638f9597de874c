#include "source/range_list.h"

#include <cassert>
#include <cstdint>
#include <cstdlib>

namespace {
constexpr size_t kPairBytes = 2 * sizeof(uint32_t);
constexpr size_t kFirstCapacity = 64;
}  // namespace

RangeList::RangeList() : pairs_(static_cast<uint32_t*>(std::malloc(0))) {}

RangeList::~RangeList() { std::free(pairs_); }

void RangeList::append(uint32_t start, uint32_t end) {
  if (count_ == capacity_) {
    // Half as much again: a few dozen moves for a list of any length, where
    // growing by one pair made the system move a large array a thousand
    // times in a run over an hour-long disc.
    const size_t capacity = capacity_ < kFirstCapacity ? kFirstCapacity : size_t{capacity_} + capacity_ / 2;
    if (capacity > UINT32_MAX || capacity > SIZE_MAX / kPairBytes) return;
    void* grown = std::realloc(pairs_, capacity * kPairBytes);
    if (grown == nullptr) return;
    pairs_ = static_cast<uint32_t*>(grown);
    capacity_ = static_cast<uint32_t>(capacity);
  }
  pairs_[2 * size_t{count_}] = start;
  pairs_[2 * size_t{count_} + 1] = end;
  count_ += 1;
  total_ += end - start;
}

void RangeList::appendJoined(uint32_t start, uint32_t end) {
  assert(start <= end);
  uint32_t* const last = count_ == 0 ? nullptr : &pairs_[2 * size_t{count_} - 1];
  if (last == nullptr || *last < start) {
    append(start, end);
  } else if (*last < end) {
    total_ += end - *last;
    *last = end;
  }
}

void RangeList::unionOf(const RangeList& a, const RangeList& b, RangeList* out) {
  assert(out != &a && out != &b);
  out->clear();
  uint32_t i = 0, j = 0;
  while (i < a.count_ || j < b.count_) {
    const bool fromA = j == b.count_ || (i < a.count_ && a.pairs_[2 * size_t{i}] <= b.pairs_[2 * size_t{j}]);
    const uint32_t* pair = fromA ? a.pairs_ + 2 * size_t{i++} : b.pairs_ + 2 * size_t{j++};
    out->appendJoined(pair[0], pair[1]);
  }
}

void RangeList::clear() {
  if (count_ == 0) return;
  count_ = 0;
  total_ = 0;
  capacity_ = 0;
  std::free(pairs_);
  pairs_ = static_cast<uint32_t*>(std::malloc(0));
}
