#include "source/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

MappedFile::~MappedFile() { close(); }

void MappedFile::open(const char* name) {
  close();
  fileHandle_ = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fileHandle_ < 0) return;
  struct stat info;
  if (::fstat(fileHandle_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return;
  const size_t length = static_cast<size_t>(info.st_size);
  void* view = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fileHandle_, 0);
  if (view == MAP_FAILED) return;
  view_ = static_cast<const uint8_t*>(view);
  viewLength_ = length;
}

void MappedFile::close() {
  if (view_ != nullptr) ::munmap(const_cast<uint8_t*>(view_), viewLength_);
  if (fileHandle_ >= 0) ::close(fileHandle_);
  fileHandle_ = -1;
  view_ = nullptr;
  viewLength_ = 0;
}
