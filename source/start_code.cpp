#include "source/start_code.h"

namespace {
constexpr uint8_t kStartCodePrefixBytes[3] = {0x00, 0x00, 0x01};
}  // namespace

uint32_t nextStartCode(ByteSource& source) {
  source.skipToSequence(kStartCodePrefixBytes, sizeof kStartCodePrefixBytes);
  if (source.remaining() < kStartCodeSize) {
    source.skip(source.remaining());
    return NoStartCode;
  }
  return source.peekU32() & 0xFF;
}
