#include "source/byte_source.h"

ByteSource::~ByteSource() = default;

void ByteSource::seek(uint32_t p) { position_ = p > size_ ? size_ : p; }

void ByteSource::skip(uint32_t n) {
  // Counted in 64 bits so that a large n cannot wrap past the end.
  const uint64_t target = uint64_t{position_} + n;
  position_ = target > size_ ? size_ : static_cast<uint32_t>(target);
}

void ByteSource::skipTo(int b) {
  const int wanted = b & 0xFF;
  while (position_ < size_ && byteAt(position_) != wanted) ++position_;
}

int ByteSource::peekU8() { return byteAt(position_); }

uint16_t ByteSource::peekU16() {
  const uint32_t b0 = byteAt(position_);
  const uint32_t b1 = byteAt(position_ + 1);
  return static_cast<uint16_t>(b0 * 256 + b1);
}

uint32_t ByteSource::peekU32() {
  const uint32_t b0 = byteAt(position_);
  const uint32_t b1 = byteAt(position_ + 1);
  const uint32_t b2 = byteAt(position_ + 2);
  const uint32_t b3 = byteAt(position_ + 3);
  return (b0 << 24) + (b1 << 16) + (b2 << 8) + b3;
}

int ByteSource::readU8() {
  const int value = peekU8();
  position_ += 1;
  return value;
}

uint16_t ByteSource::readU16() {
  const uint16_t value = peekU16();
  position_ += 2;
  return value;
}
