#include "driver/audio_alongside.h"

#include <system_error>

AudioAlongside::AudioAlongside(ByteSource& audio, const TimeStampList& stamps, ProgressCallback progress,
                               RepairReporter* reporter)
    : inPlace_(std::thread::hardware_concurrency() > 1 ? SpanListSource::gather(audio) : nullptr),
      rescuer_(inPlace_ != nullptr ? *inPlace_ : audio, stamps, progress, reporter) {
  if (inPlace_ == nullptr) return;
  try {
    thread_ = std::thread([this] { rescuer_.analyze(); });
    alongside_ = true;
  } catch (const std::system_error&) {
    // No thread to be had: analysed when asked for.
  }
}

AudioAlongside::~AudioAlongside() {
  if (thread_.joinable()) thread_.join();
}

AudioRescuer& AudioAlongside::analyzed() {
  if (!analyzed_) {
    if (thread_.joinable()) {
      thread_.join();
    } else {
      rescuer_.analyze();
    }
    analyzed_ = true;
  }
  return rescuer_;
}
