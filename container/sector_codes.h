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
// caller's thread works out the other half.
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

  // The code of each sector at `sectors`, offsets of `image` in increasing
  // order; 0 for a sector `image` does not hold whole. Moves the cursor.
  // REQUIRES: `sectors` increasing.
  static std::vector<uint32_t> of(ByteSource& image, const std::vector<uint32_t>& sectors,
                                  Work work = Work::kWhereWorthwhile);

  // Whether the machine has a processor to spare for the second thread.
  static bool worthwhile();

 private:
  // The codes of the `count` sectors at `sectors`, into `codes`: their
  // bytes lie in memory from `base` on, at their offsets less `baseOffset`.
  static void fromMemory(const uint8_t* base, uint32_t baseOffset, const uint32_t* sectors, uint32_t* codes,
                         size_t count);
};

#endif  // ORVANTE_CONTAINER_SECTOR_CODES_H_
