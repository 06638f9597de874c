#include "source/view_warmer.h"

#include <algorithm>
#include <cassert>

#include "source/platform.h"

ViewWarmer::ViewWarmer() { thread_ = std::thread(&ViewWarmer::work, this); }

ViewWarmer::~ViewWarmer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    queued_.clear();
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool ViewWarmer::worthwhile() { return platform::warmsPages() && std::thread::hardware_concurrency() > 1; }

void ViewWarmer::warm(const uint8_t* view, size_t length) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    assert(current_ != view);
    assert(std::none_of(queued_.begin(), queued_.end(), [view](const View& v) { return v.data == view; }));
    queued_.push_back({view, length});
  }
  changed_.notify_all();
}

void ViewWarmer::forget(const uint8_t* view) {
  std::unique_lock<std::mutex> lock(mutex_);
  queued_.erase(std::remove_if(queued_.begin(), queued_.end(), [view](const View& v) { return v.data == view; }),
                queued_.end());
  if (current_ != view) return;
  stop_ = true;
  changed_.wait(lock, [this, view] { return current_ != view; });
}

void ViewWarmer::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queued_.empty() && current_ == nullptr; });
}

void ViewWarmer::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return closing_ || !queued_.empty(); });
    if (closing_) return;
    const View view = queued_.front();
    queued_.pop_front();
    current_ = view.data;
    stop_ = false;
    lock.unlock();
    for (size_t at = 0; at < view.length && !stop_; at += kChunk) {
      if (!platform::warmPages(view.data + at, std::min(kChunk, view.length - at))) break;
    }
    lock.lock();
    current_ = nullptr;
    changed_.notify_all();
  }
}
