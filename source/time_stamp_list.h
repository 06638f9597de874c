#ifndef ORVANTE_SOURCE_TIME_STAMP_LIST_H_
#define ORVANTE_SOURCE_TIME_STAMP_LIST_H_

#include <cstddef>
#include <cstdint>
#include <vector>

// The system clock of MPEG-1 time stamps.
constexpr uint64_t kTicksPerSecond = 90000;
// Time stamps are 33 bits wide and wrap around.
constexpr uint64_t kTimeStampModulus = uint64_t{1} << 33;

// The difference b - a of two time stamps, taken modulo kTimeStampModulus
// the short way round.
inline int64_t stampDifference(uint64_t a, uint64_t b) {
  const uint64_t forward = (b - a) & (kTimeStampModulus - 1);
  return forward < kTimeStampModulus / 2 ? static_cast<int64_t>(forward)
                                         : static_cast<int64_t>(forward) - static_cast<int64_t>(kTimeStampModulus);
}

// A presentation time stamp, and the decoding time stamp beside it, that the
// system layer gives the packet of an elementary stream. It applies to the
// first access unit (picture, or audio frame) that begins in the packet's
// payload. Positions are offsets in the elementary stream, as the stream's
// range view presents it.
struct TimeStamp {
  uint32_t offset = 0;  // where the packet's payload begins
  uint32_t length = 0;  // the payload's length
  uint64_t pts = 0;     // 90 kHz ticks, 33 bits
  uint64_t dts = 0;     // the same as pts when the packet gives none
};

// TimeStampList holds the time stamps of one elementary stream in stream
// order. It is owned by value by whoever reads the stamps, and never copied.
class TimeStampList {
 public:
  TimeStampList() = default;
  TimeStampList(const TimeStampList&) = delete;
  TimeStampList& operator=(const TimeStampList&) = delete;

  // REQUIRES: stamp.offset is not below the offset of the stamp added last.
  void append(const TimeStamp& stamp);
  void clear() { stamps_.clear(); }

  size_t count() const { return stamps_.size(); }
  bool empty() const { return stamps_.empty(); }
  // REQUIRES: k < count().
  const TimeStamp& operator[](size_t k) const { return stamps_[k]; }

 private:
  std::vector<TimeStamp> stamps_;
};

// How far the ends of a clean recording's two streams may lie apart: whole
// pictures and whole audio frames seldom end together, and muxers leave
// either stream up to a picture (1/25 s) longer. Starts, on the contrary,
// lie within half a frame of each other.
constexpr uint64_t kEndToleranceTicks = kTicksPerSecond / 25;

// How much loss the stamps are believed about. A stretch the stamps say was
// lost is bridged up to ten minutes; beyond that the clock jumped (the
// recording was joined from others, or a stamp is wild), and what follows
// goes on where the stretch began. All the stretches bridged in one stream,
// padding included, add up to no more than a minute beyond the time that
// survived: a short, broken input must not turn into hours of repeats.
constexpr uint64_t kLongestLossTicks = 10 * 60 * kTicksPerSecond;
constexpr uint64_t kLossAllowanceTicks = 60 * kTicksPerSecond;

// Those bounds counted in the unit of a stream's timeline (picture slots,
// audio frames), and the rule they make.
struct LossBound {
  int64_t longest;    // kLongestLossTicks in the unit
  int64_t allowance;  // kLossAllowanceTicks in the unit

  // What may still be bridged after `bridged` units were, `survived`
  // having survived: no more than one loss can be, nor more than the
  // allowance beyond what survived.
  int64_t allowed(int64_t survived, int64_t bridged) const {
    const int64_t left = allowance + survived - bridged;
    return left <= 0 ? 0 : left < longest ? left : longest;
  }
};

// The presentation times that a recording's outputs cover: from the first
// picture or audio frame shown to the end of the last, in 90 kHz ticks.
// Unknown when the stream gave no usable time.
struct PresentationSpan {
  uint64_t start = 0;
  uint64_t end = 0;
  bool known = false;
};

#endif  // ORVANTE_SOURCE_TIME_STAMP_LIST_H_
