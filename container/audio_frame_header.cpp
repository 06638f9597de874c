#include "container/audio_frame_header.h"

namespace {

using Header = AudioFrameHeader;
static_assert(Header::kSyncBits + Header::kIdBits + Header::kLayerBits + Header::kProtectionBits +
                      Header::kBitRateIndexBits + Header::kSampleRateIndexBits + Header::kPaddingBits +
                      Header::kPrivateBits + Header::kModeBits + Header::kModeExtensionBits +
                      Header::kCopyrightBits + Header::kOriginalBits + Header::kEmphasisBits ==
                  Header::kSize * 8,
              "the fields of a frame header fill its four bytes");

constexpr uint32_t kSyncword = (1u << Header::kSyncBits) - 1;  // twelve ones
constexpr uint32_t kReservedLayerField = 0;                     // layer = 4 - field: 3 is Layer I
constexpr uint32_t kFreeFormatIndex = 0;
constexpr uint32_t kForbiddenBitRateIndex = 15;
constexpr uint32_t kReservedSampleRateIndex = 3;
constexpr uint32_t kReservedEmphasis = 2;

// Bit rates in kbit/s by bit rate index (0: free format, 15: forbidden), for
// ID 1 by layer, and for ID 0 (the lower sample rates) Layer I and then
// Layers II and III, which share one table.
constexpr uint16_t kBitRates[5][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // ID 1, Layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // ID 1, Layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // ID 1, Layer III
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // ID 0, Layer I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // ID 0, Layers II, III
};

// Sample rates by sampling_frequency index; ID 0 halves them.
constexpr uint32_t kSampleRates[3] = {44100, 48000, 32000};

// Samples per frame: Layer I codes 12 samples of 32 subbands, Layers II and
// III three times as many; Layer III at the lower rates codes one granule of
// 576 instead of two.
constexpr uint32_t kSubbands = 32;
constexpr uint32_t kLayerOneSamples = 12 * kSubbands;         // 384
constexpr uint32_t kLayerTwoSamples = 3 * kLayerOneSamples;   // 1152
constexpr uint32_t kLowRateLayerThreeSamples = kLayerTwoSamples / 2;

// A frame is a whole number of slots: 4 bytes in Layer I, 1 byte otherwise.
// Its length is samples x bit rate / 8 / sample rate bytes, rounded down to a
// slot, plus one slot when padded: 144 x bit rate / sample rate for Layer II,
// 4 x (12 x bit rate / sample rate) for Layer I.
constexpr uint32_t kLayerOneSlotBytes = 4;
static_assert(kLayerTwoSamples / 8 == 144 && kLayerOneSamples / 8 / kLayerOneSlotBytes == 12,
              "slots per frame are 144 and 12 times the bit rate over the sample rate");

uint32_t bits(uint32_t word, uint32_t& shift, uint32_t width) {
  shift -= width;
  return (word >> shift) & ((1u << width) - 1);
}

void put(uint32_t& word, uint32_t width, uint32_t value) { word = word << width | (value & ((1u << width) - 1)); }

}  // namespace

bool AudioFrameHeader::read(const uint8_t* bytes) {
  const uint32_t word = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
  uint32_t shift = kSize * 8;
  if (bits(word, shift, kSyncBits) != kSyncword) return false;
  id = bits(word, shift, kIdBits);
  const uint32_t layerField = bits(word, shift, kLayerBits);
  if (layerField == kReservedLayerField) return false;
  layer = 4 - layerField;
  protection = bits(word, shift, kProtectionBits);
  bitRateIndex = bits(word, shift, kBitRateIndexBits);
  if (bitRateIndex == kFreeFormatIndex || bitRateIndex == kForbiddenBitRateIndex) return false;
  sampleRateIndex = bits(word, shift, kSampleRateIndexBits);
  if (sampleRateIndex == kReservedSampleRateIndex) return false;
  padding = bits(word, shift, kPaddingBits);
  privateBit = bits(word, shift, kPrivateBits);
  mode = bits(word, shift, kModeBits);
  modeExtension = bits(word, shift, kModeExtensionBits);
  copyright = bits(word, shift, kCopyrightBits);
  original = bits(word, shift, kOriginalBits);
  emphasis = bits(word, shift, kEmphasisBits);
  return emphasis != kReservedEmphasis;
}

void AudioFrameHeader::write(uint8_t* bytes) const {
  uint32_t word = 0;
  put(word, kSyncBits, kSyncword);
  put(word, kIdBits, id);
  put(word, kLayerBits, 4 - layer);
  put(word, kProtectionBits, protection);
  put(word, kBitRateIndexBits, bitRateIndex);
  put(word, kSampleRateIndexBits, sampleRateIndex);
  put(word, kPaddingBits, padding);
  put(word, kPrivateBits, privateBit);
  put(word, kModeBits, mode);
  put(word, kModeExtensionBits, modeExtension);
  put(word, kCopyrightBits, copyright);
  put(word, kOriginalBits, original);
  put(word, kEmphasisBits, emphasis);
  for (uint32_t i = 0; i < kSize; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * (kSize - 1 - i)));
}

uint32_t AudioFrameHeader::bitRate() const {
  const uint32_t table = id == 1 ? layer - 1 : (layer == 1 ? 3 : 4);
  return uint32_t{kBitRates[table][bitRateIndex]} * 1000;
}

uint32_t AudioFrameHeader::sampleRate() const { return kSampleRates[sampleRateIndex] >> (id == 1 ? 0 : 1); }

uint32_t AudioFrameHeader::samplesPerFrame() const {
  if (layer == 1) return kLayerOneSamples;
  return layer == 3 && id == 0 ? kLowRateLayerThreeSamples : kLayerTwoSamples;
}

uint32_t AudioFrameHeader::frameLength() const {
  const uint64_t slotBytes = layer == 1 ? kLayerOneSlotBytes : 1;
  const uint64_t slots = uint64_t{samplesPerFrame()} * bitRate() / (8 * slotBytes * sampleRate()) + padding;
  return static_cast<uint32_t>(slots * slotBytes);
}

bool AudioFrameHeader::sameStreamAs(const AudioFrameHeader& other) const {
  return id == other.id && layer == other.layer && sampleRateIndex == other.sampleRateIndex;
}

AudioFrameHeader AudioFrameHeader::silent() const {
  AudioFrameHeader header = *this;
  header.protection = 1;
  header.padding = 0;
  return header;
}
