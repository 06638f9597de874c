#include "video/picture_header.h"

#include <cassert>

#include "source/bit_writer.h"
#include "source/start_code.h"
#include "video/video_format.h"

void PictureHeader::read(BitReader& reader) {
  temporalReference = reader.readBits(kTemporalReferenceBits);
  codingType = reader.readBits(kCodingTypeBits);
  vbvDelay = reader.readBits(kVbvDelayBits);
  if (codingType == kPredictiveCoded || codingType == kBidirectionallyCoded) {
    fullPelForward = reader.readBits(kFullPelFlagBits) != 0;
    forwardFCode = reader.readBits(kMotionCodeBits);
  }
  if (codingType == kBidirectionallyCoded) {
    fullPelBackward = reader.readBits(kFullPelFlagBits) != 0;
    backwardFCode = reader.readBits(kMotionCodeBits);
  }
  while (reader.readBits(kExtraInformationFlagBits) == 1) reader.skipBits(kExtraInformationBits);
}

void PictureHeader::write(OutputFile& output) const {
  output.write(kStartCodePrefixBytes, sizeof kStartCodePrefixBytes);
  output.put(static_cast<int>(kPictureStartCode));
  BitWriter writer(output);
  writer.writeBits(kTemporalReferenceBits, temporalReference & 0x3FF);
  writer.writeBits(kCodingTypeBits, codingType & 0x7);
  writer.writeBits(kVbvDelayBits, vbvDelay & 0xFFFF);
  if (codingType == kPredictiveCoded || codingType == kBidirectionallyCoded) {
    writer.writeBits(kFullPelFlagBits, fullPelForward ? 1 : 0);
    writer.writeBits(kMotionCodeBits, forwardFCode & 0x7);
  }
  if (codingType == kBidirectionallyCoded) {
    writer.writeBits(kFullPelFlagBits, fullPelBackward ? 1 : 0);
    writer.writeBits(kMotionCodeBits, backwardFCode & 0x7);
  }
  writer.writeBits(kExtraInformationFlagBits, 0);
  writer.flush();
}

char PictureHeader::letter() const {
  switch (codingType) {
    case kIntraCoded:
      return 'I';
    case kPredictiveCoded:
      return 'P';
    case kBidirectionallyCoded:
      return 'B';
    default:
      return 0;
  }
}

void PictureHeader::setTemporalReference(uint8_t* afterStartCode, uint32_t temporalReference) {
  // The reference is the first 10 bits: all of the first byte and the top
  // two bits of the second.
  static_assert(kTemporalReferenceBits == 8 + 2, "the temporal reference spans one byte and two bits");
  assert(afterStartCode != nullptr);
  afterStartCode[0] = static_cast<uint8_t>(temporalReference >> 2);
  afterStartCode[1] = static_cast<uint8_t>((afterStartCode[1] & 0x3F) | ((temporalReference & 0x3) << 6));
}
