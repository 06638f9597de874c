#include "source/start_code.h"

uint32_t nextStartCode(ByteSource& source) {
  source.skipToSequence(kStartCodePrefixBytes, sizeof kStartCodePrefixBytes);
  if (source.remaining() < kStartCodeSize) {
    source.skip(source.remaining());
    return NoStartCode;
  }
  return source.peekU32() & 0xFF;
}

bool zerosToNextStartCode(ByteSource& source) {
  const uint32_t start = source.position();
  nextStartCode(source);
  const uint32_t end = source.position();
  source.seek(start);
  // The offset of the first byte that is not 0, or the length when there is none.
  uint32_t zeros = 0;
  bool nonZero = false;
  source.readRuns(end - start, [&](const uint8_t* bytes, uint32_t length) {
    if (nonZero) return;
    for (uint32_t i = 0; i < length; ++i) {
      if (bytes[i] != 0) {
        zeros += i;
        nonZero = true;
        return;
      }
    }
    zeros += length;
  });
  if (!nonZero) return true;
  source.seek(start + zeros + 1);
  return false;
}
