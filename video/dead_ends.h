#ifndef ORVANTE_VIDEO_DEAD_ENDS_H_
#define ORVANTE_VIDEO_DEAD_ENDS_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "video/slice_walker.h"

// DeadEnds remembers, for the walks resumed in one slice's data, the
// macroblock starts from which the data itself leads into a fault. Walks
// begun at neighbouring bits fall into step with one another after a few
// codes, and from a macroblock start on the syntax read does not depend on
// how the walk got there: only on whether the macroblock before was intra
// (a B picture may not skip after one) and on its address (which can run
// past the picture). So a walk that reaches a start where an earlier walk,
// after the same kind of macroblock, went on to a fault not of its address,
// breaks with that fault too, and can stop there.
//
// The caller owns it and passes it to SliceWalker::resume() for every walk
// in the same data; it is filled by those walks. Not shared between threads.
class DeadEnds {
 public:
  // Forgets everything: the walks to come read `length` bytes of new data.
  void reset(size_t length);

  // For SliceWalker. A walk begins: no start of it is pending.
  void beginWalk() { pending_.clear(); }
  // The fault a walk meets from a macroblock that begins at `bit` after one
  // that was intra or not, as an earlier walk met it; kNone when unknown.
  // REQUIRES: bit below 8 * the length given to reset().
  SliceFault faultFrom(size_t bit, bool afterIntra) const;
  // The walk reached a macroblock start not known yet.
  void pass(size_t bit, bool afterIntra) { pending_.push_back(slot(bit, afterIntra)); }
  // The walk ended with `fault`: the starts it passed lead to it, unless the
  // fault came from the addresses it had counted.
  void settle(SliceFault fault);

 private:
  size_t slot(size_t bit, bool afterIntra) const {
    assert(bit < faults_.size() / 2);
    return 2 * bit + (afterIntra ? 1 : 0);
  }

  std::vector<SliceFault> faults_;  // by slot(); kNone where nothing is known
  std::vector<size_t> pending_;      // slots the running walk passed
};

#endif  // ORVANTE_VIDEO_DEAD_ENDS_H_
