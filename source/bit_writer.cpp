#include "source/bit_writer.h"

void BitWriter::writeBits(uint32_t n, uint32_t value) {
  accumulator_ |= value << (32 - pendingBits_ - n);
  pendingBits_ += n;
  while (pendingBits_ >= 8) {
    file_.put(static_cast<int>(accumulator_ >> 24));
    accumulator_ <<= 8;
    pendingBits_ -= 8;
  }
}

void BitWriter::flush() {
  if (pendingBits_ == 0) return;
  file_.put(static_cast<int>(accumulator_ >> 24));
  accumulator_ = 0;
  pendingBits_ = 0;
}
