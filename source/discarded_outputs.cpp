#include "source/discarded_outputs.h"

#include <cassert>

std::atomic<int> DiscardedOutputs::living_{0};

DiscardedOutputs::DiscardedOutputs() { living_.fetch_add(1, std::memory_order_acq_rel); }

DiscardedOutputs::~DiscardedOutputs() {
  const int before = living_.fetch_sub(1, std::memory_order_acq_rel);
  assert(before > 0);
  (void)before;
}
