// The platform layer on POSIX systems (Linux first).

// Offsets past 2 GiB in a 32-bit process too.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/falloc.h>
#endif

#include <cassert>
#include <cerrno>
#include <cstring>

#include "source/guarded_views.h"
#include "source/platform.h"

namespace platform {

namespace {

void factsOf(const struct stat& info, FileFacts* facts) {
  facts->regular = S_ISREG(info.st_mode);
  facts->size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
  facts->identity.volume = static_cast<uint64_t>(info.st_dev);
  facts->identity.index = static_cast<uint64_t>(info.st_ino);
}

int descriptor(Handle file) { return static_cast<int>(file); }

size_t systemPageSize() {
  static const auto size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// Puts a unit of zeros over [at, at + length) of a view; false when the
// system refuses.
bool zeroOver(uintptr_t at, size_t length) {
  return ::mmap(reinterpret_cast<void*>(at), length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
         MAP_FAILED;
}

// A read of a mapped page that the kernel cannot fill (an I/O error, or a
// page past the file's end) raises SIGBUS at the faulting address. When a
// guarded view holds it, a page of zeros goes over that page, the page is
// marked, and the read is made again. Any other fault goes on to the
// handler that was there before, or ends the program as it would have.
struct sigaction previousAction;

void passOn(int signal, siginfo_t* info, void* context) {
  if ((previousAction.sa_flags & SA_SIGINFO) != 0) {
    if (previousAction.sa_sigaction != nullptr) {
      previousAction.sa_sigaction(signal, info, context);
      return;
    }
  } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(signal);
    return;
  }
  // The default action: the read is made again, faults again and ends the
  // program.
  struct sigaction fallback;
  std::memset(&fallback, 0, sizeof fallback);
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
}

// Set on a thread while warmPages() reads: a fault there ends the warming
// and leaves the page as it is.
thread_local sigjmp_buf* warmingJump = nullptr;

void onBusError(int signal, siginfo_t* info, void* context) {
  if (warmingJump != nullptr) siglongjmp(*warmingJump, 1);
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  GuardedViews::View view;
  if (GuardedViews::find(address, &view)) {
    const uintptr_t page = address & ~(uintptr_t{systemPageSize()} - 1);
    if (zeroOver(page, systemPageSize())) {
      view.ledger->markPage(view.fileOffset + (page - view.start));
      return;
    }
  }
  passOn(signal, info, context);
}

bool installFaultHandler() {
  static const bool installed = [] {
    systemPageSize();  // known before any fault
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, &previousAction) == 0;
  }();
  return installed;
}

}  // namespace

bool examine(const char* name, FileFacts* facts) {
  struct stat info;
  if (::stat(name, &info) != 0) return false;
  factsOf(info, facts);
  return true;
}

bool listFolder(const std::string& folder, std::vector<std::string>* names) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return false;
  while (const dirent* entry = ::readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names->emplace_back(entry->d_name);
  }
  ::closedir(listing);
  return true;
}

Handle openForReading(const char* name, FileFacts* facts) {
  const int file = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file < 0) return kNoHandle;
  struct stat info;
  if (::fstat(file, &info) != 0) {
    ::close(file);
    return kNoHandle;
  }
  factsOf(info, facts);
  return file;
}

size_t allocationGranularity() { return systemPageSize(); }

size_t zeroUnit() { return systemPageSize(); }

const uint8_t* mapView(Handle file, uint64_t offset, size_t length, PageLedger* ledger) {
  assert(offset % allocationGranularity() == 0 && length > 0);
  assert(ledger->pageSize() == zeroUnit() && offset + length <= ledger->fileLength());
  if (!installFaultHandler()) return nullptr;
  void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, descriptor(file), static_cast<off_t>(offset));
  if (mapped == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(mapped);
  if (!GuardedViews::add({start, start + length, offset, ledger, -1})) {
    ::munmap(mapped, length);
    return nullptr;
  }
  // Pages past the file's end now, and pages found unreadable before, read
  // as zeros from the start: no fault needed to learn it again.
  struct stat info;
  const uint64_t fileEnd = ::fstat(descriptor(file), &info) == 0 && info.st_size > 0 ? info.st_size : 0;
  const size_t page = systemPageSize();
  for (size_t at = 0; at < length; at += page) {
    const uint64_t fileOffset = offset + at;
    if (fileOffset >= fileEnd || ledger->marked(fileOffset)) {
      size_t run = page;
      while (at + run < length && (offset + at + run >= fileEnd || ledger->marked(offset + at + run))) run += page;
      if (zeroOver(start + at, run)) ledger->markRange(fileOffset, run);
      at += run - page;
    }
  }
  return static_cast<const uint8_t*>(mapped);
}

