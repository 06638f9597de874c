#ifndef ORVANTE_SOURCE_MEMORY_SOURCE_H_
#define ORVANTE_SOURCE_MEMORY_SOURCE_H_

#include <cstddef>
#include <cstdint>

#include "source/byte_source.h"

// MemorySource reads bytes held in memory: a whole run can be made over data
// that never was a file. It does not own the bytes, which must outlive it and
// stay unchanged. Sizes of 4 GiB or more are cut to the first 4 GiB - 1.
class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size);
  ~MemorySource() override;

  // The byte at `index`, or 0 past the end.
  int byteAt(uint32_t index) override;
  // All the bytes, as one span.
  Span spanAt(uint32_t index) override;
  // True: the bytes outlive the source.
  bool spansStay() override { return true; }

 private:
  const uint8_t* data_;
};

#endif  // ORVANTE_SOURCE_MEMORY_SOURCE_H_
