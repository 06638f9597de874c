#ifndef ORVANTE_TESTS_SUPPORT_BYTE_BY_BYTE_SOURCE_H_
#define ORVANTE_TESTS_SUPPORT_BYTE_BY_BYTE_SOURCE_H_

#include <cstdint>

#include "source/byte_source.h"
#include "tests/support/temp_dir.h"

// A source that holds no byte in memory: it hands out no span, and is read
// one byte at a time through byteAt(). The bytes must outlive it.
class ByteByByteSource : public ByteSource {
 public:
  explicit ByteByByteSource(const Bytes& bytes) : bytes_(bytes) { setSize(static_cast<uint32_t>(bytes.size())); }
  int byteAt(uint32_t index) override { return index < bytes_.size() ? bytes_[index] : 0; }

 private:
  const Bytes& bytes_;
};

#endif  // ORVANTE_TESTS_SUPPORT_BYTE_BY_BYTE_SOURCE_H_
