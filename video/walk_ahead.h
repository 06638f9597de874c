#ifndef ORVANTE_VIDEO_WALK_AHEAD_H_
#define ORVANTE_VIDEO_WALK_AHEAD_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "source/byte_source.h"
#include "video/picture_recoder.h"

// WalkAhead walks the slices of pictures a rescue is about to re-code on a
// thread of its own, while its owner writes the pictures before them: on a
// damaged stream, walking (and resuming broken slices) is most of the cost
// of re-coding. The owner queues the pictures it will re-code, in the order
// it will write them, each with the key it will ask for it by; when it
// comes to one, take() hands the walk to the owner's recoder, which then
// need not walk it (PictureRecoder: walking ahead).
//
// The slices are read from the stream when queued, on the owner's thread;
// the thread touches nothing but the recoders it holds, one per walk queued.
// Only the owner's thread calls the object.
class WalkAhead {
 public:
  // Recoders of this size walk; at most `depth` (at least 1) walks are held.
  WalkAhead(uint32_t width, uint32_t height, uint32_t margin, size_t depth);
  // Waits for the walk under way, drops the rest and ends the thread.
  ~WalkAhead();

  WalkAhead(const WalkAhead&) = delete;
  WalkAhead& operator=(const WalkAhead&) = delete;

  // Whether a machine has processors to spare for walking ahead.
  static bool worthwhile();
  // Whether the walks, where worthwhile, take the last processor the owner
  // leaves: then nothing else had better get a thread of its own.
  static bool takesTheLastProcessor();

  // Whether every recoder holds a walk not yet taken.
  bool full() const { return free_.empty(); }
  // Reads the slices and queues their walk, as `recoder` would walk them
  // for the picture.
  // REQUIRES: !full(); key above the keys queued before.
  void queue(uint32_t key, ByteSource& video, const std::vector<PictureRecoder::Slice>& slices,
             const PictureRecoder::Picture& picture);
  // The walks queued with keys up to `key` are made; the one of `key`, if
  // queued, is handed to `recoder` (true), and every one of them is
  // dropped.
  bool take(uint32_t key, PictureRecoder& recoder);

 private:
  struct Walk {
    uint32_t key;
    std::unique_ptr<PictureRecoder> recoder;
    bool done;
  };

  void work();

  std::vector<std::unique_ptr<PictureRecoder>> free_;  // the owner's: holding no walk
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Walk> walks_;  // in the order queued
  size_t started_ = 0;      // walks_ before this index are done or under way
  bool closing_ = false;
  bool workerWaits_ = false;
  bool ownerWaits_ = false;
  std::thread thread_;      // last: starts once the rest is set
};

#endif  // ORVANTE_VIDEO_WALK_AHEAD_H_
