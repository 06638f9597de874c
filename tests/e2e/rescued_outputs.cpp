#include "tests/e2e/rescued_outputs.h"

#include <vector>

#include "container/audio_frame_header.h"
#include "tests/video/slice_index.h"

std::string sliceTrouble(const Bytes& video) {
  std::vector<uint32_t> covered;
  size_t pictures = 0;
  uint32_t macroblocks = 0;
  for (const IndexedSlice& slice : indexSlices(video)) {
    if (slice.picture >= covered.size()) covered.resize(slice.picture + 1, 0);
    macroblocks = slice.context.widthInMacroblocks * slice.context.heightInMacroblocks;
    pictures = covered.size();
    const SliceWalk walk =
        SliceWalker(slice.context).walk(slice.verticalPosition, video.data() + slice.dataStart(), slice.dataLength());
    const std::string where = "picture " + std::to_string(slice.picture) + ", slice at " + std::to_string(slice.start);
    if (walk.fault != SliceFault::kNone) return where + ": " + sliceFaultName(walk.fault);
    if (walk.firstMacroblock != covered[slice.picture]) return where + ": does not follow the slice before";
    covered[slice.picture] = walk.lastMacroblock + 1;
  }
  for (size_t k = 0; k < pictures; ++k) {
    if (covered[k] != macroblocks) return "picture " + std::to_string(k) + " is not covered";
  }
  return {};
}

long wholeAudioFrames(const Bytes& audio) {
  long frames = 0;
  size_t at = 0;
  while (at < audio.size()) {
    AudioFrameHeader header;
    if (audio.size() - at < AudioFrameHeader::kSize || !header.read(audio.data() + at)) return -1;
    if (header.frameLength() == 0 || header.frameLength() > audio.size() - at) return -1;
    at += header.frameLength();
    ++frames;
  }
  return frames;
}

long pictureCount(const Bytes& video) {
  long count = 0;
  for (size_t i = 0; i + 3 < video.size(); ++i) {
    if (video[i] == 0 && video[i + 1] == 0 && video[i + 2] == 1 && video[i + 3] == 0) ++count;
  }
  return count;
}
