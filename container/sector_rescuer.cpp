#include "container/sector_rescuer.h"

#include "container/cd_sector_format.h"

namespace {

// A sync with up to this many bits wrong is still a sector's: single-bit
// errors leave sectors in place, and twelve bytes of chance data come this
// close to the pattern only once in 2^60 or so.
constexpr int kSyncBitsWrongAllowed = 8;

}  // namespace

SectorRescuer::SectorRescuer(ByteSource& image, const RangeList& payload, RepairReporter* reporter)
    : image_(image), payload_(payload), reporter_(reporter) {}

bool SectorRescuer::nearlySync(uint32_t at) {
  int wrong = 0;
  for (uint32_t k = 0; k < kSyncSize; ++k) {
    wrong += __builtin_popcount(static_cast<unsigned>(image_.byteAt(at + k) ^ kSyncBytes[k]));
  }
  return wrong <= kSyncBitsWrongAllowed;
}

void SectorRescuer::mend() {
  ranges_.clear();
  lostSectors_ = 0;
  const uint32_t count = payload_.count();
  const uint32_t* pairs = payload_.pairs();
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t start = pairs[2 * k];
    const uint32_t end = pairs[2 * k + 1];
    if (k + 1 == count || end - start <= kPayloadSize) {
      ranges_.append(start, end);
      continue;
    }
    // The payload, then each sector due before the range's end.
    ranges_.append(start, start + kPayloadSize);
    for (uint64_t sync = uint64_t{start} + kPayloadToNextSector; sync + kSectorHeaderSize < end; sync += kSectorSize) {
      const auto payloadStart = static_cast<uint32_t>(sync + kSectorHeaderSize);
      const uint32_t payloadEnd = end - payloadStart < kPayloadSize ? end : payloadStart + kPayloadSize;
      if (nearlySync(static_cast<uint32_t>(sync))) {
        ranges_.append(payloadStart, payloadEnd);
      } else {
        ++lostSectors_;
        if (reporter_ != nullptr) {
          reporter_->dropped(RepairReporter::Drop::kLostSector, static_cast<uint32_t>(sync), payloadEnd - static_cast<uint32_t>(sync));
        }
      }
    }
  }
}
