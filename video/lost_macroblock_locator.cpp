#include "video/lost_macroblock_locator.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <limits>

#include "video/medians.h"

namespace {

// A macroblock's cost: the mean distance of its DC values from the picture
// before's, in levels (a pixel level each), taken at most this far, so that
// what moved since counts no more than what was read out of step.
constexpr int kFarthest = 48;
// What dropping a macroblock costs: one kept must lie nearer than this.
// Half the farthest: a macroblock that moved since the picture before costs
// much as it stands and moved alike, and is kept rather than dropped.
constexpr int kDropCost = kFarthest / 2;
// Where the picture before tells nothing, keeping costs what dropping does.
constexpr int kUnknownCost = kDropCost;
static_assert(kDropCost < kFarthest, "a macroblock read out of step must cost more than dropping it");

// The offset of the moved macroblocks is the median over the last of them:
// at most two rows, at most half the slice, at least this many.
constexpr size_t kLeastLevelRecords = 8;
constexpr uint32_t kLevelRows = 2;
// Moving must gain at least this many macroblocks' drop cost, and at least
// this share of what the slice as it stands costs (a divisor).
constexpr int64_t kLeastGainMacroblocks = 8;
constexpr int64_t kLeastGainDivisor = 4;

}  // namespace

LostMacroblockLocator::LostMacroblockLocator(uint32_t width, uint32_t height)
    : width_(width), macroblocks_(width * height) {
  assert(width >= 1 && height >= 1);
}

int LostMacroblockLocator::costAt(const int16_t* dc, const int* offset, uint32_t address,
                                  const std::vector<DcValues>& beforeDc,
                                  const std::vector<uint8_t>& beforeKnown) const {
  if (!beforeKnown[address]) return kUnknownCost;
  int distance = 0;
  for (uint32_t b = 0; b < kBlocksPerMacroblock; ++b) {
    distance += std::abs(dc[b] + offset[componentOfBlock(b)] - beforeDc[address][b]);
  }
  return std::min(kFarthest, distance / static_cast<int>(kBlocksPerMacroblock));
}

bool LostMacroblockLocator::locate(const MacroblockRecord* records, size_t count, uint32_t shortBy,
                                   const std::vector<DcValues>& beforeDc, const std::vector<uint8_t>& beforeKnown,
                                   Placement* placement) const {
  assert(shortBy >= 1);
  assert(beforeDc.size() == macroblocks_ && beforeKnown.size() == macroblocks_);
  if (count == 0 || size_t{records[count - 1].address} + shortBy >= macroblocks_) return false;

  // The offset, from the last macroblocks: moved, those are surely in step.
  const size_t levelBy = std::min<size_t>(count / 2, size_t{kLevelRows} * width_);
  if (levelBy < kLeastLevelRecords) return false;
  std::vector<int> differences[kColourComponents];
  for (size_t i = count - levelBy; i < count; ++i) {
    const uint32_t address = records[i].address + shortBy;
    if (!beforeKnown[address]) continue;
    for (uint32_t b = 0; b < kBlocksPerMacroblock; ++b) {
      differences[componentOfBlock(b)].push_back(beforeDc[address][b] - records[i].dc[b]);
    }
  }
  if (differences[0].size() < kLeastLevelRecords * kLuminanceBlocks) return false;
  int offset[kColourComponents];
  for (uint32_t c = 0; c < kColourComponents; ++c) offset[c] = median(differences[c]);
  const int none[kColourComponents] = {0, 0, 0};

  // The cheapest placement: keeping [0, keep) where read costs asRead[keep],
  // moving [from, count) costs moved[from]; dropping what lies between
  // costs kDropCost each.
  std::vector<int64_t> asRead(count + 1, 0);
  std::vector<int64_t> moved(count + 1, 0);
  for (size_t i = 0; i < count; ++i) {
    asRead[i + 1] = asRead[i] + costAt(records[i].dc, none, records[i].address, beforeDc, beforeKnown);
  }
  for (size_t i = count; i-- > 0;) {
    moved[i] = moved[i + 1] + costAt(records[i].dc, offset, records[i].address + shortBy, beforeDc, beforeKnown);
  }
  // Macroblocks read out of step are few: at most a row is dropped (where
  // the picture moved since the one before, keeping and moving cost alike,
  // and dropping must not win).
  const size_t mostDropped = width_;
  int64_t bestCost = std::numeric_limits<int64_t>::max();
  size_t bestKeep = 0;
  size_t bestFrom = 0;
  for (size_t from = 0; from < count; ++from) {
    // Of the cuts that keep as much, the one that keeps most.
    for (size_t keep = from - std::min(from, mostDropped); keep <= from; ++keep) {
      const int64_t cost = asRead[keep] + int64_t{kDropCost} * static_cast<int64_t>(from - keep) + moved[from];
      if (cost < bestCost || (cost == bestCost && from == bestFrom)) {
        bestCost = cost;
        bestKeep = keep;
        bestFrom = from;
      }
    }
  }
  const int64_t asItStands = asRead[count];
  const int64_t gain = asItStands - bestCost;
  if (gain < kLeastGainMacroblocks * kDropCost || gain * kLeastGainDivisor < asItStands) return false;
  placement->keep = bestKeep;
  placement->moveFrom = bestFrom;
  for (uint32_t c = 0; c < kColourComponents; ++c) placement->offset[c] = offset[c];
  return true;
}
