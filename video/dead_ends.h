#ifndef ORVANTE_VIDEO_DEAD_ENDS_H_
#define ORVANTE_VIDEO_DEAD_ENDS_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "video/slice_walker.h"

// DeadEnds remembers, for the walks resumed in one slice's data, where the
// data leads from the starts an earlier walk passed: into a fault, or clean
// to the slice's end. Walks begun at neighbouring bits fall into step with
// one another after a few codes, and the syntax read from a start on does
// not depend on how the walk got there, only on what kind of start it is
// and on the macroblock's address (which can run past the picture):
// - a macroblock's start, after a macroblock that was intra or not (a B
//   picture may not skip after an intra one);
// - a block's start in an intra macroblock, by the block's number (its DC
//   value is read from the luminance or the chrominance table, and the
//   blocks after it follow);
// - a block's start in a macroblock that is not intra, by the blocks coded
//   from it on (all read alike).
// So a walk that reaches a start where an earlier walk went on to a fault
// not of its address breaks with that fault too; and one that reaches a
// macroblock's start from which an earlier walk ran clean reads the same
// macroblocks to the end as that one did, their addresses counted on from
// its own: it runs clean too unless they then run past the picture. Either
// way it can stop there.
//
// The caller owns it and passes it to SliceWalker::resume() for every walk
// in the same data; it is filled by those walks. Not shared between threads.
class DeadEnds {
 public:
  // No start at which the walk joined an earlier one.
  static constexpr size_t kNotJoined = static_cast<size_t>(-1);

  // The kinds of start.
  static constexpr uint32_t macroblockAfter(bool intra) { return intra ? 1 : 0; }
  // REQUIRES: block < 6.
  static constexpr uint32_t intraBlock(uint32_t block) { return kMacroblockKinds + block; }
  // REQUIRES: 1 <= left <= 6.
  static constexpr uint32_t codedBlocksLeft(uint32_t left) { return kMacroblockKinds + kBlocks + left - 1; }

  // Forgets everything: the walks to come read `length` bytes of new data,
  // from bit `fromBit` on. What is kept covers kCoveredBits from there (a
  // slice may be as long as a stream); starts beyond are not kept.
  void reset(size_t fromBit, size_t length);

  // For SliceWalker. A walk begins: no start of it is pending.
  void beginWalk() {
    pending_.clear();
    joinedAt_ = kNotJoined;
  }
  // The fault a walk meets from a start of `kind` at `bit`, as an earlier
  // walk met it; kNone when unknown.
  // REQUIRES: kind one of the above.
  SliceFault faultFrom(size_t bit, uint32_t kind) const {
    return covers(bit) ? faults_[slot(bit, kind)] : SliceFault::kNone;
  }
  // Whether an earlier walk ran clean from a macroblock that begins at
  // `bit` after one that was intra or not; if so, `*span` is its last
  // address less that of the macroblock before the start.
  bool cleanFrom(size_t bit, bool afterIntra, uint32_t* span) const {
    if (!covers(bit)) return false;
    const uint32_t stored = spans_[spanSlot(bit, afterIntra)];
    if (stored == 0) return false;
    *span = stored - 1;
    return true;
  }
  // The walk reached a start of `kind` not known yet, in or after the
  // macroblock at `address`.
  void pass(size_t bit, uint32_t kind, uint32_t address) {
    if (covers(bit)) pending_.push_back({bit, kind, address});
  }
  // The walk ended with `fault` (not kNone): the starts it passed lead to
  // it, unless the fault came from the addresses it had counted.
  void settle(SliceFault fault);
  // The walk ran clean, its last macroblock at `lastAddress`: the
  // macroblock starts it passed lead clean to the end. When it stopped at a
  // start from which an earlier walk ran clean, `joinedAt` is that start's
  // bit.
  void ranClean(uint32_t lastAddress, size_t joinedAt = kNotJoined);

  // Where the last walk that ran clean joined an earlier one, or
  // kNotJoined when it read on to the end itself.
  size_t joinedAt() const { return joinedAt_; }

 private:
  static constexpr uint32_t kMacroblockKinds = 2;
  static constexpr uint32_t kBlocks = 6;
  static constexpr uint32_t kKinds = kMacroblockKinds + 2 * kBlocks;
  // 32 KiB of data: far more than a Video CD's slices hold, and at most
  // about 6 MB kept.
  static constexpr size_t kCoveredBits = size_t{1} << 18;

  struct Pending {
    size_t bit;
    uint32_t kind;
    uint32_t address;  // of the macroblock the start lies in or after
  };

  bool covers(size_t bit) const { return bit >= firstBit_ && bit - firstBit_ < coveredBits_; }
  size_t slot(size_t bit, uint32_t kind) const {
    assert(covers(bit) && kind < kKinds);
    return kKinds * (bit - firstBit_) + kind;
  }
  size_t spanSlot(size_t bit, bool afterIntra) const {
    assert(covers(bit));
    return kMacroblockKinds * (bit - firstBit_) + macroblockAfter(afterIntra);
  }

  size_t firstBit_ = 0;     // the first bit covered
  size_t coveredBits_ = 0;  // and how many
  std::vector<SliceFault> faults_;  // by slot(); kNone where nothing is known
  std::vector<uint32_t> spans_;     // by spanSlot(); 1 + the span where clean, 0 where not known
  std::vector<Pending> pending_;    // starts the running walk passed
  size_t joinedAt_ = kNotJoined;
};

#endif  // ORVANTE_VIDEO_DEAD_ENDS_H_
