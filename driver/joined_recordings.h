#ifndef ORVANTE_DRIVER_JOINED_RECORDINGS_H_
#define ORVANTE_DRIVER_JOINED_RECORDINGS_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "source/range_list.h"
#include "source/time_stamp_list.h"

// JoinedRecordings splits what the demultiplexer found in an input that
// joins recordings of different formats into one part per recording, so
// that each is rescued in its own format, on its own clock.
//
// A recording's video is the stretch of the video stream from the sequence
// header that opens it to the next recording's; its audio is every audio
// packet of the input that begins before the next recording's first video
// byte, from where the recording before left off. Time stamps and suspect
// ranges go with the stretch they lie in, their offsets counted from its
// start.
//
// The parts are built at construction and owned by the object; nothing
// given to the constructor is kept.
class JoinedRecordings {
 public:
  struct Part {
    RangeList video;            // ranges of the demultiplexer's source
    RangeList audio;
    TimeStampList videoStamps;  // offsets in the part's video
    TimeStampList audioStamps;  // offsets in the part's audio
    RangeList videoSuspect;     // in the part's video
    bool suspectKnown = false;  // whether the whole video's were
  };

  // `video` and `audio`: the demultiplexer's ranges of its source, with
  // their stamps (offsets in the streams' views); `videoSuspect`: what of
  // the video view is suspect, or null when nothing is known; `starts`: the
  // video view offsets where the recordings after the first begin.
  // REQUIRES: `starts` increasing, each above 0 and below the video's total.
  JoinedRecordings(const RangeList& video, const RangeList& audio, const TimeStampList& videoStamps,
                   const TimeStampList& audioStamps, const RangeList* videoSuspect,
                   const std::vector<uint32_t>& starts);

  const std::vector<std::unique_ptr<Part>>& parts() const { return parts_; }

 private:
  std::vector<std::unique_ptr<Part>> parts_;
};

#endif  // ORVANTE_DRIVER_JOINED_RECORDINGS_H_
