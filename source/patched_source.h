#ifndef ORVANTE_SOURCE_PATCHED_SOURCE_H_
#define ORVANTE_SOURCE_PATCHED_SOURCE_H_

#include <cstdint>
#include <vector>

#include "source/byte_source.h"

// PatchedSource presents another ByteSource with a few bytes put right:
// each patch flips the bits of its mask in one byte. The underlying source
// is never written; the patched bytes are read from it once, at
// construction, and held here.
//
// The patched source owns neither the underlying source nor the patches'
// list; the underlying source must outlive it. It has its own cursor, and
// calls only the underlying source's byteAt() and spanAt(). Spans it hands
// out are the underlying source's, cut short of each patched byte, and a
// one-byte span of its own for each patched byte.
class PatchedSource : public ByteSource {
 public:
  struct Patch {
    uint32_t offset;  // in the underlying source
    uint8_t mask;     // bits to flip
  };

  // REQUIRES: `patches` in increasing offsets, each below source.size() and
  // at most one per offset.
  PatchedSource(ByteSource& source, const std::vector<Patch>& patches);

  int byteAt(uint32_t index) override;
  Span spanAt(uint32_t index) override;
  // As the underlying source's: the patched bytes are held here.
  bool spansStay() override { return source_.spansStay(); }

 private:
  ByteSource& source_;
  std::vector<uint32_t> offsets_;  // patched offsets, increasing
  std::vector<uint8_t> values_;    // the bytes there, put right
};

#endif  // ORVANTE_SOURCE_PATCHED_SOURCE_H_
