#include "video/rescue_element_writer.h"

#include <cassert>

#include "source/bit_reader.h"
#include "source/start_code.h"
#include "video/group_header.h"
#include "video/picture_header.h"
#include "video/repeat_slice_writer.h"
#include "video/sequence_header.h"
#include "video/video_format.h"

namespace {

// A picture that does not ask the decoder to wait: VBV delay all ones.
constexpr uint32_t kVariableVbvDelay = 0xFFFF;
// Repeat pictures need no motion: the smallest range.
constexpr uint32_t kRepeatFCode = 1;

char letterOf(uint32_t codingType) { return " IPB"[codingType]; }

}  // namespace

RescueElementWriter::RescueElementWriter(ByteSource& video, const ProbedFormat& format, uint32_t widthInMacroblocks,
                                         uint32_t heightInMacroblocks)
    : video_(video),
      format_(format),
      widthInMacroblocks_(widthInMacroblocks),
      heightInMacroblocks_(heightInMacroblocks) {
  assert(widthInMacroblocks >= 1 && heightInMacroblocks >= 1);
}

void RescueElementWriter::begin(VideoStreamWriter* writer) { writer_ = writer; }

void RescueElementWriter::sequenceHeader(const PictureSurvey::Group& group) {
  assert(writer_ != nullptr && group.sequenceStart != group.sequenceEnd);
  writer_->beforeSequenceHeader();
  video_.seek(group.sequenceStart + kStartCodeSize);
  BitReader reader(video_);
  SequenceHeader header;
  const bool read = header.readTaken(reader) && !reader.overrun();
  if (read && header.width == format_.width && header.height == format_.height &&
      header.frameRateCode == format_.frameRateCode && isAspectRatioCode(header.aspectRatioCode)) {
    copy(group.sequenceStart, group.sequenceEnd);
  } else {
    SequenceHeader::of(format_).write(writer_->output());
  }
  writer_->afterSequenceHeader();
}

void RescueElementWriter::groupHeader(const PictureSurvey::Group* group, bool closed, bool afterSequenceHeader) {
  assert(writer_ != nullptr);
  if (!afterSequenceHeader) writer_->beforeGroupHeader();
  if (group != nullptr && group->header.closed == closed) {
    copy(group->headerStart, group->headerEnd);
  } else {
    GroupHeader header = group != nullptr ? group->header : GroupHeader();
    header.closed = closed;
    header.write(writer_->output());
  }
  writer_->afterGroupHeader();
}

void RescueElementWriter::inputPicture(const PictureSurvey::Picture& p, uint32_t reference) {
  assert(writer_ != nullptr);
  writer_->beforePicture(p.letter());
  inputHeader(p, reference);
  copy(p.headerEnd, p.end);
}

void RescueElementWriter::recodedPicture(const PictureSurvey::Picture& p, uint32_t reference, uint32_t codingType,
                                         uint32_t forwardFCode, const std::vector<uint8_t>& slices) {
  assert(writer_ != nullptr);
  writer_->beforePicture(letterOf(codingType));
  if (codingType == p.codingType) {
    inputHeader(p, reference);
  } else {
    ownHeader(codingType, reference, forwardFCode, 0);  // an I picture going out as P
  }
  writer_->output().write(slices.data(), slices.size());
}

void RescueElementWriter::ownPicture(uint32_t codingType, uint32_t reference, uint32_t forwardFCode,
                                     uint32_t backwardFCode, const std::vector<uint8_t>& slices) {
  assert(writer_ != nullptr);
  writer_->beforePicture(letterOf(codingType));
  ownHeader(codingType, reference, forwardFCode, backwardFCode);
  writer_->output().write(slices.data(), slices.size());
}

void RescueElementWriter::repeat(uint32_t codingType, uint32_t reference, bool backward) {
  assert(codingType == kPredictiveCoded || codingType == kBidirectionallyCoded);
  SliceContext context;
  context.codingType = codingType;
  context.widthInMacroblocks = widthInMacroblocks_;
  context.heightInMacroblocks = heightInMacroblocks_;
  buffer_.clear();
  RepeatSliceWriter(context, backward ? RepeatSliceWriter::Prediction::kBackward : RepeatSliceWriter::Prediction::kForward)
      .appendRows(&buffer_);
  ownPicture(codingType, reference, kRepeatFCode, codingType == kBidirectionallyCoded ? kRepeatFCode : 0, buffer_);
}

void RescueElementWriter::ownHeader(uint32_t codingType, uint32_t reference, uint32_t forwardFCode,
                                    uint32_t backwardFCode) {
  PictureHeader header;
  header.temporalReference = reference;
  header.codingType = codingType;
  header.vbvDelay = kVariableVbvDelay;
  header.forwardFCode = forwardFCode;
  header.backwardFCode = backwardFCode;
  header.write(writer_->output());
}

void RescueElementWriter::inputHeader(const PictureSurvey::Picture& p, uint32_t reference) {
  buffer_.clear();
  video_.seek(p.start);
  video_.readRuns(p.headerEnd - p.start,
                  [this](const uint8_t* bytes, uint32_t n) { buffer_.insert(buffer_.end(), bytes, bytes + n); });
  if (reference != p.temporalReference) PictureHeader::setTemporalReference(buffer_.data() + kStartCodeSize, reference);
  writer_->output().write(buffer_.data(), buffer_.size());
}

void RescueElementWriter::copy(uint32_t from, uint32_t to) {
  if (to <= from) return;
  OutputFile& output = writer_->output();
  video_.seek(from);
  video_.readRuns(to - from, [&output](const uint8_t* bytes, uint32_t n) { output.write(bytes, n); });
}
