#include "source/bit_reader.h"

BitReader::BitReader(ByteSource& source) : source_(source) { refill(); }

void BitReader::refill() {
  bitsAvailable_ = uint64_t{source_.remaining()} * 8;
  window_ = source_.peekU32();
}

uint32_t BitReader::readBits(uint32_t n) {
  if (bitOffset_ + n > bitsAvailable_) overrun_ = true;
  const uint32_t value = (window_ << bitOffset_) >> (32 - n);
  skipBits(n);
  return value;
}

void BitReader::skipBits(uint32_t n) {
  const uint64_t offset = uint64_t{bitOffset_} + n;
  if (offset >= 8) {
    source_.skip(static_cast<uint32_t>(offset / 8));
    refill();
  }
  bitOffset_ = static_cast<uint32_t>(offset % 8);
}

void BitReader::alignToByte() {
  if (bitOffset_ != 0) {
    source_.skip(1);
    refill();
  }
  bitOffset_ = 0;
}
