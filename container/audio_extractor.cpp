#include "container/audio_extractor.h"

#include "source/output_file.h"
#include "source/output_name.h"

AudioExtractor::AudioExtractor(ByteSource& source, ProgressCallback progress) : source_(source), progress_(progress) {}

bool AudioExtractor::extract(const std::string& baseName) {
  writeFailed_ = false;
  const uint32_t size = source_.size();
  if (size == 0) return false;
  OutputFile output;
  if (!output.open(audioFileName(baseName))) {
    writeFailed_ = true;
    return true;
  }
  source_.seek(0);
  progress_('S', 0, 0);
  for (uint32_t i = 0; i < size; ++i) {
    progress_('P', i, size);
    output.put(source_.readU8());
    if (output.failed()) break;
  }
  if (!output.close()) {
    writeFailed_ = true;
    return true;
  }
  progress_('E', 0, 0);
  return true;
}
