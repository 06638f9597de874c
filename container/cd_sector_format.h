#ifndef ORVANTE_CONTAINER_CD_SECTOR_FORMAT_H_
#define ORVANTE_CONTAINER_CD_SECTOR_FORMAT_H_

#include <cstdint>

// A raw CD sector as a Video CD track holds it (CD-ROM XA Mode 2 Form 2).
constexpr uint32_t kSyncSize = 12;        // 00 FF FF FF FF FF FF FF FF FF FF 00
constexpr uint32_t kAddressSize = 4;      // sector address and mode
constexpr uint32_t kSubheaderSize = 8;
constexpr uint32_t kPayloadSize = 2324;
constexpr uint32_t kTrailerSize = 4;      // error detection code
constexpr uint32_t kSectorSize = 2352;    // 12 sync + 4 header + 8 subheader + 2324 data + 4 EDC
static_assert(kSyncSize + kAddressSize + kSubheaderSize + kPayloadSize + kTrailerSize == kSectorSize,
              "the parts of a sector add up to its size");

// Offset of the payload in a sector: sync, address and subheader.
constexpr uint32_t kSectorHeaderSize = kSyncSize + kAddressSize + kSubheaderSize;  // 24
// From one payload start to the next sector's sync.
constexpr uint32_t kPayloadToNextSector = kSectorSize - kSectorHeaderSize;  // 2328
// Between the end of one payload and the start of the next in adjacent sectors.
constexpr uint32_t kSectorGap = kSectorHeaderSize + kTrailerSize;  // 28

// The first four bytes of the sync pattern, the only ones tested.
constexpr uint32_t kSyncPrefix = 0x00FFFFFF;
constexpr uint8_t kSyncPrefixBytes[4] = {0x00, 0xFF, 0xFF, 0xFF};
// The whole sync pattern.
constexpr uint8_t kSyncBytes[kSyncSize] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// How far the first sector is looked for beyond the last candidate: 10 sectors.
constexpr uint32_t kFirstSectorWindow = 10 * kSectorSize;  // 23520

#endif  // ORVANTE_CONTAINER_CD_SECTOR_FORMAT_H_
