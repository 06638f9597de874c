#include "video/video_stream_writer.h"

#include "video/group_header.h"
#include "video/sequence_header.h"
#include "video/video_format.h"

namespace {

// New headers go before an I picture once this many pictures went out since
// the last group-of-pictures header.
constexpr uint32_t kPicturesPerGroup = 30;

// The bit rate field counts 400 bit/s; the fill works in bytes: 400 / 8.
constexpr uint32_t kBytesPerSecondPerBitRateUnit = 50;

}  // namespace

VideoStreamWriter::VideoStreamWriter(const ProbedFormat& format) : format_(format) {}

bool VideoStreamWriter::open(const std::string& name) {
  needHeaders_ = true;
  picturesSinceGroup_ = 0;
  picturesWritten_ = 0;
  picturesAtLastFill_ = 0;
  outputSize_ = 0;
  return output_.open(name);
}

void VideoStreamWriter::beforeSequenceHeader() { fillToBitrate(false); }

void VideoStreamWriter::beforePicture(char letter) {
  if (needHeaders_) writeHeaders();
  ++picturesSinceGroup_;
  if (letter == 'I' && picturesSinceGroup_ >= kPicturesPerGroup) {
    writeHeaders();
    picturesSinceGroup_ = 0;
  }
  ++picturesWritten_;
}

bool VideoStreamWriter::finish() {
  fillToBitrate(true);
  output_.write(kStreamEndBytes, sizeof kStreamEndBytes);
  outputSize_ = output_.tell();
  return output_.close();
}

void VideoStreamWriter::writeHeaders() {
  fillToBitrate(false);
  SequenceHeader sequence;
  sequence.width = format_.width;
  sequence.height = format_.height;
  sequence.aspectRatioCode = format_.aspectRatioCode;
  sequence.frameRateCode = format_.frameRateCode;
  sequence.bitRate = format_.bitRate;
  sequence.vbvBufferSize = format_.vbvBufferSize;
  sequence.constrainedParameters = format_.constrainedParameters;
  sequence.write(output_);
  GroupHeader group;  // 00:00:00, picture 0
  group.closed = true;
  group.write(output_);
  needHeaders_ = false;
}

void VideoStreamWriter::fillToBitrate(bool force) {
  const uint32_t newPictures = picturesWritten_ - picturesAtLastFill_;
  if (!force && static_cast<double>(newPictures) < format_.frameRate) return;
  if (format_.bitRate != kVariableBitRate) {
    const auto target = static_cast<uint64_t>(static_cast<long double>(picturesWritten_) / format_.frameRate *
                                              format_.bitRate * kBytesPerSecondPerBitRateUnit);
    const uint64_t position = output_.tell();
    if (position < target) output_.putZeros(target - position);
  }
  picturesAtLastFill_ = picturesWritten_;
}
