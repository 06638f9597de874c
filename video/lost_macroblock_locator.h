#ifndef ORVANTE_VIDEO_LOST_MACROBLOCK_LOCATOR_H_
#define ORVANTE_VIDEO_LOST_MACROBLOCK_LOCATOR_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "video/macroblock_codes.h"
#include "video/slice_walker.h"

// LostMacroblockLocator finds where a slice of an I picture that parses,
// but ends short of where it must end, lost its macroblocks. A bit flipped
// in a variable-length code can lead the walk out of step for a few
// macroblocks and back into step with the data, unseen, with macroblocks
// fewer than were coded: every macroblock read after that lies that many
// addresses too early, and (the DC predictions running on through the
// slice) its DC values are off by one amount per colour component. On
// pictures of vertical bars the rest of the picture shows shifted and in
// other colours, for its whole group.
//
// Where the data stands in step again is told by the I picture shown
// before: the macroblocks before the loss match its DC values where they
// stand, those after it once moved along and levelled. The locator chooses
// the macroblocks to keep where read, those to drop (read out of step) and
// those to move, so that what is kept matches the picture before best, and
// only where that beats the slice as it stands by far. Pictures that change
// much since the one before tell little, and are left as they stand.
//
// The locator holds only the picture's size; locate() keeps no state.
class LostMacroblockLocator {
 public:
  using DcValues = std::array<int16_t, kBlocksPerMacroblock>;

  // How the macroblocks of the slice lie: records [0, keep) where read,
  // [keep, moveFrom) dropped, [moveFrom, count) moved on by the shortfall
  // with `offset` added to their DC values, per component (luminance, Cb,
  // Cr).
  struct Placement {
    size_t keep = 0;
    size_t moveFrom = 0;
    int offset[kColourComponents] = {0, 0, 0};
  };

  // REQUIRES: width and height at least 1.
  LostMacroblockLocator(uint32_t width, uint32_t height);

  // Whether the `count` intra macroblocks `records`, read at consecutive
  // addresses, lie better as `*placement` says, their slice having ended
  // `shortBy` macroblocks before it must. `beforeDc[a]`: the DC values of
  // the I picture before at address a, where `beforeKnown[a]`.
  // REQUIRES: shortBy at least 1; beforeDc and beforeKnown hold width *
  // height entries. Records that would move past the picture are left
  // where read (false).
  bool locate(const MacroblockRecord* records, size_t count, uint32_t shortBy, const std::vector<DcValues>& beforeDc,
              const std::vector<uint8_t>& beforeKnown, Placement* placement) const;

 private:
  // How far the DC values `dc`, with `offset` added, lie from those of the
  // picture before at `address`: the mean distance over the blocks, at most
  // kFarthest; kUnknownCost where the picture before has none there.
  int costAt(const int16_t* dc, const int* offset, uint32_t address, const std::vector<DcValues>& beforeDc,
             const std::vector<uint8_t>& beforeKnown) const;

  const uint32_t width_;
  const uint32_t macroblocks_;  // width * height
};

#endif  // ORVANTE_VIDEO_LOST_MACROBLOCK_LOCATOR_H_
