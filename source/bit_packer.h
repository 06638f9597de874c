#ifndef ORVANTE_SOURCE_BIT_PACKER_H_
#define ORVANTE_SOURCE_BIT_PACKER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

// BitPacker appends bit fields, most significant bit first, to the end of a
// byte vector: the bytes of a slice being made, say. Bits already in the
// vector are kept; the first field starts on a new byte. pad() ends the last
// byte with zero bits. The packer does not own the vector, which must
// outlive it and is not to be changed by others while the packer is in use.
class BitPacker {
 public:
  explicit BitPacker(std::vector<uint8_t>* out) : out_(out) {}

  // REQUIRES: n <= 32, and value < 2^n. Appends the n low bits of value.
  void put(uint32_t n, uint32_t value);
  // Appends bits [from, to) of `data` (bit 0 the first byte's most
  // significant); bits past `length` bytes read as zero.
  // REQUIRES: from <= to.
  void copy(const uint8_t* data, size_t length, size_t from, size_t to);
  // Zero bits up to the byte boundary; none when on one.
  void pad() { used_ = 0; }
  // Bits appended since the packer was made, padding included.
  size_t bits() const { return bits_; }

 private:
  std::vector<uint8_t>* const out_;
  uint32_t used_ = 0;  // bits of the last byte in use; 0 when it is full
  size_t bits_ = 0;
};

#endif  // ORVANTE_SOURCE_BIT_PACKER_H_
