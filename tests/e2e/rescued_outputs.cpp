#include "tests/e2e/rescued_outputs.h"

#include <vector>

#include "container/audio_frame_header.h"
#include "tests/video/slice_index.h"

std::string sliceTrouble(const Bytes& video) {
  for (const WalkedPicture& picture : walkPictures(video)) {
    if (!picture.trouble.empty()) return picture.trouble;
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
