#include "video/video_fixer.h"

#include <cstdio>

#include "source/bit_reader.h"
#include "source/bit_writer.h"
#include "source/output_name.h"
#include "source/start_code.h"
#include "video/video_format.h"

namespace {

// The probe measures the bytes per picture at the twelfth I picture.
constexpr uint32_t kIPicturesBeforeMeasuring = 11;
// A slice row is one macroblock, 16 lines high.
constexpr uint32_t kLinesPerSliceRow = 16;

// Common picture sizes by height, for an estimated format.
struct EstimatedSize {
  uint32_t height;
  uint32_t width;
  uint32_t frameRateCode;
};
constexpr EstimatedSize kEstimatedSizes[] = {
    {240, 320, 2},  // 24 fps
    {288, 352, 3},  // 25 fps
    {480, 640, 2},  // 24 fps
    {576, 704, 3},  // 25 fps
};
constexpr uint32_t kEstimatedFrameRateCode = 3;  // 25 fps for any other height
constexpr uint32_t kEstimatedAspectRatioCode = 1;
constexpr uint32_t kEstimatedVbvBufferSize = 20;

// New headers go before an I picture once this many pictures went out since
// the last group-of-pictures header.
constexpr uint32_t kPicturesPerGop = 30;

// The bit rate field counts 400 bit/s; the fill works in bytes: 400 / 8.
constexpr uint32_t kBytesPerSecondPerBitRateUnit = 50;

bool isSliceCode(uint32_t code) { return code >= kFirstSliceCode && code <= kLastSliceCode; }

}  // namespace

VideoFixer::VideoFixer(ByteSource& source, ProgressCallback progress) : source_(source), progress_(progress) {}

// ---------------------------------------------------------------------------
// Probe and report

void VideoFixer::probe() {
  bool done = false;
  uint32_t iPictureCount = 0;
  uint32_t pictureCount = 0;
  uint32_t maxSliceCode = 0;
  bool lastWasI = false;
  bool measured = false;
  double bitsPerPicture = 0;

  estimated_ = true;
  source_.seek(0);
  for (;;) {
    const uint32_t code = nextStartCode(source_);
    if (code == NoStartCode || done) break;
    source_.skip(kStartCodeSize);
    if (code == kSequenceHeaderCode) {
      BitReader reader(source_);
      const uint32_t width = reader.readBits(kWidthBits);
      const uint32_t height = reader.readBits(kHeightBits);
      const uint32_t aspectRatioCode = reader.readBits(kAspectRatioBits);
      const uint32_t frameRateCode = reader.readBits(kFrameRateCodeBits);
      const uint32_t bitRate = reader.readBits(kBitRateBits);
      if (reader.readBits(kMarkerBits) != 1) continue;  // not a usable header
      width_ = width;
      height_ = height;
      aspectRatioCode_ = aspectRatioCode;
      frameRateCode_ = frameRateCode;
      bitRate_ = bitRate;
      vbvBufferSize_ = reader.readBits(kVbvBufferSizeBits);
      constrainedParameters_ = reader.readBits(kConstrainedFlagBits) != 0;
      estimated_ = false;
      done = true;
    } else if (code == kPictureStartCode) {
      BitReader reader(source_);
      reader.skipBits(kTemporalReferenceBits);
      if (reader.readBits(kCodingTypeBits) == kIntraCoded) {
        lastWasI = true;
        if (iPictureCount >= kIPicturesBeforeMeasuring) {
          bitsPerPicture = static_cast<double>(static_cast<long double>(source_.position()) * 8 / pictureCount);
          measured = true;
          done = true;
        }
        ++iPictureCount;
      } else {
        lastWasI = false;
      }
      ++pictureCount;
    } else if (isSliceCode(code)) {
      if (lastWasI && code > maxSliceCode) maxSliceCode = code;
    }
  }

  if (estimated_) {
    height_ = maxSliceCode * kLinesPerSliceRow;
    width_ = height_ * 22 / 15;
    frameRateCode_ = kEstimatedFrameRateCode;
    for (const EstimatedSize& size : kEstimatedSizes) {
      if (size.height == height_) {
        width_ = size.width;
        frameRateCode_ = size.frameRateCode;
      }
    }
    aspectRatioCode_ = kEstimatedAspectRatioCode;
    vbvBufferSize_ = kEstimatedVbvBufferSize;
    constrainedParameters_ = true;
  }
  frameRate_ = frameRateOf(frameRateCode_).rate;
  if (estimated_) {
    // Without a twelfth I picture, the average over the whole stream.
    if (!measured && pictureCount > 0) {
      bitsPerPicture = static_cast<double>(static_cast<long double>(source_.position()) * 8 / pictureCount);
    }
    const auto bitsPerSecond =
        static_cast<uint32_t>(static_cast<uint64_t>(static_cast<long double>(bitsPerPicture) * frameRate_));
    // Up to the next 1000 bit/s, 10000 bit/s more, in units of 400 bit/s.
    bitRate_ = ((bitsPerSecond + 999) / 1000 * 1000 + 10000) / 400;
  }
}

