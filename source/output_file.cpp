#include "source/output_file.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
  // A plain file of that name (no link to it, nor it a link) is replaced by
  // a new one with its permissions rather than emptied in place: emptying a
  // file's blocks makes ext4 write the file out when it is closed, which
  // costs about as much as writing it. Anything else is written through.
  mode_t mode = 0666;
  struct stat existing;
  if (::lstat(name.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) && existing.st_nlink == 1 &&
      ::unlink(name.c_str()) == 0) {
    mode = existing.st_mode & 07777;
  }
  handle_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, mode);
  if (handle_ < 0) {
    failed_ = true;
    return false;
  }
  struct stat info;
  regular_ = ::fstat(handle_, &info) == 0 && S_ISREG(info.st_mode);
  const int flags = ::fcntl(handle_, F_GETFL);
  if (flags < 0 || ::fcntl(handle_, F_SETFL, flags & ~O_NONBLOCK) < 0) failed_ = true;
  return !failed_;
}

void OutputFile::writeThrough(const uint8_t* bytes, size_t count) {
  if (failed_ || handle_ < 0) {
    failed_ = true;
    return;
  }
  if (handleOffset_ != bufferOffset_) {
    if (::lseek(handle_, static_cast<off_t>(bufferOffset_), SEEK_SET) < 0) {
      failed_ = true;
      return;
    }
    handleOffset_ = bufferOffset_;
  }
  reserve(bufferOffset_, bufferOffset_ + count);
  while (count > 0) {
    const ssize_t written = ::write(handle_, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      failed_ = true;
      return;
    }
    bytes += written;
    count -= static_cast<size_t>(written);
    handleOffset_ += static_cast<uint64_t>(written);
  }
  storedEnd_ = std::max(storedEnd_, handleOffset_);
}

void OutputFile::reserve(uint64_t from, uint64_t to) {
  if (!regular_ || to <= reservedEnd_ || reserveFailed_) return;
  // From the write on: a stretch skipped by putZeros() stays a hole.
  const uint64_t start = std::max(from, reservedEnd_);
  const uint64_t end = (to / kReserveStep + 1) * kReserveStep;
  if (::fallocate(handle_, 0, static_cast<off_t>(start), static_cast<off_t>(end - start)) != 0) {
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
  if (skipFrom + kReserveStep / 64 <= skipTo) {
    ::fallocate(handle_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(skipFrom),
                static_cast<off_t>(skipTo - skipFrom));
  }
  bufferOffset_ += count - stored;
}

void OutputFile::seek(uint64_t offset) {
  drain();
  bufferOffset_ = offset;
  // A stream that cannot seek cannot take back what it wrote.
  if (!regular_ && !failed_ && ::lseek(handle_, static_cast<off_t>(offset), SEEK_SET) < 0) failed_ = true;
  if (!regular_) handleOffset_ = offset;
}

bool OutputFile::close() {
  if (handle_ < 0) return !failed_;
  drain();
  // The file ends at the current position: nothing stays beyond it from
  // before a seek back, and zeros skipped at the end are filled in. Devices
  // such as /dev/null have no length to set.
  if (!failed_ && regular_ && ::ftruncate(handle_, static_cast<off_t>(tell())) != 0) failed_ = true;
  if (::close(handle_) != 0) failed_ = true;
  handle_ = -1;
  if (failed_) ::unlink(name_.c_str());
  return !failed_;
}
