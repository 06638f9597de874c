#include "video/slice_walk_queue.h"

#include <cassert>

namespace {

// A batch is handed over once it holds this much slice data: large enough
// that handing over costs nothing next to the walks, small enough that the
// workers start early and little is held.
constexpr size_t kBatchBytes = 1 << 20;
// Batches queued and not yet walked, per worker, before the owner waits.
constexpr size_t kQueuedPerWorker = 4;

}  // namespace

SliceWalkQueue::SliceWalkQueue(unsigned workers) : workerCount_(workers), filling_(new Batch) {
  for (unsigned k = 0; k < workerCount_; ++k) workers_.emplace_back(&SliceWalkQueue::work, this);
}

SliceWalkQueue::~SliceWalkQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

unsigned SliceWalkQueue::defaultWorkers() {
  const unsigned processors = std::thread::hardware_concurrency();
  return processors > 1 ? processors : 0;
}

void SliceWalkQueue::walkAll(Batch& batch) {
  batch.walks.resize(batch.jobs.size());
  for (size_t k = 0; k < batch.jobs.size(); ++k) {
    const Job& job = batch.jobs[k];
    batch.walks[k] = SliceWalker(job.context).walk(job.code, batch.data.data() + job.offset, job.length);
  }
}

void SliceWalkQueue::add(const SliceContext& context, uint32_t code, const uint8_t* data, size_t length) {
  Batch& batch = *filling_;
  batch.jobs.push_back({context, code, static_cast<uint32_t>(batch.data.size()), static_cast<uint32_t>(length)});
  batch.data.insert(batch.data.end(), data, data + length);
  if (batch.data.size() >= kBatchBytes) submit();
}

void SliceWalkQueue::submit() {
  Batch* batch = filling_.get();
  batches_.push_back(std::move(filling_));
  filling_.reset(new Batch);
  if (workerCount_ == 0) {
    walkAll(*batch);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return unfinished_ < kQueuedPerWorker * workerCount_; });
  pending_.push_back(batch);
  ++unfinished_;
  lock.unlock();
  changed_.notify_all();
}

void SliceWalkQueue::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return closing_ || !pending_.empty(); });
    if (pending_.empty()) return;  // closing, nothing left
    Batch* batch = pending_.front();
    pending_.pop_front();
    lock.unlock();
    walkAll(*batch);
    // The walks are done: the batch's data goes, its walks stay.
    std::vector<uint8_t>().swap(batch->data);
    lock.lock();
    --unfinished_;
    changed_.notify_all();
  }
}

void SliceWalkQueue::finish() {
  if (!filling_->jobs.empty()) submit();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return unfinished_ == 0; });
  }
  walks_.clear();
  for (const std::unique_ptr<Batch>& batch : batches_) walks_.insert(walks_.end(), batch->walks.begin(), batch->walks.end());
  batches_.clear();
}