std::string VideoFixer::formatText() const {
  char text[64];
  std::snprintf(text, sizeof text, "%ux%u %sfps%s", width_, height_, frameRateOf(frameRateCode_).name,
                estimated_ ? " (estimated)" : "");
  return text;
}

uint64_t VideoFixer::actualBitrate() const {
  if (framesUsed_ == 0) return 0;
  return static_cast<uint64_t>(static_cast<long double>(outputSize_) * 8 / framesUsed_ * frameRate_);
}

// ---------------------------------------------------------------------------
// Rewrite

void VideoFixer::rewrite(const std::string& baseName) {
  probe();
  writeFailed_ = false;
  if (!output_.open(videoFileName(baseName))) {
    writeFailed_ = true;
    return;
  }
  needHeaders_ = true;
  picturesSinceGop_ = 0;
  framesUsed_ = 0;
  picturesSeen_ = 0;
  framesAtLastFill_ = 0;
  lastSliceOutputPos_ = 0;
  source_.seek(0);
  checker_.reset();

  progress_('S', 0, 0);
  for (;;) {
    const uint32_t code = nextStartCode(source_);
    if (code == NoStartCode) break;
    const uint32_t position = source_.position();
    progress_('P', position, source_.size());
    if (handleStartCode(code)) {
      if (output_.failed()) break;
      continue;
    }
    // Rejected: take back the slice written last, wait for the next I
    // picture, and search the rejected element's bytes for start codes.
    if (lastSliceOutputPos_ != 0) output_.seek(lastSliceOutputPos_);
    lastSliceOutputPos_ = 0;
    checker_.clear();
    source_.seek(position + 1);
  }
  fillToBitrate(true);
  putBytes(kStreamEndBytes, sizeof kStreamEndBytes);
  outputSize_ = output_.tell();
  if (!output_.close()) {
    writeFailed_ = true;
    return;
  }
  progress_('E', 0, 0);
}

bool VideoFixer::handleStartCode(uint32_t code) {
  switch (code) {
    // Elements that are checked and copied.
    case kPictureStartCode:
      return handlePicture();
    case kSequenceHeaderCode:
      return handleSequenceHeader();
    case kGroupStartCode:
      return handleGopHeader();

    // Elements that are checked and left out.
    case kUserDataCode:
      source_.skip(kStartCodeSize);
      return true;
    case kSequenceEndCode:
    case kEndCode:
      return handleEndCode();

    // Slices, and every code that has no place in an MPEG-1 video stream.
    default:
      return isSliceCode(code) ? handleSlice(code) : false;
  }
}

namespace {

// The end of every header: aligned, within the data.
bool headerEndsWell(BitReader& reader) {
  reader.alignToByte();
  return !reader.overrun();
}

}  // namespace

bool VideoFixer::handleSequenceHeader() {
  const uint32_t start = source_.position();
  source_.skip(kStartCodeSize);
  BitReader reader(source_);
  reader.readBits(kWidthBits);
  reader.readBits(kHeightBits);
  reader.readBits(kAspectRatioBits);
  reader.readBits(kFrameRateCodeBits);
  reader.readBits(kBitRateBits);
  if (reader.readBits(kMarkerBits) != 1) return false;
  reader.readBits(kVbvBufferSizeBits);
  reader.readBits(kConstrainedFlagBits);
  if (reader.readBits(kLoadMatrixFlagBits) == 1) reader.skipBits(kQuantiserMatrixBits);  // intra
  if (reader.readBits(kLoadMatrixFlagBits) == 1) reader.skipBits(kQuantiserMatrixBits);  // non-intra
  if (!headerEndsWell(reader) || !zerosToNextStartCode()) return false;
  if (checker_.sequenceHeader()) {
    fillToBitrate(false);
    copySpan(start, source_.position());
    needHeaders_ = false;
  }
  return true;
}

bool VideoFixer::handleGopHeader() {
  const uint32_t start = source_.position();
  source_.skip(kStartCodeSize);
  BitReader reader(source_);
  reader.readBits(kDropFrameBits);
  reader.readBits(kHoursBits);
  reader.readBits(kMinutesBits);
  if (reader.readBits(kMarkerBits) != 1) return false;
  reader.readBits(kSecondsBits);
  reader.readBits(kPicturesBits);
  reader.readBits(kClosedGopBits);
  reader.readBits(kBrokenLinkBits);
  if (!headerEndsWell(reader) || !zerosToNextStartCode()) return false;
  if (checker_.gopHeader()) {
    copySpan(start, source_.position());
    picturesSinceGop_ = 0;
  }
  return true;
}

