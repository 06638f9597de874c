#include "source/background_writer.h"

#include <cassert>
#include <utility>

BackgroundWriter::BackgroundWriter(Store store, size_t bufferSize, size_t buffers)
    : store_(std::move(store)), bufferSize_(bufferSize) {
  assert(buffers >= 2 && bufferSize > 0);
  for (size_t k = 0; k < buffers; ++k) {
    buffers_.emplace_back(new uint8_t[bufferSize]);
    empty_.push_back(buffers_.back().get());
  }
  thread_ = std::thread(&BackgroundWriter::work, this);
}

BackgroundWriter::~BackgroundWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool BackgroundWriter::worthwhile() { return std::thread::hardware_concurrency() > 1; }

uint8_t* BackgroundWriter::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  assert(!held_);
  ownerWaits_ = true;
  changed_.wait(lock, [this] { return !empty_.empty(); });
  ownerWaits_ = false;
  uint8_t* buffer = empty_.back();
  empty_.pop_back();
  held_ = true;
  return buffer;
}

void BackgroundWriter::hand(uint8_t* buffer, size_t count, uint64_t offset) {
  assert(count <= bufferSize_);
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    assert(held_);
    held_ = false;
    queued_.push_back({buffer, count, offset});
    wake = writerWaits_;
  }
  if (wake) changed_.notify_all();
}

bool BackgroundWriter::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  ownerWaits_ = true;
  changed_.wait(lock, [this] { return queued_.empty() && !writing_; });
  ownerWaits_ = false;
  return !failed_;
}

bool BackgroundWriter::failed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

void BackgroundWriter::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    writerWaits_ = true;
    changed_.wait(lock, [this] { return closing_ || !queued_.empty(); });
    writerWaits_ = false;
    if (queued_.empty()) return;  // closing, nothing left
    const Write write = queued_.front();
    queued_.pop_front();
    writing_ = true;
    const bool skip = failed_;
    lock.unlock();
    const bool stored = skip || store_(write.buffer, write.count, write.offset);
    lock.lock();
    failed_ = failed_ || !stored;
    writing_ = false;
    empty_.push_back(write.buffer);
    // Waking a thread costs more than a write is worth: only one that waits.
    if (ownerWaits_) changed_.notify_all();
  }
}
