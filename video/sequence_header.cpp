#include "video/sequence_header.h"

#include "source/bit_writer.h"
#include "source/start_code.h"
#include "video/video_format.h"

namespace {

// The low `bits` bits of `value`.
uint32_t low(uint32_t bits, uint32_t value) { return value & ((1u << bits) - 1); }

}  // namespace

bool SequenceHeader::readFormat(BitReader& reader) {
  width = reader.readBits(kWidthBits);
  height = reader.readBits(kHeightBits);
  aspectRatioCode = reader.readBits(kAspectRatioBits);
  frameRateCode = reader.readBits(kFrameRateCodeBits);
  bitRate = reader.readBits(kBitRateBits);
  if (reader.readBits(kMarkerBits) != 1) return false;
  vbvBufferSize = reader.readBits(kVbvBufferSizeBits);
  constrainedParameters = reader.readBits(kConstrainedFlagBits) != 0;
  return true;
}

bool SequenceHeader::read(BitReader& reader) { return readFormat(reader) && (readMatrices(reader, false), true); }

bool SequenceHeader::readTaken(BitReader& reader) { return readFormat(reader) && readMatrices(reader, true); }

bool SequenceHeader::readMatrices(BitReader& reader, bool look) {
  bool taken = true;
  for (bool* load : {&loadIntraMatrix, &loadNonIntraMatrix}) {
    *load = reader.readBits(kLoadMatrixFlagBits) == 1;
    if (!*load) continue;
    if (!look) {
      reader.skipBits(kQuantiserMatrixBits);
      continue;
    }
    for (uint32_t k = 0; k < kQuantiserMatrixBits / 8; ++k) taken = reader.readBits(8) != 0 && taken;
  }
  return taken;
}

void SequenceHeader::write(OutputFile& output) const {
  output.write(kStartCodePrefixBytes, sizeof kStartCodePrefixBytes);
  output.put(static_cast<int>(kSequenceHeaderCode));
  BitWriter writer(output);
  writer.writeBits(kWidthBits, low(kWidthBits, width));
  writer.writeBits(kHeightBits, low(kHeightBits, height));
  writer.writeBits(kAspectRatioBits, low(kAspectRatioBits, aspectRatioCode));
  writer.writeBits(kFrameRateCodeBits, low(kFrameRateCodeBits, frameRateCode));
  writer.writeBits(kBitRateBits, low(kBitRateBits, bitRate));
  writer.writeBits(kMarkerBits, 1);
  writer.writeBits(kVbvBufferSizeBits, low(kVbvBufferSizeBits, vbvBufferSize));
  writer.writeBits(kConstrainedFlagBits, constrainedParameters ? 1 : 0);
  // The padding of the last byte is the two matrix flags: no matrices.
  writer.flush();
}

bool SequenceHeader::sameFormat(const SequenceHeader& other) const {
  return width == other.width && height == other.height && aspectRatioCode == other.aspectRatioCode &&
         frameRateCode == other.frameRateCode && bitRate == other.bitRate;
}

SequenceHeader SequenceHeader::of(const ProbedFormat& format) {
  SequenceHeader header;
  header.width = format.width;
  header.height = format.height;
  header.aspectRatioCode = format.aspectRatioCode;
  header.frameRateCode = format.frameRateCode;
  header.bitRate = format.bitRate;
  header.vbvBufferSize = format.vbvBufferSize;
  header.constrainedParameters = format.constrainedParameters;
  return header;
}

void SequenceHeader::stateIn(ProbedFormat* format) const {
  format->width = width;
  format->height = height;
  format->aspectRatioCode = aspectRatioCode;
  format->frameRateCode = frameRateCode;
  format->bitRate = bitRate;
  format->vbvBufferSize = vbvBufferSize;
  format->constrainedParameters = constrainedParameters;
  format->estimated = false;
}
