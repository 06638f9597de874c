#include "source/start_code.h"

uint32_t nextStartCode(ByteSource& source) {
  for (;;) {
    source.skipTo(0);
    if (source.remaining() < kStartCodeSize) {
      source.skip(source.remaining());
      return NoStartCode;
    }
    const uint32_t word = source.peekU32();
    if ((word >> 8) == kStartCodePrefix) return word & 0xFF;
    source.skip(1);
  }
}
