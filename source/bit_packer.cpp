#include "source/bit_packer.h"

#include <cassert>

void BitPacker::put(uint32_t n, uint32_t value) {
  assert(n <= 32 && (n == 32 || value >> n == 0));
  bits_ += n;
  // As many bits at a time as the last byte has room for.
  while (n > 0) {
    if (used_ == 0) out_->push_back(0);
    const uint32_t room = 8 - used_;
    const uint32_t take = n < room ? n : room;
    const uint32_t chunk = (value >> (n - take)) & ((1u << take) - 1);
    out_->back() = static_cast<uint8_t>(out_->back() | (chunk << (room - take)));
    used_ = (used_ + take) & 7;
    n -= take;
  }
}

void BitPacker::copy(const uint8_t* data, size_t length, size_t from, size_t to) {
  assert(from <= to);
  // The 32 bits from bit `at` on, those past the data zero.
  const auto bitsAt = [data, length](size_t at) -> uint32_t {
    const size_t byte = at >> 3;
    uint64_t window = 0;  // the five bytes that hold them
    for (size_t k = byte; k < byte + 5; ++k) window = window << 8 | (k < length ? data[k] : 0);
    return static_cast<uint32_t>(window >> (8 - (at & 7)));
  };
  for (; to - from >= 32; from += 32) put(32, bitsAt(from));
  if (from < to) put(static_cast<uint32_t>(to - from), bitsAt(from) >> (32 - (to - from)));
}
