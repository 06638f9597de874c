#include "source/memory_source.h"

MemorySource::MemorySource(const uint8_t* data, size_t size) : data_(data) {
  setSize(size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size));
}

MemorySource::~MemorySource() = default;

int MemorySource::byteAt(uint32_t index) { return index < size() ? data_[index] : 0; }

ByteSource::Span MemorySource::spanAt(uint32_t index) {
  Span span;
  if (index >= size()) return span;
  span.data = data_;
  span.length = size();
  return span;
}
