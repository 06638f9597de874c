#include "video/walk_ahead.h"

#include <cassert>
#include <utility>

WalkAhead::WalkAhead(uint32_t width, uint32_t height, uint32_t margin, size_t depth) {
  assert(depth >= 1);
  for (size_t k = 0; k < depth; ++k) free_.push_back(std::make_unique<PictureRecoder>(width, height, margin));
  thread_ = std::thread(&WalkAhead::work, this);
}

WalkAhead::~WalkAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool WalkAhead::worthwhile() { return std::thread::hardware_concurrency() > 1; }

bool WalkAhead::takesTheLastProcessor() { return worthwhile() && std::thread::hardware_concurrency() <= 2; }

void WalkAhead::queue(uint32_t key, ByteSource& video, const std::vector<PictureRecoder::Slice>& slices,
                      const PictureRecoder::Picture& picture) {
  assert(!full());
  std::unique_ptr<PictureRecoder> recoder = std::move(free_.back());
  free_.pop_back();
  recoder->read(video, slices, picture);
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    assert(walks_.empty() || walks_.back().key < key);
    walks_.push_back({key, std::move(recoder), false});
    wake = workerWaits_;
  }
  if (wake) changed_.notify_all();
}

bool WalkAhead::take(uint32_t key, PictureRecoder& recoder) {
  std::unique_lock<std::mutex> lock(mutex_);
  // The thread walks in order: once the last walk up to the key is done,
  // so are those before it.
  size_t last = 0;
  while (last < walks_.size() && walks_[last].key <= key) ++last;
  if (last == 0) return false;
  ownerWaits_ = true;
  changed_.wait(lock, [this, last] { return walks_[last - 1].done; });
  ownerWaits_ = false;
  bool found = false;
  for (size_t k = 0; k < last; ++k) {
    Walk& walk = walks_.front();
    if (walk.key == key) {
      walk.recoder->handWalkTo(recoder);
      found = true;
    }
    free_.push_back(std::move(walk.recoder));
    walks_.pop_front();
    --started_;
  }
  return found;
}

void WalkAhead::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    workerWaits_ = true;
    changed_.wait(lock, [this] { return closing_ || started_ < walks_.size(); });
    workerWaits_ = false;
    if (closing_) return;
    PictureRecoder* recoder = walks_[started_++].recoder.get();
    lock.unlock();
    recoder->walkRead();
    lock.lock();
    // Walks before it may have been taken meanwhile, but it is still the
    // last one started.
    walks_[started_ - 1].done = true;
    if (ownerWaits_) changed_.notify_all();
  }
}
