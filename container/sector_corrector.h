#ifndef ORVANTE_CONTAINER_SECTOR_CORRECTOR_H_
#define ORVANTE_CONTAINER_SECTOR_CORRECTOR_H_

#include <cstdint>

// SectorCorrector finds the bits that are wrong in a sector whose error
// detection code fails, when they are one or two: the code is linear, so
// the code computed over the sector as read, XORed with the code stored in
// it (the syndrome), is the code of the error pattern alone, and every
// pattern of one or two wrong bits of the subheader, payload or stored code
// gives a syndrome that no other such pattern gives, or is told apart as
// ambiguous here and left alone.
//
// The table of one-bit syndromes is built once per process, on first use,
// and shared; the class is stateless otherwise and safe to call from any
// thread.
class SectorCorrector {
 public:
  // A wrong bit: `byte` counts from the start of what the code covers (the
  // subheader), kEdcCoverage up being the stored code's four bytes; `mask`
  // has the one bit that is wrong in that byte.
  struct Bit {
    uint32_t byte;
    uint8_t mask;
  };

  // REQUIRES: syndrome != 0 and bits != nullptr. The wrong bits that
  // explain `syndrome` (computed code XOR stored code) for a sector whose
  // code covers kEdcCoverage bytes: 1 or 2 of them in bits[0..], or 0 when
  // no pattern of one or two bits does, or more than one does.
  static int locate(uint32_t syndrome, Bit* bits);

  // The syndrome that bit `mask` of covered byte `byte` gives when wrong
  // (byte below kEdcCoverage), or a bit of the stored code (at or above).
  static uint32_t syndromeOf(uint32_t byte, uint8_t mask);
};

#endif  // ORVANTE_CONTAINER_SECTOR_CORRECTOR_H_
