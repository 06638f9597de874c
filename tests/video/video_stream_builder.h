#ifndef ORVANTE_TESTS_VIDEO_VIDEO_STREAM_BUILDER_H_
#define ORVANTE_TESTS_VIDEO_VIDEO_STREAM_BUILDER_H_

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "tests/support/temp_dir.h"

// The fields of a sequence header; the defaults make the 352x288, 25 fps
// header with no bit rate (so no fill) that most tests want.
struct SequenceFields {
  uint32_t width = 352;
  uint32_t height = 288;
  uint32_t aspect = 1;
  uint32_t rateCode = 3;
  uint32_t bitRate = 0;
  uint32_t marker = 1;
  uint32_t vbv = 20;
  uint32_t constrained = 1;
  bool intraMatrix = false;
  bool nonIntraMatrix = false;
};

// VideoStreamBuilder appends MPEG-1 video elements to a byte vector. It packs
// header fields with a bit packer of its own, so the streams it makes do not
// depend on the reader or writer under test.
class VideoStreamBuilder {
 public:
  VideoStreamBuilder& sequenceHeader(const SequenceFields& f = {}) {
    startCode(0xB3);
    bits(12, f.width);
    bits(12, f.height);
    bits(4, f.aspect);
    bits(4, f.rateCode);
    bits(18, f.bitRate);
    bits(1, f.marker);
    bits(10, f.vbv);
    bits(1, f.constrained);
    bits(1, f.intraMatrix ? 1 : 0);
    if (f.intraMatrix) matrix();
    bits(1, f.nonIntraMatrix ? 1 : 0);
    if (f.nonIntraMatrix) matrix();
    return pad();
  }

  // A group-of-pictures header at 00:00:00, picture 0, closed unless told
  // otherwise.
  VideoStreamBuilder& gop(bool closed = true) {
    startCode(0xB8);
    bits(1, 0);   // drop frame
    bits(5, 0);   // hours
    bits(6, 0);   // minutes
    bits(1, 1);   // marker
    bits(6, 0);   // seconds
    bits(6, 0);   // pictures
    bits(1, closed ? 1 : 0);
    bits(1, 0);   // broken link
    return pad();
  }

  // A picture header of type 'I', 'P' or 'B' (or 'D', type 4) with no extra
  // information: 8 bytes for I, 9 for P and B.
  VideoStreamBuilder& picture(char type, uint32_t temporalReference) {
    const uint32_t code = type == 'I' ? 1 : type == 'P' ? 2 : type == 'B' ? 3 : 4;
    startCode(0x00);
    bits(10, temporalReference);
    bits(3, code);
    bits(16, 0xFFFF);  // vbv delay
    if (code == 2 || code == 3) bits(4, 0x1);  // full pel 0, forward code 1
    if (code == 3) bits(4, 0x1);               // full pel 0, backward code 1
    bits(1, 0);                                // no extra information
    return pad();
  }

  // A slice: its start code and two bytes of data unless told otherwise.
  VideoStreamBuilder& slice(uint32_t code, Bytes data = {}) {
    startCode(static_cast<uint8_t>(code));
    if (data.empty()) data = {0x5A, static_cast<uint8_t>(code)};
    return raw(data);
  }

  // Any start code followed by `data`.
  VideoStreamBuilder& element(uint8_t code, const Bytes& data = {}) {
    startCode(code);
    return raw(data);
  }

  VideoStreamBuilder& raw(const Bytes& data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return *this;
  }

  // Appends everything another builder made.
  VideoStreamBuilder& append(const VideoStreamBuilder& other) { return raw(other.bytes()); }

  const Bytes& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  void startCode(uint8_t code) { raw({0x00, 0x00, 0x01, code}); }

  void bits(uint32_t n, uint32_t value) {
    for (uint32_t i = n; i-- > 0;) {
      if (bitCount_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bitCount_ % 8));
      ++bitCount_;
    }
  }

  VideoStreamBuilder& pad() {
    bitCount_ = 0;
    return *this;
  }

  // 64 bytes, none of them zero, so no start code can appear inside.
  void matrix() {
    for (int i = 0; i < 64; ++i) bits(8, 0x10);
  }

  Bytes bytes_;
  uint32_t bitCount_ = 0;  // bits packed into the header being built
};

// The pieces one after the other.
inline Bytes join(std::initializer_list<Bytes> pieces) {
  Bytes all;
  for (const Bytes& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

#endif  // ORVANTE_TESTS_VIDEO_VIDEO_STREAM_BUILDER_H_
