#ifndef ORVANTE_SOURCE_PAGE_LEDGER_H_
#define ORVANTE_SOURCE_PAGE_LEDGER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

// PageLedger keeps, for one file, the pages that read as zeros because they
// could not be read, so that a page found unreadable once reads as zeros in
// every later view of it too, and adds the bytes of each such page, once, to
// a total that the files of one source share. A page is `pageSize` bytes of
// the file from a multiple of it; only the bytes below `fileLength` (the
// file's length when it was first seen) count.
//
// The ledger owns its marks. The total belongs to the caller and must
// outlive the ledger. markPage() is safe in a signal or exception handler:
// it neither allocates nor locks.
class PageLedger {
 public:
  // REQUIRES: pageSize is a power of two.
  PageLedger(uint64_t fileLength, size_t pageSize, uint64_t* total);
  ~PageLedger();

  PageLedger(const PageLedger&) = delete;
  PageLedger& operator=(const PageLedger&) = delete;

  // Marks the page holding byte `offset` of the file; the first time, adds
  // its bytes below fileLength() to the total. Offsets at or past
  // fileLength() are ignored.
  void markPage(uint64_t offset);
  // Marks every page holding a byte of [offset, offset + length).
  void markRange(uint64_t offset, uint64_t length);
  // Whether the page holding byte `offset` is marked.
  bool marked(uint64_t offset) const;

  uint64_t fileLength() const { return fileLength_; }
  size_t pageSize() const { return pageSize_; }

 private:
  const uint64_t fileLength_;
  const size_t pageSize_;
  uint64_t* const total_;
  const std::unique_ptr<uint8_t[]> marks_;  // a bit per page
};

#endif  // ORVANTE_SOURCE_PAGE_LEDGER_H_
