#include "video/group_header.h"

#include "source/bit_writer.h"
#include "source/start_code.h"
#include "video/video_format.h"

bool GroupHeader::read(BitReader& reader) {
  dropFrame = reader.readBits(kDropFrameBits) != 0;
  hours = reader.readBits(kHoursBits);
  minutes = reader.readBits(kMinutesBits);
  if (reader.readBits(kMarkerBits) != 1) return false;
  seconds = reader.readBits(kSecondsBits);
  pictures = reader.readBits(kPicturesBits);
  closed = reader.readBits(kClosedGopBits) != 0;
  brokenLink = reader.readBits(kBrokenLinkBits) != 0;
  return true;
}

void GroupHeader::write(OutputFile& output) const {
  output.write(kStartCodePrefixBytes, sizeof kStartCodePrefixBytes);
  output.put(static_cast<int>(kGroupStartCode));
  BitWriter writer(output);
  writer.writeBits(kDropFrameBits, dropFrame ? 1 : 0);
  writer.writeBits(kHoursBits, hours & 0x1F);
  writer.writeBits(kMinutesBits, minutes & 0x3F);
  writer.writeBits(kMarkerBits, 1);
  writer.writeBits(kSecondsBits, seconds & 0x3F);
  writer.writeBits(kPicturesBits, pictures & 0x3F);
  writer.writeBits(kClosedGopBits, closed ? 1 : 0);
  writer.writeBits(kBrokenLinkBits, brokenLink ? 1 : 0);
  writer.flush();
}

uint64_t GroupHeader::timeCodeInPictures(uint32_t picturesPerSecond) const {
  const uint64_t totalMinutes = uint64_t{hours} * 60 + minutes;
  uint64_t count = (totalMinutes * 60 + seconds) * picturesPerSecond + pictures;
  // Drop-frame time codes skip pictures 0 and 1 of every minute but each
  // tenth: those numbers name no picture.
  if (dropFrame) count -= 2 * (totalMinutes - totalMinutes / 10);
  return count;
}
