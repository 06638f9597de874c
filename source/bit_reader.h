#ifndef ORVANTE_SOURCE_BIT_READER_H_
#define ORVANTE_SOURCE_BIT_READER_H_

#include <cstdint>

#include "source/byte_source.h"

// BitReader reads bit fields, most significant bit first, from a ByteSource,
// starting at the first bit of the byte at the source's cursor. The cursor
// always stands on the byte that holds the next bit; after alignToByte() it
// is on the first byte of which no bit was consumed, so the caller can go on
// with the source itself.
//
// The reader does not own its source, and nobody else may move the source's
// cursor while the reader is in use. Bits past the end read as 0 and set
// overrun(), which then stays set.
class BitReader {
 public:
  explicit BitReader(ByteSource& source);

  // REQUIRES: 1 <= n <= 25. The next n bits as a number, the first bit most
  // significant.
  uint32_t readBits(uint32_t n);
  // Moves on by n bits, any number; never sets overrun().
  void skipBits(uint32_t n);
  // Moves on to the next byte boundary, unless already on one.
  void alignToByte();

  // True once a read asked for bits past the end of the source.
  bool overrun() const { return overrun_; }

 private:
  // Takes the four bytes at the cursor and the number of bits left.
  void refill();

  ByteSource& source_;
  uint32_t bitOffset_ = 0;      // bits of the byte at the cursor already consumed
  bool overrun_ = false;
  uint64_t bitsAvailable_ = 0;  // bits from the cursor's byte to the end
  uint32_t window_ = 0;         // the four bytes at the cursor, big-endian
};

#endif  // ORVANTE_SOURCE_BIT_READER_H_
