#include "source/output_file.h"

#include <algorithm>
#include <cstring>

#include "source/discarded_outputs.h"
#include "source/platform.h"

OutputFile::OutputFile() : buffer_(new uint8_t[kBufferSize]), next_(buffer_.get()), end_(buffer_.get() + kBufferSize) {}

OutputFile::~OutputFile() { close(); }

bool OutputFile::open(const std::string& name) {
  close();
  name_ = name;
  failed_ = false;
  bufferOffset_ = 0;
  handleOffset_ = 0;
  storedEnd_ = 0;
  reservedEnd_ = 0;
  reserveFailed_ = false;
  next_ = buffer_.get();
  discarding_ = DiscardedOutputs::active();
  if (discarding_) {
    // As a regular file: zeros past the end are a move of the position, and
    // a seek back costs nothing.
    regular_ = true;
    return true;
  }
  handle_ = platform::createOutput(name.c_str(), &regular_);
  if (handle_ == platform::kNoHandle) {
    failed_ = true;
    return false;
  }
  return true;
}

void OutputFile::writeThrough(const uint8_t* bytes, size_t count) {
  if (discarding_) {
    storedEnd_ = std::max(storedEnd_, bufferOffset_ + count);
    return;
  }
  if (failed_ || handle_ == platform::kNoHandle) {
    failed_ = true;
    return;
  }
  if (handleOffset_ != bufferOffset_) {
    if (!platform::seekFile(handle_, bufferOffset_)) {
      failed_ = true;
      return;
    }
    handleOffset_ = bufferOffset_;
  }
  reserve(bufferOffset_, bufferOffset_ + count);
  if (!platform::writeAll(handle_, bytes, count)) {
    failed_ = true;
    return;
  }
  handleOffset_ += count;
  storedEnd_ = std::max(storedEnd_, handleOffset_);
}

void OutputFile::reserve(uint64_t from, uint64_t to) {
  if (!regular_ || to <= reservedEnd_ || reserveFailed_) return;
  // From the write on: a stretch skipped by putZeros() stays a hole.
  const uint64_t start = std::max(from, reservedEnd_);
  const uint64_t end = (to / kReserveStep + 1) * kReserveStep;
  if (!platform::reserveBlocks(handle_, start, end - start)) {
    reserveFailed_ = true;  // no room to spare, or no such call here: written as it comes
    return;
  }
  reservedEnd_ = end;
}

void OutputFile::drain() {
  const size_t length = static_cast<size_t>(next_ - buffer_.get());
  next_ = buffer_.get();
  if (length > 0) writeThrough(buffer_.get(), length);
  bufferOffset_ += length;
}

void OutputFile::write(const uint8_t* bytes, size_t count) {
  if (count <= static_cast<size_t>(end_ - next_)) {
    std::memcpy(next_, bytes, count);
    next_ += count;
    return;
  }
  drain();
  if (count < kBufferSize) {
    std::memcpy(next_, bytes, count);
    next_ += count;
    return;
  }
  writeThrough(bytes, count);
  bufferOffset_ += count;
}

void OutputFile::putZeros(uint64_t count) {
  // Zeros that fall on bytes already stored must overwrite them; beyond those
  // a regular file only needs its position moved.
  const uint64_t position = tell();
  const uint64_t overwrite = position < storedEnd_ ? std::min(count, storedEnd_ - position) : 0;
  const uint64_t stored = regular_ ? overwrite : count;
  for (uint64_t left = stored; left > 0 && !failed_;) {
    if (next_ == end_) drain();
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(end_ - next_)));
    std::memset(next_, 0, chunk);
    next_ += chunk;
    left -= chunk;
  }
  if (stored == count) return;
  drain();
  // A long run over blocks reserved ahead takes them back, so that it costs
  // no disk space; a short one leaves them, as zeros.
  const uint64_t skipFrom = bufferOffset_;
  const uint64_t skipTo = std::min(bufferOffset_ + (count - stored), reservedEnd_);
  if (!discarding_ && skipFrom + kReserveStep / 64 <= skipTo) {
    platform::releaseBlocks(handle_, skipFrom, skipTo - skipFrom);
  }
  bufferOffset_ += count - stored;
}

void OutputFile::seek(uint64_t offset) {
  drain();
  bufferOffset_ = offset;
  // A stream that cannot seek cannot take back what it wrote.
  if (!regular_ && !failed_ && !platform::seekFile(handle_, offset)) failed_ = true;
  if (!regular_) handleOffset_ = offset;
}

bool OutputFile::close() {
  if (discarding_) {
    drain();
    discarding_ = false;
    return true;
  }
  if (handle_ == platform::kNoHandle) return !failed_;
  drain();
  // The file ends at the current position: nothing stays beyond it from
  // before a seek back, and zeros skipped at the end are filled in. Devices
  // such as /dev/null have no length to set.
  if (!failed_ && regular_ && !platform::setFileLength(handle_, tell())) failed_ = true;
  if (!platform::closeFile(handle_)) failed_ = true;
  handle_ = platform::kNoHandle;
  if (failed_) platform::removeFile(name_.c_str());
  return !failed_;
}
