#ifndef ORVANTE_CONTAINER_AUDIO_EXTRACTOR_H_
#define ORVANTE_CONTAINER_AUDIO_EXTRACTOR_H_

#include <string>

#include "source/byte_source.h"
#include "source/progress_callback.h"

// AudioExtractor writes its source, the audio elementary stream, unchanged to
// the ".mp2" file named after the input. It does not own its source, which
// must outlive it.
class AudioExtractor {
 public:
  AudioExtractor(ByteSource& source, ProgressCallback progress);

  // Returns false, touching no file and sending no event, when the source is
  // empty. Otherwise writes every byte of the source in order to
  // audioFileName(baseName) and returns true. When that file cannot be
  // written, writeFailed() turns true, the incomplete file is removed, and
  // the pass ends at once without its 'E' event.
  bool extract(const std::string& baseName);

  // True when the last extract() could not write its file.
  bool writeFailed() const { return writeFailed_; }

 private:
  ByteSource& source_;
  ProgressCallback progress_;
  bool writeFailed_ = false;
};

#endif  // ORVANTE_CONTAINER_AUDIO_EXTRACTOR_H_
