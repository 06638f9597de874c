#ifndef ORVANTE_SOURCE_VIEW_WARMER_H_
#define ORVANTE_SOURCE_VIEW_WARMER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

// ViewWarmer reads a byte of each page of mapped views on a thread of its
// own, ahead of their owner's reads (platform::warmPages()): on a machine
// where the first read of each page of a new mapping costs more than
// reading the page, the owner then finds its pages in place. What the owner
// reads does not change: a page the file cannot fill is left untouched.
//
// The views are not owned. The owner hands in each view after mapping it
// and forgets it before unmapping it; once forget() returns, the thread no
// longer reads it. Views are warmed one after the other, in the order handed
// in, a chunk at a time. Only the owner's thread calls the warmer.
class ViewWarmer {
 public:
  ViewWarmer();
  // Stops the thread, warming nothing more.
  ~ViewWarmer();

  ViewWarmer(const ViewWarmer&) = delete;
  ViewWarmer& operator=(const ViewWarmer&) = delete;

  // Whether warming can gain anything here: the system warms pages, and a
  // processor is left for the thread.
  static bool worthwhile();

  // Queues the `length` bytes at `view` to be warmed.
  // REQUIRES: view is not queued or being warmed already.
  void warm(const uint8_t* view, size_t length);
  // Drops `view` from the queue, or stops warming it, and returns once the
  // thread reads it no more. A view never handed in is ignored.
  void forget(const uint8_t* view);
  // Waits until every view queued is warmed or given up; for tests.
  void wait();

 private:
  struct View {
    const uint8_t* data;
    size_t length;
  };
  // Warmed between looks at whether the view is forgotten.
  static constexpr size_t kChunk = 1 << 20;

  void work();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<View> queued_;
  const uint8_t* current_ = nullptr;  // being warmed, by the thread
  std::atomic<bool> stop_{false};     // stop warming current_
  bool closing_ = false;
  std::thread thread_;  // last: starts once the rest is set
};

#endif  // ORVANTE_SOURCE_VIEW_WARMER_H_
