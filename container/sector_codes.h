#ifndef ORVANTE_CONTAINER_SECTOR_CODES_H_
#define ORVANTE_CONTAINER_SECTOR_CODES_H_

#include <cstdint>
#include <vector>

#include "source/byte_source.h"

// SectorCodes works out the error detection codes of many sectors of an
// image at once: for each, SectorEdc::of() over its subheader and payload,
// the code its trailer should hold. Checking every sector's code is most of
// the cost of mending an image, and the codes of different sectors do not
// depend on each other: where the machine has a processor to spare, half of
// each span of the image is worked out on a thread of its own while the
// caller's thread works out the other half. What the mend checks the code
// and the sector's place by, the code its trailer holds and its address,
// is read in the same pass, while the sector's bytes are at hand.
//
// The image is read on the caller's thread only. The other thread reads
// nothing but the bytes of a span the caller fetched, and the caller reads
// no source until that thread is done with them, so no span ends under it
// (see ByteSource). The codes come out the same either way.
class SectorCodes {
 public:
  // Where the work is done: on two threads where the machine has a
  // processor to spare, or always one way (for the tests).
  enum class Work { kWhereWorthwhile, kOnThisThread, kOnTwoThreads };

  // What one sector holds for its checking.
  struct Sector {
    uint32_t computed = 0;  // the code its subheader and payload give
    uint32_t stored = 0;    // the code its trailer holds (first byte lowest)
    uint32_t address = 0;   // its address's three bytes (first byte highest)
  };

  // Each sector at `sectors`, offsets of `image` in increasing order; all
  // 0 for a sector `image` does not hold whole. Moves the cursor.
  // REQUIRES: `sectors` increasing.
  static std::vector<Sector> of(ByteSource& image, const std::vector<uint32_t>& sectors,
                                Work work = Work::kWhereWorthwhile);

  // Whether the machine has a processor to spare for the second thread.
  static bool worthwhile();

 private:
  // The `count` sectors at `sectors`, into `found`: their bytes lie in
  // memory from `base` on, at their offsets less `baseOffset`.
  static void fromMemory(const uint8_t* base, uint32_t baseOffset, const uint32_t* sectors, Sector* found,
                         size_t count);
  // The sector at `sector`, read through the image's cursor.
  static Sector fromImage(ByteSource& image, uint32_t sector);
};

#endif  // ORVANTE_CONTAINER_SECTOR_CODES_H_
