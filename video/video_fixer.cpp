#include "video/video_fixer.h"

#include <cstdio>

#include "source/bit_reader.h"
#include "source/output_name.h"
#include "source/start_code.h"
#include "video/group_header.h"
#include "video/picture_header.h"
#include "video/sequence_header.h"
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

// The end of every header: aligned, within the data, followed by zero bytes
// only up to the next start code.
bool headerEndsWell(BitReader& reader, ByteSource& source) {
  reader.alignToByte();
  return !reader.overrun() && zerosToNextStartCode(source);
}

}  // namespace

VideoFixer::VideoFixer(ByteSource& source, ProgressCallback progress, RepairReporter* reporter)
    : source_(source), progress_(progress), reporter_(reporter), writer_(format_) {}

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

  format_.estimated = true;
  source_.seek(0);
  for (;;) {
    const uint32_t code = nextStartCode(source_);
    if (code == NoStartCode || done) break;
    source_.skip(kStartCodeSize);
    if (code == kSequenceHeaderCode) {
      BitReader reader(source_);
      SequenceHeader header;
      if (!header.readFormat(reader)) continue;  // not a usable header
      header.stateIn(&format_);
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

  if (format_.estimated) {
    format_.height = maxSliceCode * kLinesPerSliceRow;
    format_.width = format_.height * 22 / 15;
    format_.frameRateCode = kEstimatedFrameRateCode;
    for (const EstimatedSize& size : kEstimatedSizes) {
      if (size.height == format_.height) {
        format_.width = size.width;
        format_.frameRateCode = size.frameRateCode;
      }
    }
    format_.aspectRatioCode = kEstimatedAspectRatioCode;
    format_.vbvBufferSize = kEstimatedVbvBufferSize;
    format_.constrainedParameters = true;
  }
  format_.frameRate = frameRateOf(format_.frameRateCode).rate;
  if (format_.estimated) {
    // Without a twelfth I picture, the average over the whole stream.
    if (!measured && pictureCount > 0) {
      bitsPerPicture = static_cast<double>(static_cast<long double>(source_.position()) * 8 / pictureCount);
    }
    const auto bitsPerSecond =
        static_cast<uint32_t>(static_cast<uint64_t>(static_cast<long double>(bitsPerPicture) * format_.frameRate));
    // Up to the next 1000 bit/s, 10000 bit/s more, in units of 400 bit/s.
    format_.bitRate = ((bitsPerSecond + 999) / 1000 * 1000 + 10000) / 400;
  }
}

std::string VideoFixer::formatText() const {
  char text[64];
  std::snprintf(text, sizeof text, "%ux%u %sfps%s", format_.width, format_.height,
                frameRateOf(format_.frameRateCode).name, format_.estimated ? " (estimated)" : "");
  return text;
}

uint64_t VideoFixer::actualBitrate() const {
  if (framesUsed_ == 0) return 0;
  return static_cast<uint64_t>(static_cast<long double>(outputSize()) * 8 / framesUsed_ * format_.frameRate);
}

// ---------------------------------------------------------------------------
// Rewrite

void VideoFixer::rewrite(const std::string& baseName) {
  probe();
  writeFailed_ = false;
  if (!writer_.open(videoFileName(baseName))) {
    writeFailed_ = true;
    return;
  }
  framesUsed_ = 0;
  picturesSeen_ = 0;
  lastSliceOutputPos_ = 0;
  source_.seek(0);
  checker_.reset();

  OutputFile& output = writer_.output();
  progress_('S', 0, 0);
  for (;;) {
    const uint32_t code = nextStartCode(source_);
    if (code == NoStartCode) break;
    const uint32_t position = source_.position();
    progress_('P', position, source_.size());
    if (handleStartCode(code)) {
      if (output.failed()) break;
      continue;
    }
    // Rejected: take back the slice written last, wait for the next I
    // picture, and search the rejected element's bytes for start codes.
    if (lastSliceOutputPos_ != 0) {
      output.seek(lastSliceOutputPos_);
      drop(RepairReporter::Drop::kSliceTakenBack, lastSliceStart_, position);
    }
    drop(RepairReporter::Drop::kStartCodeRejected, position, position + kStartCodeSize);
    lastSliceOutputPos_ = 0;
    checker_.clear();
    source_.seek(position + 1);
  }
  if (!writer_.finish()) {
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

bool VideoFixer::handleSequenceHeader() {
  const uint32_t start = source_.position();
  source_.skip(kStartCodeSize);
  BitReader reader(source_);
  SequenceHeader header;
  if (!header.read(reader) || !headerEndsWell(reader, source_)) return false;
  if (checker_.sequenceHeader()) {
    writer_.beforeSequenceHeader();
    copySpan(start, source_.position());
    writer_.afterSequenceHeader();
  }
  return true;
}

bool VideoFixer::handleGopHeader() {
  const uint32_t start = source_.position();
  source_.skip(kStartCodeSize);
  BitReader reader(source_);
  GroupHeader header;
  if (!header.read(reader) || !headerEndsWell(reader, source_)) return false;
  if (checker_.gopHeader()) {
    copySpan(start, source_.position());
    writer_.afterGroupHeader();
  }
  return true;
}

bool VideoFixer::handlePicture() {
  const uint32_t start = source_.position();
  source_.skip(kStartCodeSize);
  BitReader reader(source_);
  PictureHeader header;
  header.read(reader);
  if (!headerEndsWell(reader, source_)) return false;
  const char letter = header.letter();
  if (letter == 0) return false;  // D pictures and reserved types
  ++picturesSeen_;
  if (!checker_.picture(letter, header.temporalReference)) {
    drop(RepairReporter::Drop::kPictureOutOfOrder, start, source_.position());
    return true;  // left out, with its slices
  }
  writer_.beforePicture(letter);
  copySpan(start, source_.position());
  ++framesUsed_;
  return true;
}

bool VideoFixer::handleSlice(uint32_t code) {
  if (!checker_.slice(code)) return false;
  const uint64_t outputStart = writer_.output().tell();
  const uint32_t start = source_.position();
  source_.skip(kStartCodeSize);
  nextStartCode(source_);
  copySpan(start, source_.position());
  lastSliceOutputPos_ = outputStart;
  lastSliceStart_ = start;
  return true;
}

bool VideoFixer::handleEndCode() {
  source_.skip(kStartCodeSize);
  if (!zerosToNextStartCode(source_)) return false;
  checker_.clear();
  return true;
}

void VideoFixer::copySpan(uint32_t from, uint32_t to) {
  source_.seek(from);
  OutputFile& output = writer_.output();
  if (to > from) source_.readRuns(to - from, [&output](const uint8_t* bytes, uint32_t length) { output.write(bytes, length); });
  lastSliceOutputPos_ = 0;
}

void VideoFixer::drop(RepairReporter::Drop reason, uint32_t from, uint32_t to) {
  if (reporter_ != nullptr) reporter_->dropped(reason, from, to - from);
}
