#include "driver/progress_reporter.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr int64_t kNothingShown = -1;

// The percentage shown last in the current pass, or kNothingShown.
int64_t lastPercent = kNothingShown;

// The done values [shownFrom, shownTo) of `shownTotal` that give the
// percentage shown last: events within them print nothing and are
// answered without arithmetic.
uint32_t shownTotal = 0;
uint64_t shownFrom = 1;
uint64_t shownTo = 0;

int64_t percentOf(uint32_t done, uint32_t total) {
  // Nearest whole percent, halves up, in 64 bits so that sizes of 2 GiB and
  // more still print correctly.
  return static_cast<int64_t>((uint64_t{done} * 200 + total) / (uint64_t{total} * 2));
}

// The first done value of `total` whose percentage is at least `percent`.
uint64_t firstDoneOf(int64_t percent, uint32_t total) {
  const uint64_t scaled = 2 * uint64_t{total} * static_cast<uint64_t>(percent);
  return scaled <= total ? 0 : (scaled - total + 199) / 200;
}

void forgetShown() {
  lastPercent = kNothingShown;
  shownFrom = 1;
  shownTo = 0;
}

void show(uint32_t done, uint32_t total, const char* label) {
  if (total == 0) return;  // no measure of progress
  if (total == shownTotal && done >= shownFrom && done < shownTo) return;
  const int64_t percent = percentOf(done, total);
  shownTotal = total;
  shownFrom = firstDoneOf(percent, total);
  shownTo = firstDoneOf(percent + 1, total);
  if (percent == lastPercent) return;
  std::printf("\r%s: %" PRId64 "%%", label, percent);
  std::fflush(stdout);
  lastPercent = percent;
}

void newLine() {
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

void reportProgress(char event, uint32_t done, uint32_t total, const char* label) {
  switch (event) {
    case 'S':
      forgetShown();
      break;
    case 'P':
      show(done, total, label);
      break;
    case 'E':
      show(1, 1, label);
      newLine();
      forgetShown();  // the line is closed
      break;
    default:
      break;
  }
}

void riffProgress(char event, uint32_t done, uint32_t total) {
  reportProgress(event, done, total, "Decoding RIFF");
}

void demuxProgress(char event, uint32_t done, uint32_t total) {
  reportProgress(event, done, total, "Demuxing streams");
}

void videoProgress(char event, uint32_t done, uint32_t total) {
  reportProgress(event, done, total, "Extracting video");
}

void audioProgress(char event, uint32_t done, uint32_t total) {
  if (event == 'S') newLine();
  reportProgress(event, done, total, "Extracting audio");
}

void endProgressLine() {
  if (lastPercent == kNothingShown) return;
  newLine();
  forgetShown();
}
