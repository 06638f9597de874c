#ifndef ORVANTE_SOURCE_BACKGROUND_WRITER_H_
#define ORVANTE_SOURCE_BACKGROUND_WRITER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// BackgroundWriter stores buffers on a thread of its own while its owner
// goes on filling the next: writing to the system's cache costs about as
// much as making the bytes. It owns a few buffers of one size; the owner
// fills one, hands it in with the file offset it belongs at and gets an
// empty one back, waiting while every other is still queued.
//
// The writes are made one after the other, in the order handed in, through
// the function given, which runs on the writer's thread only; while a write
// is queued, the owner touches nothing that function uses. After the first
// write that fails, the rest are dropped. Only the owner's thread calls the
// writer.
class BackgroundWriter {
 public:
  // Stores `count` bytes at `offset`; false when they could not be stored.
  using Store = std::function<bool(const uint8_t* bytes, size_t count, uint64_t offset)>;

  // Starts the thread, with `buffers` (at least 2) of `bufferSize` bytes.
  BackgroundWriter(Store store, size_t bufferSize, size_t buffers);
  // Makes the writes still queued, then ends the thread.
  ~BackgroundWriter();

  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Whether a machine has processors to spare for a writer: with one, the
  // owner had better write itself.
  static bool worthwhile();

  size_t bufferSize() const { return bufferSize_; }
  // An empty buffer of bufferSize() bytes, the owner's to fill until handed in.
  // REQUIRES: the owner holds no buffer.
  uint8_t* take();
  // Queues the write of the first `count` bytes of `buffer`, the one take()
  // gave, at `offset`; the owner holds it no more.
  // REQUIRES: buffer came from take(); count <= bufferSize().
  void hand(uint8_t* buffer, size_t count, uint64_t offset);
  // Waits until every write queued is made; false when one failed.
  bool wait();
  // Whether a write made so far failed.
  bool failed();

 private:
  struct Write {
    uint8_t* buffer;
    size_t count;
    uint64_t offset;
  };

  void work();

  const Store store_;
  const size_t bufferSize_;
  std::vector<std::unique_ptr<uint8_t[]>> buffers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Write> queued_;      // in the order handed in
  std::vector<uint8_t*> empty_;   // buffers neither held nor queued
  bool writing_ = false;          // the thread makes a write now
  bool closing_ = false;
  bool failed_ = false;
  bool held_ = false;             // the owner holds a buffer
  bool ownerWaits_ = false;       // in take() or wait()
  bool writerWaits_ = false;      // for a write to be queued
  std::thread thread_;            // last: starts once the rest is set
};

#endif  // ORVANTE_SOURCE_BACKGROUND_WRITER_H_
