#include "source/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

MappedFile::~MappedFile() { close(); }

void MappedFile::open(const char* name) {
  close();
  const int handle = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (handle < 0) return;
  struct stat info;
  if (::fstat(handle, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    const size_t length = static_cast<size_t>(info.st_size);
    void* view = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, handle, 0);
    if (view != MAP_FAILED) {
      view_ = static_cast<const uint8_t*>(view);
      viewLength_ = length;
    }
  }
  ::close(handle);
}

void MappedFile::close() {
  if (view_ != nullptr) ::munmap(const_cast<uint8_t*>(view_), viewLength_);
  view_ = nullptr;
  viewLength_ = 0;
}
