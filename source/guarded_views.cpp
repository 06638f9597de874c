#include "source/guarded_views.h"

#include <atomic>

namespace {

// A slot is free while its start is 0. Its other fields are written before
// its start is published and read after it.
struct Slot {
  std::atomic<uintptr_t> start{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<uint64_t> fileOffset{0};
  std::atomic<PageLedger*> ledger{nullptr};
  std::atomic<intptr_t> file{-1};
};

Slot slots[GuardedViews::kCapacity];

}  // namespace

bool GuardedViews::add(const View& view) {
  for (Slot& slot : slots) {
    if (slot.start.load(std::memory_order_relaxed) != 0) continue;
    slot.end.store(view.end, std::memory_order_relaxed);
    slot.fileOffset.store(view.fileOffset, std::memory_order_relaxed);
    slot.ledger.store(view.ledger, std::memory_order_relaxed);
    slot.file.store(view.file, std::memory_order_relaxed);
    slot.start.store(view.start, std::memory_order_release);
    return true;
  }
  return false;
}

void GuardedViews::remove(uintptr_t start) {
  for (Slot& slot : slots) {
    if (slot.start.load(std::memory_order_relaxed) == start) {
      slot.start.store(0, std::memory_order_release);
      return;
    }
  }
}

bool GuardedViews::find(uintptr_t address, View* found) {
  for (Slot& slot : slots) {
    const uintptr_t start = slot.start.load(std::memory_order_acquire);
    if (start == 0 || address < start) continue;
    const uintptr_t end = slot.end.load(std::memory_order_relaxed);
    if (address >= end) continue;
    found->start = start;
    found->end = end;
    found->fileOffset = slot.fileOffset.load(std::memory_order_relaxed);
    found->ledger = slot.ledger.load(std::memory_order_relaxed);
    found->file = slot.file.load(std::memory_order_relaxed);
    return true;
  }
  return false;
}
