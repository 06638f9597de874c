#ifndef ORVANTE_VIDEO_VIDEO_FORMAT_H_
#define ORVANTE_VIDEO_VIDEO_FORMAT_H_

#include <cstdint>

// MPEG-1 video elementary stream (ISO/IEC 11172-2): start codes 00 00 01 xx,
// header field widths and the fixed bytes this program writes.

// Start codes.
constexpr uint32_t kPictureStartCode = 0x00;
constexpr uint32_t kFirstSliceCode = 0x01;  // slice codes are the vertical position
constexpr uint32_t kLastSliceCode = 0xAF;
constexpr uint32_t kUserDataCode = 0xB2;
constexpr uint32_t kSequenceHeaderCode = 0xB3;
constexpr uint32_t kExtensionStartCode = 0xB5;  // MPEG-2 only: right after its sequence header
constexpr uint32_t kSequenceEndCode = 0xB7;
constexpr uint32_t kGroupStartCode = 0xB8;
constexpr uint32_t kEndCode = 0xB9;  // ends an MPEG stream

inline bool isSliceCode(uint32_t code) { return code >= kFirstSliceCode && code <= kLastSliceCode; }

// Picture coding types.
constexpr uint32_t kIntraCoded = 1;
constexpr uint32_t kPredictiveCoded = 2;
constexpr uint32_t kBidirectionallyCoded = 3;

// Sequence header fields, in stream order after the start code.
constexpr uint32_t kWidthBits = 12;
constexpr uint32_t kHeightBits = 12;
constexpr uint32_t kAspectRatioBits = 4;
constexpr uint32_t kFrameRateCodeBits = 4;
constexpr uint32_t kBitRateBits = 18;  // units of 400 bit/s
constexpr uint32_t kMarkerBits = 1;    // always 1
constexpr uint32_t kVbvBufferSizeBits = 10;
constexpr uint32_t kConstrainedFlagBits = 1;
constexpr uint32_t kLoadMatrixFlagBits = 1;
constexpr uint32_t kQuantiserMatrixBits = 64 * 8;
static_assert(kWidthBits + kHeightBits + kAspectRatioBits + kFrameRateCodeBits + kBitRateBits + kMarkerBits +
                      kVbvBufferSizeBits + kConstrainedFlagBits + 2 * kLoadMatrixFlagBits ==
                  12 * 8 - 32,
              "a sequence header without matrices is 12 bytes with its start code");

// Aspect ratio codes decoders take: 0 is forbidden and 15 reserved; 1 is
// square pixels.
constexpr uint32_t kSquarePixelsAspectRatioCode = 1;
constexpr uint32_t kLastAspectRatioCode = 14;
inline bool isAspectRatioCode(uint32_t code) { return code >= 1 && code <= kLastAspectRatioCode; }

// Bit rate field values that ask for no fill: 0, and all ones, which marks
// a variable bit rate.
constexpr uint32_t kVariableBitRate = 0x3FFFF;

// Group-of-pictures header fields.
constexpr uint32_t kDropFrameBits = 1;
constexpr uint32_t kHoursBits = 5;
constexpr uint32_t kMinutesBits = 6;
constexpr uint32_t kSecondsBits = 6;
constexpr uint32_t kPicturesBits = 6;
constexpr uint32_t kClosedGopBits = 1;
constexpr uint32_t kBrokenLinkBits = 1;

// Picture header fields.
constexpr uint32_t kTemporalReferenceBits = 10;
// Temporal references count modulo 1024.
constexpr int64_t kTemporalReferenceModulus = int64_t{1} << kTemporalReferenceBits;
constexpr uint32_t kCodingTypeBits = 3;
constexpr uint32_t kVbvDelayBits = 16;
constexpr uint32_t kFullPelFlagBits = 1;
constexpr uint32_t kMotionCodeBits = 3;
constexpr uint32_t kExtraInformationFlagBits = 1;
constexpr uint32_t kExtraInformationBits = 8;

// The two codes that end every stream written: sequence end, then end code.
constexpr uint8_t kStreamEndBytes[8] = {0x00, 0x00, 0x01, 0xB7, 0x00, 0x00, 0x01, 0xB9};

// Frame rates by frame rate code: the rate as reports and bit rates use it,
// its name, how long each picture shows in ticks of the 90 kHz system clock
// at the exact rate the code stands for, and the whole number of pictures a
// second that a group's time code counts in. The NTSC codes run 1000/1001
// slower: 24000/1001 pictures a second is 90000 * 1001 / 24000 = 3753.75
// ticks, 30000/1001 is 3003, 60000/1001 (code 7) is 1501.5. Codes 0 and 9 to
// 15 are unknown: one frame per second for rates, no ticks, no time code.
struct FrameRate {
  double rate;
  const char* name;
  double ticksPerPicture;
  uint32_t timeCodeRate;
};
constexpr uint32_t kFrameRateCount = 9;
constexpr FrameRate kFrameRates[kFrameRateCount] = {
    {1.0, "unknown", 0, 0},        {23.976, "23.976", 3753.75, 24}, {24.0, "24", 3750, 24},
    {25.0, "25", 3600, 25},        {29.97, "29.97", 3003, 30},      {30.0, "30", 3000, 30},
    {50.0, "50", 1800, 50},        {59.95, "59.95", 1501.5, 60},   {60.0, "60", 1500, 60},
};
constexpr FrameRate kUnknownFrameRate = kFrameRates[0];
static_assert(kFrameRates[1].ticksPerPicture * 24000 == 90000.0 * 1001 &&
                  kFrameRates[4].ticksPerPicture * 30000 == 90000.0 * 1001 &&
                  kFrameRates[7].ticksPerPicture * 60000 == 90000.0 * 1001,
              "the NTSC rates run 1000/1001 slower");
static_assert(kFrameRates[3].ticksPerPicture * 25 == 90000.0 && kFrameRates[8].ticksPerPicture * 60 == 90000.0,
              "the whole rates divide the clock");

inline const FrameRate& frameRateOf(uint32_t code) {
  return code < kFrameRateCount ? kFrameRates[code] : kUnknownFrameRate;
}
inline double ticksPerPicture(uint32_t code) { return frameRateOf(code).ticksPerPicture; }
inline uint32_t timeCodeRate(uint32_t code) { return frameRateOf(code).timeCodeRate; }

#endif  // ORVANTE_VIDEO_VIDEO_FORMAT_H_
