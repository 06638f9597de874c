#include "driver/console.h"

#include <cassert>
#include <cinttypes>

namespace {

const char* labelOf(Console::Pass pass) {
  switch (pass) {
    case Console::Pass::kSectors:
      return "Decoding RIFF";
    case Console::Pass::kDemux:
      return "Demuxing streams";
    case Console::Pass::kVideo:
      return "Extracting video";
    case Console::Pass::kAudio:
      return "Extracting audio";
    case Console::Pass::kCheck:
      return "Checking video";
  }
  return "";
}

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

}  // namespace

Console::Console(FILE* out, ProgressLines progressLines) : out_(out), progressLines_(progressLines) {
  assert(out != nullptr);
}

void Console::printLine(const std::string& text) {
  if (lastPercent_ != kNothingShown) {
    endLine();
    forgetShown();
  }
  std::fputs(text.c_str(), out_);
  endLine();
}

void Console::progress(Pass pass, char event, uint32_t done, uint32_t total) {
  if (progressLines_ == ProgressLines::kHidden) return;
  const char* const label = labelOf(pass);
  switch (event) {
    case 'S':
      if (pass == Pass::kAudio) endLine();
      forgetShown();
      break;
    case 'P':
      show(done, total, label);
      break;
    case 'E':
      show(1, 1, label);
      endLine();
      forgetShown();  // the line is closed
      break;
    default:
      break;
  }
}

ProgressCallback Console::callbackFor(Pass pass) {
  switch (pass) {
    case Pass::kSectors:
      return ProgressCallback(forward<Pass::kSectors>, this);
    case Pass::kDemux:
      return ProgressCallback(forward<Pass::kDemux>, this);
    case Pass::kVideo:
      return ProgressCallback(forward<Pass::kVideo>, this);
    case Pass::kAudio:
      return ProgressCallback(forward<Pass::kAudio>, this);
    case Pass::kCheck:
      return ProgressCallback(forward<Pass::kCheck>, this);
  }
  return ProgressCallback();
}

void Console::show(uint32_t done, uint32_t total, const char* label) {
  if (total == 0) return;  // no measure of progress
  if (total == shownTotal_ && done >= shownFrom_ && done < shownTo_) return;
  const int64_t percent = percentOf(done, total);
  shownTotal_ = total;
  shownFrom_ = firstDoneOf(percent, total);
  shownTo_ = firstDoneOf(percent + 1, total);
  if (percent == lastPercent_) return;
  std::fprintf(out_, "\r%s: %" PRId64 "%%", label, percent);
  std::fflush(out_);
  lastPercent_ = percent;
}

void Console::forgetShown() {
  lastPercent_ = kNothingShown;
  shownFrom_ = 1;
  shownTo_ = 0;
}

void Console::endLine() {
  std::fputc('\n', out_);
  std::fflush(out_);
}
