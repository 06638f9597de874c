#ifndef ORVANTE_TESTS_VIDEO_RESCUE_STREAM_BUILDER_H_
#define ORVANTE_TESTS_VIDEO_RESCUE_STREAM_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "source/time_stamp_list.h"
#include "tests/video/video_stream_builder.h"
#include "video/repeat_slice_writer.h"
#include "video/slice_walker.h"

// RescueStreamBuilder makes small video elementary streams that decoders
// take whole: pictures of 48x32 (3 by 2 macroblocks), one slice per row,
// the slices those the repeat slice writer makes (mid-grey in I pictures,
// the reference in P and B pictures). It keeps the time stamps a system
// layer would give them, one per picture, and can leave out what damage
// takes away.
class RescueStreamBuilder {
 public:
  static constexpr uint32_t kWidth = 3;   // macroblocks
  static constexpr uint32_t kHeight = 2;
  static constexpr uint64_t kTicks = 3600;     // a picture at 25 fps
  static constexpr uint64_t kOrigin = 43200;   // the first slot's presentation time

  // A sequence header and a group header whose pictures start at display
  // slot `base`.
  RescueStreamBuilder& group(uint32_t base, bool closed = false) {
    SequenceFields f;
    f.width = kWidth * 16;
    f.height = kHeight * 16;
    stream_.sequenceHeader(f);
    stream_.gop(closed);
    base_ = base;
    return *this;
  }

  // A group whose headers were lost: its pictures follow the group before
  // in the stream, from display slot `base`.
  RescueStreamBuilder& lostGroup(uint32_t base) {
    base_ = base;
    return *this;
  }

  // A picture of type 'I', 'P' or 'B' with temporal reference `tref`: its
  // header and slices, and a stamp (presentation time of its slot, and for
  // anchors the decoding time: when the anchor before it shows).
  RescueStreamBuilder& picture(char type, uint32_t tref) { return add(type, tref, false); }
  // The same picture, lost: neither its bytes nor its stamp go in.
  RescueStreamBuilder& lost(char type, uint32_t tref) { return add(type, tref, true); }
  // Appends bytes that break the slice written last (its data then ends in
  // bits that are not zero).
  RescueStreamBuilder& breakLastSlice() {
    stream_.raw({0xFF, 0x5A});
    return *this;
  }

  // Appends the end code of a system stream, and the bytes a multiplexer
  // filled its packet with after it.
  RescueStreamBuilder& endCode(const Bytes& filler) {
    stream_.raw({0x00, 0x00, 0x01, 0xB9});
    stream_.raw(filler);
    return *this;
  }

  const Bytes& bytes() const { return stream_.bytes(); }
  const TimeStampList& stamps() const { return stamps_; }
  // Where the pictures begin in bytes(), the lost ones left out.
  const std::vector<uint32_t>& pictureOffsets() const { return offsets_; }

 private:
  RescueStreamBuilder& add(char type, uint32_t tref, bool lost) {
    const uint64_t slot = base_ + tref;
    const uint64_t pts = kOrigin + slot * kTicks;
    const bool anchor = type != 'B';
    const uint64_t dts = anchor ? (haveAnchor_ ? lastAnchorPts_ : pts - kTicks) : pts;
    if (anchor) {
      lastAnchorPts_ = pts;
      haveAnchor_ = true;
    }
    if (lost) return *this;
    const auto offset = static_cast<uint32_t>(stream_.size());
    VideoStreamBuilder picture;
    picture.picture(type, tref);
    const uint32_t codingType = type == 'I' ? 1 : type == 'P' ? 2 : 3;
    const SliceContext context = {codingType, 1, 1, kWidth, kHeight};
    const RepeatSliceWriter slices(context);
    Bytes rows;
    for (uint32_t row = 0; row < kHeight; ++row) slices.append(row * kWidth, row * kWidth + kWidth - 1, &rows);
    picture.raw(rows);
    stream_.append(picture);
    offsets_.push_back(offset);
    TimeStamp stamp;
    stamp.offset = offset;
    stamp.length = static_cast<uint32_t>(picture.size());
    stamp.pts = pts;
    stamp.dts = dts;
    stamps_.append(stamp);
    return *this;
  }

  VideoStreamBuilder stream_;
  TimeStampList stamps_;
  std::vector<uint32_t> offsets_;
  uint32_t base_ = 0;
  uint64_t lastAnchorPts_ = 0;
  bool haveAnchor_ = false;
};

#endif  // ORVANTE_TESTS_VIDEO_RESCUE_STREAM_BUILDER_H_
