#include "source/output_file.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "source/discarded_outputs.h"
#include "source/platform.h"

OutputFile::OutputFile(Writing writing)
    : writing_(writing),
      ownBuffer_(new uint8_t[kBufferSize]),
      buffer_(ownBuffer_.get()),
      next_(buffer_),
      end_(buffer_ + kBufferSize) {}

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
  next_ = buffer_;
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
  const bool ownThread = writing_ == Writing::kOnAThreadOfTheirOwn ||
                         (writing_ == Writing::kWhereWorthwhile && BackgroundWriter::worthwhile());
  if (regular_ && ownThread) {
    writer_ = std::make_unique<BackgroundWriter>(
        [this](const uint8_t* bytes, size_t count, uint64_t offset) { return store(bytes, count, offset); },
        kWriterBufferSize, kWriterBuffers);
    buffer_ = next_ = writer_->take();
    end_ = buffer_ + writer_->bufferSize();
  }
  return true;
}

void OutputFile::writeThrough(const uint8_t* bytes, size_t count) {
  assert(writer_ == nullptr);
  storedEnd_ = std::max(storedEnd_, bufferOffset_ + count);
  if (discarding_) return;
  if (failed_ || handle_ == platform::kNoHandle || !store(bytes, count, bufferOffset_)) failed_ = true;
}

bool OutputFile::store(const uint8_t* bytes, size_t count, uint64_t offset) {
  if (handleOffset_ != offset) {
    if (!platform::seekFile(handle_, offset)) return false;
    handleOffset_ = offset;
  }
  reserve(offset, offset + count);
  if (!platform::writeAll(handle_, bytes, count)) return false;
  handleOffset_ += count;
  return true;
}

void OutputFile::settle() {
  if (writer_ != nullptr && !writer_->wait()) failed_ = true;
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
  const size_t length = static_cast<size_t>(next_ - buffer_);
  if (length > 0 && writer_ != nullptr) {
    storedEnd_ = std::max(storedEnd_, bufferOffset_ + length);
    writer_->hand(buffer_, length, bufferOffset_);
    buffer_ = writer_->take();
    end_ = buffer_ + writer_->bufferSize();
  } else if (length > 0) {
    writeThrough(buffer_, length);
  }
  next_ = buffer_;
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
  if (writer_ != nullptr) {
    // Through the writer's buffers, which the bytes given need not outlive.
    for (;;) {
      const size_t chunk = std::min(count, static_cast<size_t>(end_ - next_));
      std::memcpy(next_, bytes, chunk);
      next_ += chunk;
      bytes += chunk;
      count -= chunk;
      if (count == 0) return;
      drain();
    }
  }
  writeThrough(bytes, count);
  bufferOffset_ += count;
}

void OutputFile::putZeros(uint64_t count) {
  // Zeros that fall on bytes already stored must overwrite them; beyond those
  // a regular file only needs its position moved, but for a short run that
  // costs more than the zeros: the bytes before go out in a write of their own.
  const uint64_t position = tell();
  const uint64_t overwrite = position < storedEnd_ ? std::min(count, storedEnd_ - position) : 0;
  const uint64_t stored = regular_ && count >= kSkippedZeros ? overwrite : count;
  for (uint64_t left = stored; left > 0 && !failed();) {
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
  const uint64_t skipped = count - stored;
  if (!discarding_ && skipped >= kReleasedZeros) {
    settle();  // the blocks reserved are known once the writes are made
    const uint64_t skipFrom = bufferOffset_;
    const uint64_t skipTo = std::min(bufferOffset_ + skipped, reservedEnd_);
    if (skipFrom + kReleasedZeros <= skipTo) platform::releaseBlocks(handle_, skipFrom, skipTo - skipFrom);
  }
  bufferOffset_ += skipped;
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
  if (writer_ != nullptr) {
    settle();
    writer_.reset();
    buffer_ = next_ = ownBuffer_.get();
    end_ = buffer_ + kBufferSize;
  }
  // The file ends at the current position: nothing stays beyond it from
  // before a seek back, and zeros skipped at the end are filled in. Devices
  // such as /dev/null have no length to set.
  if (!failed_ && regular_ && !platform::setFileLength(handle_, tell())) failed_ = true;
  if (!platform::closeFile(handle_)) failed_ = true;
  handle_ = platform::kNoHandle;
  if (failed_) platform::removeFile(name_.c_str());
  return !failed_;
}
