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

// The error detection code of a Mode 2 Form 2 sector: a CRC over the
// subheader and the payload, stored little-endian in the trailer; 0 when the
// sector carries none. Its polynomial is x^32 + x^31 + x^16 + x^15 + x^4 +
// x^3 + x + 1, taken least significant bit first, from 0, not inverted.
constexpr uint32_t kSubheaderOffset = kSyncSize + kAddressSize;  // 16
constexpr uint32_t kEdcCoverage = kSubheaderSize + kPayloadSize;  // 2332
constexpr uint32_t kEdcOffset = kSectorSize - kTrailerSize;       // 2348
static_assert(kSubheaderOffset + kEdcCoverage == kEdcOffset, "the code covers what lies between address and trailer");
constexpr uint32_t kEdcPolynomial = 0xD8018001;  // the polynomial's bits, reversed
constexpr uint32_t kNoEdc = 0;

// The address of a sector, after its sync: minute, second and frame (75 to a
// second), each two BCD digits, then the mode. Sectors follow each other
// with addresses one apart.
constexpr uint32_t kAddressOffset = kSyncSize;
constexpr uint32_t kAddressDigits = 3;  // bytes of digits, before the mode
static_assert(kAddressDigits + 1 == kAddressSize, "the digits and the mode fill the address");
constexpr uint32_t kSectorsPerSecond = 75;

// How far the first sector is looked for beyond the last candidate: 10 sectors.
constexpr uint32_t kFirstSectorWindow = 10 * kSectorSize;  // 23520

#endif  // ORVANTE_CONTAINER_CD_SECTOR_FORMAT_H_
