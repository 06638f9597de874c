#include "source/page_ledger.h"

#include <cassert>

PageLedger::PageLedger(uint64_t fileLength, size_t pageSize, uint64_t* total)
    : fileLength_(fileLength),
      pageSize_(pageSize),
      total_(total),
      marks_(new uint8_t[static_cast<size_t>((fileLength / pageSize + 1 + 7) / 8)]()) {
  assert(pageSize != 0 && (pageSize & (pageSize - 1)) == 0);
}

PageLedger::~PageLedger() = default;

void PageLedger::markPage(uint64_t offset) {
  if (offset >= fileLength_) return;
  const uint64_t page = offset / pageSize_;
  uint8_t& byte = marks_[static_cast<size_t>(page / 8)];
  const auto bit = static_cast<uint8_t>(1u << (page % 8));
  if ((byte & bit) != 0) return;
  byte = static_cast<uint8_t>(byte | bit);
  const uint64_t start = page * pageSize_;
  const uint64_t end = start + pageSize_ < fileLength_ ? start + pageSize_ : fileLength_;
  *total_ += end - start;
}

void PageLedger::markRange(uint64_t offset, uint64_t length) {
  const uint64_t end = offset + length < fileLength_ ? offset + length : fileLength_;
  for (uint64_t at = offset / pageSize_ * pageSize_; at < end; at += pageSize_) markPage(at < offset ? offset : at);
}

bool PageLedger::marked(uint64_t offset) const {
  if (offset >= fileLength_) return false;
  const uint64_t page = offset / pageSize_;
  return (marks_[static_cast<size_t>(page / 8)] & (1u << (page % 8))) != 0;
}