void unmapView(const uint8_t* view, size_t length) {
  GuardedViews::remove(reinterpret_cast<uintptr_t>(view));
  ::munmap(const_cast<uint8_t*>(view), length);
}

#if defined(MADV_POPULATE_READ)
namespace {

// Reads the first byte of each page from `start` on: apart, so that what it
// changes is not left to a jump out of a fault.
__attribute__((noinline)) void touchPages(uintptr_t start, uintptr_t end, uintptr_t page) {
  for (uintptr_t p = start; p < end; p += page) (void)*reinterpret_cast<const volatile uint8_t*>(p);
}

}  // namespace

bool warmsPages() { return true; }

bool warmPages(const uint8_t* at, size_t length) {
  const uintptr_t page = systemPageSize();
  const uintptr_t start = reinterpret_cast<uintptr_t>(at) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(at) + length;
  // The system fills the pages, or says which it cannot, without a fault;
  // only the first read of each page from this process maps it for good.
  if (length == 0 || ::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_READ) != 0) return false;
  // A file cut short since can still fault.
  sigjmp_buf jump;
  if (sigsetjmp(jump, 1) != 0) {
    warmingJump = nullptr;
    return false;
  }
  warmingJump = &jump;
  touchPages(start, end, page);
  warmingJump = nullptr;
  return true;
}
#else
bool warmsPages() { return false; }

bool warmPages(const uint8_t*, size_t) { return false; }
#endif

Handle createOutput(const char* name, bool* regular) {
  // Emptying a plain file's blocks makes ext4 write the file out when it is
  // closed, which costs about as much as writing it: a new file takes its
  // place instead.
  mode_t mode = 0666;
  struct stat existing;
  if (::lstat(name, &existing) == 0 && S_ISREG(existing.st_mode) && existing.st_nlink == 1 && ::unlink(name) == 0) {
    mode = existing.st_mode & 07777;
  }
  const int file = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, mode);
  if (file < 0) return kNoHandle;
  struct stat info;
  *regular = ::fstat(file, &info) == 0 && S_ISREG(info.st_mode);
  // Opened without waiting; written to with waiting.
  const int flags = ::fcntl(file, F_GETFL);
  if (flags < 0 || ::fcntl(file, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    ::close(file);
    ::unlink(name);
    return kNoHandle;
  }
  return file;
}

bool writeAll(Handle file, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(descriptor(file), bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool seekFile(Handle file, uint64_t offset) {
  return ::lseek(descriptor(file), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool setFileLength(Handle file, uint64_t length) {
  return ::ftruncate(descriptor(file), static_cast<off_t>(length)) == 0;
}

bool reserveBlocks(Handle file, uint64_t offset, uint64_t length) {
#if defined(__linux__)
  return ::fallocate(descriptor(file), 0, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0;
#else
  (void)file, (void)offset, (void)length;
  return false;
#endif
}

void releaseBlocks(Handle file, uint64_t offset, uint64_t length) {
#if defined(__linux__)
  ::fallocate(descriptor(file), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
              static_cast<off_t>(length));
#else
  (void)file, (void)offset, (void)length;
#endif
}

bool closeFile(Handle file) { return ::close(descriptor(file)) == 0; }

bool removeFile(const char* name) { return ::unlink(name) == 0; }

void ignoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return argv == nullptr ? std::vector<std::string>() : std::vector<std::string>(argv, argv + argc);
}

void showUtf8OnConsole() {}

}  // namespace platform
