#ifndef ORVANTE_DRIVER_CONSOLE_H_
#define ORVANTE_DRIVER_CONSOLE_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "source/progress_callback.h"

// Console is the text one run shows: the report lines and the progress line
// of the pass at work, written to a FILE* it is given and does not own (the
// file must outlive the console). Every line end flushes, and so does every
// rewrite of a progress line, so a reader sees each line as it happens.
//
// A progress line is "\r<label>: <percent>%", rewritten in place whenever the
// whole percentage changes and ended with a line end by the pass's 'E' event,
// which always shows 100 first. The percentage is done * 100 / total rounded
// to nearest, halves up; a total of 0 shows nothing. The console keeps one
// piece of progress state, the percentage shown last, shared by all passes;
// passes never overlap.
//
// With its progress lines hidden, a console writes the report lines only:
// no progress line, and not the line end that opens the audio pass either,
// which only separates the report from that pass's line.
//
// Not thread-safe: one run, one thread.
class Console {
 public:
  enum class ProgressLines { kShown, kHidden };
  // The passes that show progress, each with its label.
  enum class Pass {
    kSectors,  // "Decoding RIFF"
    kDemux,    // "Demuxing streams"
    kVideo,    // "Extracting video"
    kAudio,    // "Extracting audio"; its 'S' first writes a line end
    kCheck,    // "Checking video", a rescue run's survey of the video
  };

  // REQUIRES: out != nullptr, open for writing.
  Console(FILE* out, ProgressLines progressLines);

  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Writes `text` and a line end. A progress line left open by a pass that
  // stopped without its 'E' is ended first, when it shows anything.
  void printLine(const std::string& text);
  // An empty line (a line end only, after ending an open progress line).
  void printEmptyLine() { printLine(std::string()); }

  // One progress event of `pass` (the protocol of ProgressCallback);
  // unknown event letters are ignored.
  void progress(Pass pass, char event, uint32_t done, uint32_t total);
  // A callback for `pass` that sends its events to progress(); valid while
  // the console lives.
  ProgressCallback callbackFor(Pass pass);

 private:
  template <Pass kPass>
  static void forward(void* console, char event, uint32_t done, uint32_t total) {
    static_cast<Console*>(console)->progress(kPass, event, done, total);
  }

  // Shows the percentage of done / total when it differs from the one shown.
  void show(uint32_t done, uint32_t total, const char* label);
  void forgetShown();
  // Writes a line end and flushes.
  void endLine();

  FILE* const out_;
  const ProgressLines progressLines_;

  static constexpr int64_t kNothingShown = -1;
  // The percentage shown last on the open progress line, or kNothingShown.
  int64_t lastPercent_ = kNothingShown;
  // The done values [shownFrom_, shownTo_) of shownTotal_ that give the
  // percentage shown last: events within them print nothing and are answered
  // without arithmetic.
  uint32_t shownTotal_ = 0;
  uint64_t shownFrom_ = 1;
  uint64_t shownTo_ = 0;
};

#endif  // ORVANTE_DRIVER_CONSOLE_H_
