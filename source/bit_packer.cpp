#include "source/bit_packer.h"

#include <cassert>

void BitPacker::put(uint32_t n, uint32_t value) {
  assert(n <= 32 && (n == 32 || value >> n == 0));
  for (uint32_t i = n; i-- > 0;) {
    if (used_ == 0) out_->push_back(0);
    if ((value >> i) & 1) out_->back() = static_cast<uint8_t>(out_->back() | (0x80u >> used_));
    used_ = (used_ + 1) & 7;
  }
  bits_ += n;
}

void BitPacker::copy(const uint8_t* data, size_t length, size_t from, size_t to) {
  assert(from <= to);
  // Up to the reader's byte boundary a bit at a time, then a byte at a time.
  const auto bitAt = [&](size_t bit) -> uint32_t {
    const size_t byte = bit >> 3;
    return byte < length ? (data[byte] >> (7 - (bit & 7))) & 1 : 0;
  };
  for (; from < to && (from & 7) != 0; ++from) put(1, bitAt(from));
  for (; from + 8 <= to; from += 8) {
    const size_t byte = from >> 3;
    put(8, byte < length ? data[byte] : 0);
  }
  for (; from < to; ++from) put(1, bitAt(from));
}