bool VideoFixer::handlePicture() {
  const uint32_t start = source_.position();
  source_.skip(kStartCodeSize);
  BitReader reader(source_);
  const uint32_t temporalReference = reader.readBits(kTemporalReferenceBits);
  const uint32_t codingType = reader.readBits(kCodingTypeBits);
  reader.readBits(kVbvDelayBits);
  if (codingType == kPredictiveCoded || codingType == kBidirectionallyCoded) {
    reader.skipBits(kFullPelFlagBits);  // forward
    reader.readBits(kMotionCodeBits);
  }
  if (codingType == kBidirectionallyCoded) {
    reader.skipBits(kFullPelFlagBits);  // backward
    reader.readBits(kMotionCodeBits);
  }
  while (reader.readBits(kExtraInformationFlagBits) == 1) reader.skipBits(kExtraInformationBits);
  if (!headerEndsWell(reader) || !zerosToNextStartCode()) return false;

  char letter;
  switch (codingType) {
    case kIntraCoded:
      letter = 'I';
      break;
    case kPredictiveCoded:
      letter = 'P';
      break;
    case kBidirectionallyCoded:
      letter = 'B';
      break;
    default:
      return false;  // D pictures and reserved types
  }
  ++picturesSeen_;
  if (!checker_.picture(letter, temporalReference)) return true;  // left out, with its slices

  if (needHeaders_) writeHeaders();
  ++picturesSinceGop_;
  if (letter == 'I' && picturesSinceGop_ >= kPicturesPerGop) {
    writeHeaders();
    picturesSinceGop_ = 0;
  }
  copySpan(start, source_.position());
  ++framesUsed_;
  return true;
}

bool VideoFixer::handleSlice(uint32_t code) {
  if (!checker_.slice(code)) return false;
  const uint64_t outputStart = output_.tell();
  const uint32_t start = source_.position();
  source_.skip(kStartCodeSize);
  nextStartCode(source_);
  copySpan(start, source_.position());
  lastSliceOutputPos_ = outputStart;
  return true;
}

bool VideoFixer::handleEndCode() {
  source_.skip(kStartCodeSize);
  if (!zerosToNextStartCode()) return false;
  checker_.clear();
  return true;
}

bool VideoFixer::zerosToNextStartCode() {
  const uint32_t start = source_.position();
  nextStartCode(source_);
  const uint32_t end = source_.position();
  source_.seek(start);
  // The offset of the first non-zero byte, or the length when there is none.
  uint32_t zeros = 0;
  bool nonZero = false;
  source_.readRuns(end - start, [&](const uint8_t* bytes, uint32_t length) {
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
  source_.seek(start + zeros + 1);  // just past the non-zero byte
  return false;
}

void VideoFixer::copySpan(uint32_t from, uint32_t to) {
  source_.seek(from);
  if (to > from) source_.readRuns(to - from, [this](const uint8_t* bytes, uint32_t length) { output_.write(bytes, length); });
  lastSliceOutputPos_ = 0;
}

void VideoFixer::putBytes(const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) output_.put(bytes[i]);
}

void VideoFixer::writeHeaders() {
  fillToBitrate(false);

  putBytes(kStartCodePrefixBytes, sizeof kStartCodePrefixBytes);
  output_.put(static_cast<int>(kSequenceHeaderCode));
  BitWriter sequence(output_);
  sequence.writeBits(kWidthBits, width_ & ((1u << kWidthBits) - 1));
  sequence.writeBits(kHeightBits, height_ & ((1u << kHeightBits) - 1));
  sequence.writeBits(kAspectRatioBits, aspectRatioCode_ & ((1u << kAspectRatioBits) - 1));
  sequence.writeBits(kFrameRateCodeBits, frameRateCode_ & ((1u << kFrameRateCodeBits) - 1));
  sequence.writeBits(kBitRateBits, bitRate_ & ((1u << kBitRateBits) - 1));
  sequence.writeBits(kMarkerBits, 1);
  sequence.writeBits(kVbvBufferSizeBits, vbvBufferSize_ & ((1u << kVbvBufferSizeBits) - 1));
  sequence.writeBits(kConstrainedFlagBits, constrainedParameters_ ? 1 : 0);
  sequence.flush();  // the two zero bits of padding: no quantiser matrices

  putBytes(kStartCodePrefixBytes, sizeof kStartCodePrefixBytes);
  output_.put(static_cast<int>(kGroupStartCode));
  BitWriter gop(output_);
  gop.writeBits(kDropFrameBits, 0);
  gop.writeBits(kHoursBits, 0);
  gop.writeBits(kMinutesBits, 0);
  gop.writeBits(kMarkerBits, 1);
  gop.writeBits(kSecondsBits, 0);
  gop.writeBits(kPicturesBits, 0);
  gop.writeBits(kClosedGopBits, 1);
  gop.writeBits(kBrokenLinkBits, 0);
  gop.flush();

  needHeaders_ = false;
}

void VideoFixer::fillToBitrate(bool force) {
  const uint32_t newFrames = framesUsed_ - framesAtLastFill_;
  if (!force && static_cast<double>(newFrames) < frameRate_) return;
  if (bitRate_ != kVariableBitRate) {
    const auto target = static_cast<uint64_t>(static_cast<long double>(framesUsed_) / frameRate_ * bitRate_ *
                                              kBytesPerSecondPerBitRateUnit);
    const uint64_t position = output_.tell();
    if (position < target) output_.putZeros(target - position);
  }
  framesAtLastFill_ = framesUsed_;
}
