#include "source/mapped_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

// A read of a mapped page that the kernel cannot fill (an I/O error, or a
// page past the file's end) raises SIGBUS at the faulting address. The
// handler looks the address up among the views registered here, maps a
// page of zeros over the faulting page and returns: the read is made again
// and finds zeros. A fault in no registered view goes on to the handler
// that was there before, or ends the program as it would have.
//
// The table is written only by the thread that maps and unmaps, between
// reads of the views; the handler, which runs on a read, sees it whole.
struct GuardedView {
  std::atomic<uintptr_t> start{0};  // 0: the slot is free
  std::atomic<uintptr_t> end{0};
  std::atomic<uint64_t*> zeroed{nullptr};
};

constexpr size_t kGuardedViews = 4096;
GuardedView guardedViews[kGuardedViews];
struct sigaction previousAction;
uintptr_t pageSize = 0;

void passOn(int signal, siginfo_t* info, void* context) {
  if ((previousAction.sa_flags & SA_SIGINFO) != 0 && previousAction.sa_sigaction != nullptr) {
    previousAction.sa_sigaction(signal, info, context);
    return;
  }
  if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(signal);
    return;
  }
  // The default action: the faulting read is made again and ends the program.
  struct sigaction fallback;
  std::memset(&fallback, 0, sizeof fallback);
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
}

void onBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (GuardedView& view : guardedViews) {
    const uintptr_t start = view.start.load(std::memory_order_acquire);
    if (start == 0 || address < start || address >= view.end.load(std::memory_order_relaxed)) continue;
    const uintptr_t page = address & ~(pageSize - 1);
    void* zeros = ::mmap(reinterpret_cast<void*>(page), pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                         -1, 0);
    if (zeros == MAP_FAILED) break;
    const uintptr_t pageEnd = page + pageSize < view.end.load(std::memory_order_relaxed)
                                  ? page + pageSize
                                  : view.end.load(std::memory_order_relaxed);
    *view.zeroed.load(std::memory_order_relaxed) += pageEnd - page;
    return;
  }
  passOn(signal, info, context);
}

// Puts the view in the table, installing the handler first when needed;
// false when the table is full.
bool guard(const uint8_t* view, size_t length, uint64_t* zeroed) {
  static const bool installed = [] {
    pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, &previousAction) == 0;
  }();
  if (!installed) return false;
  for (GuardedView& slot : guardedViews) {
    if (slot.start.load(std::memory_order_relaxed) != 0) continue;
    slot.end.store(reinterpret_cast<uintptr_t>(view) + length, std::memory_order_relaxed);
    slot.zeroed.store(zeroed, std::memory_order_relaxed);
    slot.start.store(reinterpret_cast<uintptr_t>(view), std::memory_order_release);
    return true;
  }
  return false;
}

void unguard(const uint8_t* view) {
  for (GuardedView& slot : guardedViews) {
    if (slot.start.load(std::memory_order_relaxed) == reinterpret_cast<uintptr_t>(view)) {
      slot.start.store(0, std::memory_order_release);
      return;
    }
  }
}

}  // namespace

MappedFile::~MappedFile() { close(); }

void MappedFile::open(const char* name, uint64_t length) {
  close();
  zeroedBytes_ = 0;
  const int handle = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (handle < 0) return;
  struct stat info;
  if (::fstat(handle, &info) == 0 && S_ISREG(info.st_mode) && (info.st_size > 0 || length > 0)) {
    const uint64_t wanted = length > 0 ? length : static_cast<uint64_t>(info.st_size);
    if (wanted <= SIZE_MAX) {
      const auto viewLength = static_cast<size_t>(wanted);
      void* view = ::mmap(nullptr, viewLength, PROT_READ, MAP_SHARED, handle, 0);
      if (view != MAP_FAILED) {
        if (guard(static_cast<const uint8_t*>(view), viewLength, &zeroedBytes_)) {
          view_ = static_cast<const uint8_t*>(view);
          viewLength_ = viewLength;
        } else {
          ::munmap(view, viewLength);
        }
      }
    }
  }
  ::close(handle);
}

void MappedFile::close() {
  if (view_ != nullptr) {
    unguard(view_);
    ::munmap(const_cast<uint8_t*>(view_), viewLength_);
  }
  view_ = nullptr;
  viewLength_ = 0;
}
