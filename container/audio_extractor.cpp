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
  const uint32_t step = kProgressStep(size);
  for (uint32_t i = 0; i < size && !output.failed();) {
    progress_('P', i, size);
    const uint32_t chunk = size - i < step ? size - i : step;
    source_.readRuns(chunk, [&output](const uint8_t* bytes, uint32_t length) { output.write(bytes, length); });
    i += chunk;
  }
  if (!output.close()) {
    writeFailed_ = true;
    return true;
  }
  progress_('E', 0, 0);
  return true;
}
