#ifndef ORVANTE_SOURCE_GUARDED_VIEWS_H_
#define ORVANTE_SOURCE_GUARDED_VIEWS_H_

#include <cstddef>
#include <cstdint>

#include "source/page_ledger.h"

// GuardedViews is the process's table of the mapped views whose unreadable
// pages read as zeros. The platform layer adds a view when it maps it and
// removes it before unmapping it; its fault handler (SIGBUS on POSIX,
// EXCEPTION_IN_PAGE_ERROR on Win32) looks the faulting address up here,
// puts zeros in place of the page and marks it in the view's ledger.
//
// The table is written only by the thread that maps and unmaps, between its
// reads of the views; find() is safe in a signal or exception handler.
// Views are not owned; a view's ledger must outlive its entry.
class GuardedViews {
 public:
  struct View {
    uintptr_t start;      // the view's first byte
    uintptr_t end;        // one past its last byte
    uint64_t fileOffset;  // the offset in the file of its first byte
    PageLedger* ledger;   // where its unreadable pages are marked
  };

  // At most this many views are guarded at once.
  static constexpr size_t kCapacity = 4096;

  // Adds `view`; false when the table is full.
  static bool add(const View& view);
  // Removes the view that starts at `start`, when there is one.
  static void remove(uintptr_t start);
  // The view holding `address`; false when no view holds it.
  static bool find(uintptr_t address, View* found);
};

#endif  // ORVANTE_SOURCE_GUARDED_VIEWS_H_
