#ifndef ORVANTE_SOURCE_DISCARDED_OUTPUTS_H_
#define ORVANTE_SOURCE_DISCARDED_OUTPUTS_H_

#include <atomic>

// DiscardedOutputs is a stretch of a run whose outputs go nowhere: while an
// object of it lives, every OutputFile opened creates no file and opens
// nothing, and discards the bytes it is given. Such a stream is a sink with
// the contract of a regular file that cannot fail: it keeps its position as
// the file would (tell(), seek(), putZeros()), open() and close() return
// true, failed() stays false, and no name is removed. Streams opened before
// the stretch began, or after it ended, are files as usual, each to its
// close.
//
// The stretch belongs to the object; objects nest, and outputs are
// discarded until the last one ends. They are made and destroyed on one
// thread, while no output is being opened.
class DiscardedOutputs {
 public:
  DiscardedOutputs();
  ~DiscardedOutputs();

  DiscardedOutputs(const DiscardedOutputs&) = delete;
  DiscardedOutputs& operator=(const DiscardedOutputs&) = delete;

  // Whether an object lives now: an output opened now is discarded.
  static bool active() { return living_.load(std::memory_order_acquire) > 0; }

 private:
  static std::atomic<int> living_;
};

#endif  // ORVANTE_SOURCE_DISCARDED_OUTPUTS_H_
