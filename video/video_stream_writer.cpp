#include "video/video_stream_writer.h"

#include "source/start_code.h"
#include "video/group_header.h"
#include "video/sequence_header.h"
#include "video/video_format.h"

namespace {

// New headers go before an I picture once this many pictures went out since
// the last group-of-pictures header.
constexpr uint32_t kPicturesPerGroup = 30;

// The bit rate field counts 400 bit/s; the fill works in bytes: 400 / 8.
constexpr uint32_t kBytesPerSecondPerBitRateUnit = 50;
// The VBV buffer size field counts 16 kbit: 16384 / 8 bytes.
constexpr uint32_t kBytesPerBufferUnit = 2048;

// A buffer model needs a rate in bits and in pictures: the 1 picture a
// second that bit rates assume of an unknown frame rate would have every
// picture fill the buffer on its own.
bool hasBufferModel(const ProbedFormat& format) {
  return format.bitRate != 0 && format.bitRate != kVariableBitRate && format.vbvBufferSize != 0 &&
         ticksPerPicture(format.frameRateCode) > 0;
}

}  // namespace

VideoStreamWriter::VideoStreamWriter(const ProbedFormat& format, Fill fill, OutputFile::Writing writing)
    : format_(&format), fill_(fill), output_(writing) {}

bool VideoStreamWriter::open(const std::string& name) {
  // The format is complete by now, whenever the writer was made.
  takeBufferModel();
  needHeaders_ = true;
  picturesSinceGroup_ = 0;
  picturesWritten_ = 0;
  picturesAtLastFill_ = 0;
  outputSize_ = 0;
  occupancy_ = 0;
  pictureStart_ = 0;
  pictureOpen_ = false;
  nextStart_ = 0;
  return output_.open(name);
}

void VideoStreamWriter::takeBufferModel() {
  bufferModel_ = hasBufferModel(*format_);
  bufferBytes_ = static_cast<double>(format_->vbvBufferSize) * kBytesPerBufferUnit;
  bytesPerPicture_ =
      bufferModel_ ? static_cast<double>(format_->bitRate) * kBytesPerSecondPerBitRateUnit / format_->frameRate : 0;
}

void VideoStreamWriter::startRecording(const ProbedFormat& format) {
  if (fill_ == Fill::kWithinBuffer) {
    endPictureWithinBuffer();
  } else {
    fillToBitrate(true);
  }
  format_ = &format;
  takeBufferModel();
  // The new recording's buffer starts empty, as a decoder's does at a new
  // sequence; its first picture gets headers unless its own come first.
  occupancy_ = 0;
  needHeaders_ = true;
  picturesSinceGroup_ = 0;
}

void VideoStreamWriter::beforeSequenceHeader() {
  if (fill_ == Fill::kToNominalSize) {
    fillToBitrate(false);
  } else {
    endPictureWithinBuffer();
  }
}

void VideoStreamWriter::beforeGroupHeader() {
  if (fill_ == Fill::kWithinBuffer) endPictureWithinBuffer();
}

void VideoStreamWriter::endPictureWithinBuffer() {
  if (pictureOpen_) {
    pictureOpen_ = false;
    if (bufferModel_) {
      // The picture leaves the buffer; until the next is taken, a picture's
      // worth of bytes arrives. What would not fit is written now as zeros.
      const double size = static_cast<double>(output_.tell() - pictureStart_);
      occupancy_ = occupancy_ - size + bytesPerPicture_;
      if (occupancy_ > bufferBytes_) {
        const auto zeros = static_cast<uint64_t>(occupancy_ - bufferBytes_);
        output_.putZeros(zeros);
        occupancy_ -= static_cast<double>(zeros);
      }
    }
    if (picturesWritten_ == 2) padSecondPicture();
    // Headers written from here on belong to the next picture.
    nextStart_ = output_.tell();
  }
}

void VideoStreamWriter::padSecondPicture() {
  // A reader that takes the stream a chunk at a time and guesses the time
  // stamps of the pictures it finds before it has decoded the first one
  // (ffmpeg's raw video reader, 1024 bytes a chunk) takes the second picture
  // for one shown at once when the third picture starts in the chunk that
  // ends the second, and B pictures after it then show out of time. Zero
  // bytes, which may stand before any start code, carry the third picture
  // into the next chunk.
  const uint64_t chunkEnd = (secondPictureCode_ + kStartCodeSize) / kReaderChunkBytes * kReaderChunkBytes +
                            kReaderChunkBytes;
  const uint64_t at = output_.tell();
  if (at < chunkEnd) output_.putZeros(chunkEnd - at);
}

void VideoStreamWriter::beforePicture(char letter) {
  if (fill_ == Fill::kWithinBuffer) {
    endPictureWithinBuffer();
    pictureStart_ = nextStart_;
    pictureOpen_ = true;
  }
  if (needHeaders_) writeHeaders();
  ++picturesSinceGroup_;
  if (letter == 'I' && picturesSinceGroup_ >= kPicturesPerGroup) {
    writeHeaders();
    picturesSinceGroup_ = 0;
  }
  if (picturesWritten_ == 1) secondPictureCode_ = output_.tell();
  ++picturesWritten_;
}

bool VideoStreamWriter::finish() {
  if (fill_ == Fill::kToNominalSize) {
    fillToBitrate(true);
  } else {
    endPictureWithinBuffer();
  }
  output_.write(kStreamEndBytes, sizeof kStreamEndBytes);
  outputSize_ = output_.tell();
  return output_.close();
}

void VideoStreamWriter::writeHeaders() {
  if (fill_ == Fill::kToNominalSize) fillToBitrate(false);
  SequenceHeader::of(*format_).write(output_);
  GroupHeader group;  // 00:00:00, picture 0
  group.closed = true;
  group.write(output_);
  needHeaders_ = false;
}

void VideoStreamWriter::fillToBitrate(bool force) {
  const uint32_t newPictures = picturesWritten_ - picturesAtLastFill_;
  if (!force && static_cast<double>(newPictures) < format_->frameRate) return;
  if (format_->bitRate != kVariableBitRate) {
    const auto target = static_cast<uint64_t>(static_cast<long double>(picturesWritten_) / format_->frameRate *
                                              format_->bitRate * kBytesPerSecondPerBitRateUnit);
    const uint64_t position = output_.tell();
    if (position < target) output_.putZeros(target - position);
  }
  picturesAtLastFill_ = picturesWritten_;
}
