#ifndef ORVANTE_SOURCE_OUTPUT_FILE_H_
#define ORVANTE_SOURCE_OUTPUT_FILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "source/background_writer.h"
#include "source/platform.h"

// OutputFile is a buffered binary output stream on one named file. Bytes are
// written unchanged, one at a time through put(), at the current position;
// seek() returns to an earlier position so that later puts overwrite what is
// there. Offsets are 64-bit.
//
// A failed write is remembered: failed() turns true and stays so, later bytes
// are dropped, and close() then removes the incomplete file. Nothing is ever
// written through a stream that failed to open.
//
// The bytes go out in writes of kBufferSize; to a regular file, where the
// stream is made to (Writing), in writes of kWriterBufferSize from a thread
// of their own (BackgroundWriter) while the next are put, a write failing
// then being seen a little later, by close() at the latest. The blocks of a
// regular file are reserved kReserveStep ahead of the writes (where the file
// system allows it), which makes writing a new file about half as costly for
// the system; close() gives back what lies past the end, so the file takes
// the space of its bytes.
//
// A stream opened while a DiscardedOutputs lives is a sink: it creates no
// file, takes every byte as a regular file would and drops it, keeps its
// position and never fails (DiscardedOutputs). It stays one until closed.
class OutputFile {
 public:
  // Where the writes to a regular file are made.
  enum class Writing {
    kWhereWorthwhile,  // on a thread of their own where BackgroundWriter::worthwhile()
    kOnThisThread,
    kOnAThreadOfTheirOwn,
  };

  explicit OutputFile(Writing writing = Writing::kWhereWorthwhile);
  // Closes the file when still open (as close()).
  ~OutputFile();

  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file, or empties an existing one, for writing. Returns false,
  // and leaves failed() true, when it cannot be created. A FIFO without a
  // reader is not waited for: it cannot be opened. While a DiscardedOutputs
  // lives, opens nothing and returns true: the stream discards its bytes.
  bool open(const std::string& name);

  // Writes the low 8 bits of `byte` at the current position.
  void put(int byte) {
    if (next_ == end_) drain();
    *next_++ = static_cast<uint8_t>(byte);
  }
  // Writes `count` bytes at the current position, as that many puts.
  void write(const uint8_t* bytes, size_t count);
  // Writes `count` zero bytes at the current position, as that many puts.
  // Past the end of a regular file a run of kSkippedZeros or more is not
  // stored one by one: the file is extended when it is closed, so long runs
  // (a megabyte or more) cost no time and no disk blocks.
  void putZeros(uint64_t count);

  // The current position: bytes from the start of the file, counting those
  // still held in the buffer.
  uint64_t tell() const { return bufferOffset_ + static_cast<uint64_t>(next_ - buffer_); }
  // Moves the current position to `offset`; the file is not shortened.
  void seek(uint64_t offset);

  // Writes out what is buffered, cuts the file at the current position (so
  // nothing beyond it stays from before a seek back) and closes it. Returns
  // true when every byte reached the file; otherwise removes the incomplete
  // file and returns false. Closing a stream that is not open does nothing
  // and returns !failed().
  bool close();

  // True once the file could not be created or a write failed.
  bool failed() const { return failed_ || (writer_ != nullptr && writer_->failed()); }
  const std::string& name() const { return name_; }

 private:
  static constexpr size_t kBufferSize = 1 << 18;
  // Blocks of a regular file are reserved this far ahead of the writes.
  static constexpr uint64_t kReserveStep = 64 << 20;
  // Zeros past a regular file's end are skipped, not stored, from this many
  // on; and from this many on, blocks reserved under them are given back.
  static constexpr uint64_t kSkippedZeros = 64 << 10;
  static constexpr uint64_t kReleasedZeros = kReserveStep / 64;
  static_assert(kSkippedZeros <= kReleasedZeros, "runs that give back blocks are skipped");

  // With a writer: the bytes go out in writes of this size, fewer handed
  // over costing less than more held.
  static constexpr size_t kWriterBufferSize = 1 << 20;
  static constexpr size_t kWriterBuffers = 4;

  // Writes the buffered bytes to the file, or hands them to the writer, and
  // empties the buffer.
  void drain();
  // Writes `count` bytes at the file offset of the buffer, skipping the buffer.
  // REQUIRES: no writer.
  void writeThrough(const uint8_t* bytes, size_t count);
  // Stores `count` bytes at `offset` of the open file; false when that
  // fails. On the writer's thread while there is a writer.
  bool store(const uint8_t* bytes, size_t count, uint64_t offset);
  // Waits for the writer's writes, taking in whether one failed.
  void settle();
  // Reserves the blocks of a regular file from `from` on to at least `to`,
  // a step at a time: writes into reserved blocks cost the file system
  // less. close() gives back what lies past the end.
  void reserve(uint64_t from, uint64_t to);

  const Writing writing_;
  std::unique_ptr<uint8_t[]> ownBuffer_;
  uint8_t* buffer_;  // ownBuffer_, or the writer's buffer being filled
  uint8_t* next_;
  uint8_t* end_;
  uint64_t bufferOffset_ = 0;  // file offset of the buffer's first byte
  // Used by store(): the writer's while it has writes queued.
  uint64_t handleOffset_ = 0;  // the descriptor's own file offset
  uint64_t reservedEnd_ = 0;   // the file's blocks are reserved up to here
  bool reserveFailed_ = false;
  uint64_t storedEnd_ = 0;     // one past the last byte given to be stored
  platform::Handle handle_ = platform::kNoHandle;
  bool regular_ = false;       // a regular file, which can be extended and cut
  bool discarding_ = false;    // a sink, opened while a DiscardedOutputs lived
  bool failed_ = false;
  std::string name_;
  std::unique_ptr<BackgroundWriter> writer_;  // last: its thread stores through this object
};

#endif  // ORVANTE_SOURCE_OUTPUT_FILE_H_
