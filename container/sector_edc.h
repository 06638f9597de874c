#ifndef ORVANTE_CONTAINER_SECTOR_EDC_H_
#define ORVANTE_CONTAINER_SECTOR_EDC_H_

#include <cstddef>
#include <cstdint>

// SectorEdc computes the error detection code of CD sectors (the CRC of
// cd_sector_format.h) over a run of bytes: sixteen bytes a step with
// carry-less multiplication where the processor has it, eight a step with
// tables elsewhere. Both give the same code.
class SectorEdc {
 public:
  // The code of the `length` bytes at `data`, continuing from `code` (0 to
  // start).
  static uint32_t of(const uint8_t* data, size_t length, uint32_t code = 0);
  // The same with tables only; for comparison.
  static uint32_t withTables(const uint8_t* data, size_t length, uint32_t code = 0);
};

#endif  // ORVANTE_CONTAINER_SECTOR_EDC_H_
