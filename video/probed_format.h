#ifndef ORVANTE_VIDEO_PROBED_FORMAT_H_
#define ORVANTE_VIDEO_PROBED_FORMAT_H_

#include <cstdint>

// ProbedFormat is the format of a video elementary stream as the probe
// learnt it: from the stream's first usable sequence header, or estimated.
// Every sequence header that is written in place of the input's own is made
// from it, and the fill to the nominal bit rate follows its rates.
struct ProbedFormat {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frameRateCode = 0;
  uint32_t aspectRatioCode = 0;
  uint32_t bitRate = 0;        // units of 400 bit/s
  uint32_t vbvBufferSize = 0;
  bool constrainedParameters = false;
  bool estimated = true;       // not read from a sequence header
  double frameRate = 1.0;      // pictures per second, from frameRateCode
};

#endif  // ORVANTE_VIDEO_PROBED_FORMAT_H_
