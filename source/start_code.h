#ifndef ORVANTE_SOURCE_START_CODE_H_
#define ORVANTE_SOURCE_START_CODE_H_

#include <cstdint>

#include "source/byte_source.h"

// MPEG start codes are the four bytes 00 00 01 xx; xx is the code.
constexpr uint32_t kStartCodePrefix = 0x000001;  // the first three bytes
constexpr int kStartCodeMarkerByte = 0x01;         // the third byte, after the zeros
constexpr uint8_t kStartCodePrefixBytes[3] = {0x00, 0x00, 0x01};
constexpr uint32_t kStartCodeSize = 4;

// Stands for "no start code", and for an absent 32-bit position.
constexpr uint32_t NoStartCode = 0xFFFFFFFF;

// The start-code scan. Moves the cursor of `source` to the first position at
// or after it that holds 00 00 01 with at least 4 bytes left from there, and
// returns the code (0..255) that follows; the cursor stays on the first 00.
// Returns NoStartCode, with the cursor at the end of the data, when there is
// none. Called again without moving the cursor it returns the same code.
uint32_t nextStartCode(ByteSource& source);

// True when every byte from the cursor of `source` up to the next start code
// (or the end of the data) is 0; the cursor is then on that start code.
// Otherwise false, with the cursor just past the first byte that is not 0.
bool zerosToNextStartCode(ByteSource& source);

#endif  // ORVANTE_SOURCE_START_CODE_H_
