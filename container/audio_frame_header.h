#ifndef ORVANTE_CONTAINER_AUDIO_FRAME_HEADER_H_
#define ORVANTE_CONTAINER_AUDIO_FRAME_HEADER_H_

#include <cstdint>

// AudioFrameHeader is the 4-byte header that opens every frame of an MPEG
// audio stream (ISO/IEC 11172-3, with the lower sample rates of ISO/IEC
// 13818-3 when the ID bit is 0). Its fields, most significant bit first:
//
//   syncword 12 (all ones) | ID 1 | layer 2 | protection_bit 1 |
//   bitrate_index 4 | sampling_frequency 2 | padding_bit 1 | private_bit 1 |
//   mode 2 | mode_extension 2 | copyright 1 | original 1 | emphasis 2
//
// A plain value: copied freely, owns nothing. The frame's other properties
// (length, samples, sample rate) follow from the fields; they are valid only
// for a header that read() accepted or one built from such a header.
class AudioFrameHeader {
 public:
  // Field widths, in stream order.
  static constexpr uint32_t kSyncBits = 12;
  static constexpr uint32_t kIdBits = 1;
  static constexpr uint32_t kLayerBits = 2;
  static constexpr uint32_t kProtectionBits = 1;
  static constexpr uint32_t kBitRateIndexBits = 4;
  static constexpr uint32_t kSampleRateIndexBits = 2;
  static constexpr uint32_t kPaddingBits = 1;
  static constexpr uint32_t kPrivateBits = 1;
  static constexpr uint32_t kModeBits = 2;
  static constexpr uint32_t kModeExtensionBits = 2;
  static constexpr uint32_t kCopyrightBits = 1;
  static constexpr uint32_t kOriginalBits = 1;
  static constexpr uint32_t kEmphasisBits = 2;
  static constexpr uint32_t kSize = 4;  // bytes

  // Reads the header at `bytes` (4 bytes). Returns false, leaving the fields
  // undefined, when they are no frame header this program can place: no
  // syncword, layer 0 (reserved), bit rate index 0 (free format, whose frames
  // have no length of their own) or 15 (forbidden), sample rate index 3
  // (reserved), emphasis 2 (reserved).
  bool read(const uint8_t* bytes);
  // Writes the header to `bytes` (4 bytes).
  void write(uint8_t* bytes) const;

  // The frame's length in bytes, header included, padding slot counted.
  uint32_t frameLength() const;
  // Audio samples per channel that one frame carries.
  uint32_t samplesPerFrame() const;
  // Samples per second.
  uint32_t sampleRate() const;
  // Bits per second.
  uint32_t bitRate() const;

  // Whether `other` can follow this frame in the same stream: the same ID,
  // layer and sample rate, so the same frame duration.
  bool sameStreamAs(const AudioFrameHeader& other) const;

  // The header of a silent frame in this frame's place: these fields, with
  // no CRC (protection bit 1) and no padding. All bit allocations of such a
  // frame are zero: the header followed by frameLength() - kSize zero bytes
  // decodes as silence.
  AudioFrameHeader silent() const;

  // The fields, as they stand in the header.
  uint32_t id = 1;             // 1: MPEG-1; 0: the lower sample rates
  uint32_t layer = 2;          // 1, 2 or 3 (the field holds 4 - layer)
  uint32_t protection = 1;     // 0: a 16-bit CRC follows the header
  uint32_t bitRateIndex = 0;
  uint32_t sampleRateIndex = 0;
  uint32_t padding = 0;
  uint32_t privateBit = 0;
  uint32_t mode = 0;
  uint32_t modeExtension = 0;
  uint32_t copyright = 0;
  uint32_t original = 0;
  uint32_t emphasis = 0;
};

#endif  // ORVANTE_CONTAINER_AUDIO_FRAME_HEADER_H_
