#ifndef ORVANTE_VIDEO_SLICE_WALK_QUEUE_H_
#define ORVANTE_VIDEO_SLICE_WALK_QUEUE_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "video/slice_walker.h"

// SliceWalkQueue walks slices on worker threads while its owner goes on
// reading the stream. The owner hands in each slice's data, copied, with the
// context of its picture; finish() waits for every walk, after which the
// walks are there in the order the slices came. Walking a slice is the
// costly part of checking a stream, and slices do not depend on each other.
//
// Only the owner's thread calls the queue; the workers touch nothing but the
// copies they are given. With no workers (one processor), add() walks at
// once on the owner's thread.
class SliceWalkQueue {
 public:
  // `workers`: threads to walk on; 0 walks on the caller's thread.
  explicit SliceWalkQueue(unsigned workers);
  // Waits for the workers to end.
  ~SliceWalkQueue();

  SliceWalkQueue(const SliceWalkQueue&) = delete;
  SliceWalkQueue& operator=(const SliceWalkQueue&) = delete;

  // The workers to use on this machine: one per processor.
  static unsigned defaultWorkers();

  // REQUIRES: finish() not yet called. Queues a walk of the slice whose
  // start code has `code`, with the `length` bytes at `data` after it (copied
  // here); its walk becomes walk(n) for the n-th slice added, from 0.
  void add(const SliceContext& context, uint32_t code, const uint8_t* data, size_t length);
  // Waits for every walk queued.
  void finish();
  // REQUIRES: finish() was called; n below the number of slices added.
  const SliceWalk& walk(size_t n) const { return walks_[n]; }

 private:
  struct Job {
    SliceContext context;
    uint32_t code;
    uint32_t offset;  // in the batch's data
    uint32_t length;
  };
  struct Batch {
    std::vector<uint8_t> data;
    std::vector<Job> jobs;
    std::vector<SliceWalk> walks;
  };

  // Hands the batch being filled to the workers, waiting while too many
  // are queued.
  void submit();
  void work();
  static void walkAll(Batch& batch);

  const unsigned workerCount_;
  std::unique_ptr<Batch> filling_;
  std::vector<std::unique_ptr<Batch>> batches_;  // every batch, in order
  std::vector<SliceWalk> walks_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Batch*> pending_;  // batches no worker took yet
  size_t unfinished_ = 0;       // batches submitted and not yet walked
  bool closing_ = false;
  std::vector<std::thread> workers_;
};

#endif  // ORVANTE_VIDEO_SLICE_WALK_QUEUE_H_
