#ifndef ORVANTE_DRIVER_AUDIO_ALONGSIDE_H_
#define ORVANTE_DRIVER_AUDIO_ALONGSIDE_H_

#include <memory>
#include <thread>

#include "container/audio_rescuer.h"
#include "source/byte_source.h"
#include "source/span_list_source.h"

// AudioAlongside analyses a recording's audio (AudioRescuer::analyze()) on
// a thread of its own while the caller goes on with the video's survey,
// which leaves a processor free most of the time: the analysis reads one
// frame header after another, each a wait for memory. The thread reads the
// audio's bytes where they lie (SpanListSource) and shares no source with
// the caller. Where that cannot be (the audio is not all in memory, or its
// memory may go while the input is read), or no thread can be had, the
// audio is analysed on the caller's thread, when it is first asked for.
// Either way the rescuer then reads the same bytes and finds the same.
//
// It owns the rescuer; it owns neither the audio, nor its stamps, nor the
// reporter, which must outlive it. The audio must not be read by anyone
// else while it lives.
class AudioAlongside {
 public:
  // Starts the analysis. The rescuer's arguments are AudioRescuer's.
  AudioAlongside(ByteSource& audio, const TimeStampList& stamps, ProgressCallback progress, RepairReporter* reporter);
  // Waits for the analysis when it still runs.
  ~AudioAlongside();

  AudioAlongside(const AudioAlongside&) = delete;
  AudioAlongside& operator=(const AudioAlongside&) = delete;

  // The rescuer, analysed: waits for the thread, or runs the analysis here.
  // From then on it is the caller's, on the caller's thread.
  AudioRescuer& analyzed();
  // Whether the analysis ran on a thread of its own.
  bool alongside() const { return alongside_; }

 private:
  const std::unique_ptr<SpanListSource> inPlace_;  // null: read through the audio itself
  AudioRescuer rescuer_;
  std::thread thread_;
  bool alongside_ = false;
  bool analyzed_ = false;
};

#endif  // ORVANTE_DRIVER_AUDIO_ALONGSIDE_H_
