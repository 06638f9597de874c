#ifndef ORVANTE_SOURCE_BIT_WRITER_H_
#define ORVANTE_SOURCE_BIT_WRITER_H_

#include <cstdint>

#include "source/output_file.h"

// BitWriter writes bit fields, most significant bit first, to an output file,
// putting each byte as soon as it is complete. flush() puts the last partial
// byte padded with zero bits, so a header of b bits becomes b / 8 bytes,
// rounded up. The writer does not own the file, which must outlive it.
class BitWriter {
 public:
  explicit BitWriter(OutputFile& file) : file_(file) {}

  // REQUIRES: 1 <= n <= 25 and value < 2^n. Appends the n bits of value.
  void writeBits(uint32_t n, uint32_t value);
  // Puts the pending bits, padded with zeros to a whole byte; the writer is
  // then empty. Puts nothing when no bit is pending.
  void flush();

 private:
  OutputFile& file_;
  uint32_t accumulator_ = 0;  // pending bits, the oldest at bit 31
  uint32_t pendingBits_ = 0;
};

#endif  // ORVANTE_SOURCE_BIT_WRITER_H_
