#ifndef ORVANTE_SOURCE_GUARDED_VIEWS_H_
#define ORVANTE_SOURCE_GUARDED_VIEWS_H_

#include <cstddef>
#include <cstdint>

#include "source/page_ledger.h"

// GuardedViews is the process's table of the mapped views whose unreadable
// pages read as zeros. The platform layer adds a view when it maps it and
// removes it before unmapping it; its fault handler looks the faulting
// address up here, puts zeros in place of what cannot be read and marks it
// in the view's ledger.
//
// What the handler can put zeros over differs. POSIX maps anonymous zeros
// over the one page that raised SIGBUS. Win32 cannot replace a part of a
// view: a view is unmapped whole or not at all, at addresses that are
// multiples of the allocation granularity (64 KiB). There a guarded view is
// made of one view per 64 KiB unit, side by side, and the handler of
// EXCEPTION_IN_PAGE_ERROR (which wine raises as a read access violation)
// unmaps the unit and commits memory of its own in its place, holding the
// bytes the file still has of it (read again through `file`) or zeros.
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
    intptr_t file;        // the file it maps, open while it is guarded (Win32); -1 when the handler needs none
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
