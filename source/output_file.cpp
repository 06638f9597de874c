#include "source/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

OutputFile::OutputFile() : buffer_(new uint8_t[kBufferSize]), next_(buffer_.get()), end_(buffer_.get() + kBufferSize) {}

OutputFile::~OutputFile() { close(); }

bool OutputFile::open(const std::string& name) {
  close();
  name_ = name;
  failed_ = false;
  bufferOffset_ = 0;
  next_ = buffer_.get();
  handle_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (handle_ < 0) failed_ = true;
  return !failed_;
}

void OutputFile::drain() {
  const uint8_t* data = buffer_.get();
  size_t length = static_cast<size_t>(next_ - data);
  bufferOffset_ += length;
  next_ = buffer_.get();
  if (failed_ || handle_ < 0) {
    failed_ = true;
    return;
  }
  while (length > 0) {
    const ssize_t written = ::write(handle_, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      failed_ = true;
      return;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
}

void OutputFile::seek(uint64_t offset) {
  drain();
  if (failed_) return;
  if (::lseek(handle_, static_cast<off_t>(offset), SEEK_SET) < 0) failed_ = true;
  bufferOffset_ = offset;
}

bool OutputFile::close() {
  if (handle_ < 0) return !failed_;
  drain();
  struct stat info;
  // Only a regular file has a length to cut; a device such as /dev/null has none.
  if (!failed_ && ::fstat(handle_, &info) == 0 && S_ISREG(info.st_mode) &&
      ::ftruncate(handle_, static_cast<off_t>(tell())) != 0) {
    failed_ = true;
  }
  if (::close(handle_) != 0) failed_ = true;
  handle_ = -1;
  if (failed_) ::unlink(name_.c_str());
  return !failed_;
}
