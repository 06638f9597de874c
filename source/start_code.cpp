#include "source/start_code.h"

uint32_t nextStartCode(ByteSource& source) {
  source.skipToSequence(kStartCodePrefixBytes, sizeof kStartCodePrefixBytes);
  if (source.remaining() < kStartCodeSize) {
    source.skip(source.remaining());
    return NoStartCode;
  }
  return source.peekU32() & 0xFF;
}
