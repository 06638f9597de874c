#include "video/dead_ends.h"

#include <algorithm>
#include <cassert>

void DeadEnds::reset(size_t fromBit, size_t length) {
  firstBit_ = fromBit;
  coveredBits_ = 8 * length > fromBit ? std::min(8 * length - fromBit, kCoveredBits) : 0;
  faults_.assign(kKinds * coveredBits_, SliceFault::kNone);
  spans_.assign(kMacroblockKinds * coveredBits_, 0);
  pending_.clear();
  joinedAt_ = kNotJoined;
}

void DeadEnds::settle(SliceFault fault) {
  assert(fault != SliceFault::kNone);
  // Past the picture is a matter of the address, which walks that meet
  // count differently.
  if (fault != SliceFault::kAddressPastPicture) {
    for (const Pending& p : pending_) faults_[slot(p.bit, p.kind)] = fault;
  }
  pending_.clear();
}

void DeadEnds::ranClean(uint32_t lastAddress, size_t joinedAt) {
  // A block's start tells nothing of the macroblock it lies in, which the
  // walks that meet there may have begun differently: only macroblock
  // starts are kept.
  for (const Pending& p : pending_) {
    if (p.kind >= kMacroblockKinds) continue;
    assert(lastAddress >= p.address);
    spans_[spanSlot(p.bit, p.kind == macroblockAfter(true))] = lastAddress - p.address + 1;
  }
  pending_.clear();
  joinedAt_ = joinedAt;
}
