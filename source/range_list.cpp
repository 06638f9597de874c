#include "source/range_list.h"

#include <cassert>
#include <cstdlib>

namespace {
constexpr size_t kPairBytes = 2 * sizeof(uint32_t);
}  // namespace

RangeList::RangeList() : pairs_(static_cast<uint32_t*>(std::malloc(0))) {}

RangeList::~RangeList() { std::free(pairs_); }

void RangeList::append(uint32_t start, uint32_t end) {
  void* grown = std::realloc(pairs_, (size_t{count_} + 1) * kPairBytes);
  if (grown == nullptr) return;
  pairs_ = static_cast<uint32_t*>(grown);
  pairs_[2 * size_t{count_}] = start;
  pairs_[2 * size_t{count_} + 1] = end;
  count_ += 1;
  total_ += end - start;
}

void RangeList::extendLast(uint32_t end) {
  assert(count_ > 0 && end >= pairs_[2 * size_t{count_} - 1]);
  total_ += end - pairs_[2 * size_t{count_} - 1];
  pairs_[2 * size_t{count_} - 1] = end;
}

void RangeList::clear() {
  if (count_ == 0) return;
  count_ = 0;
  total_ = 0;
  std::free(pairs_);
  pairs_ = static_cast<uint32_t*>(std::malloc(0));
}
