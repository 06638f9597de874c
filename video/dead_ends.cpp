#include "video/dead_ends.h"

#include <cassert>

void DeadEnds::reset(size_t length) {
  faults_.assign(2 * 8 * length, SliceFault::kNone);
  pending_.clear();
}

SliceFault DeadEnds::faultFrom(size_t bit, bool afterIntra) const { return faults_[slot(bit, afterIntra)]; }

void DeadEnds::settle(SliceFault fault) {
  // Past the picture is a matter of the address, which walks that meet
  // count differently; running clean tells nothing of the starts either.
  if (fault != SliceFault::kNone && fault != SliceFault::kAddressPastPicture) {
    for (size_t s : pending_) faults_[s] = fault;
  }
  pending_.clear();
}
