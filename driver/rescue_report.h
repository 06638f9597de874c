#ifndef ORVANTE_DRIVER_RESCUE_REPORT_H_
#define ORVANTE_DRIVER_RESCUE_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "source/repair_reporter.h"

// RescueReport is the driver's RepairReporter in a rescue run: it counts
// what the passes repaired and where, and gives the lines printed after the
// plain report. Places are times into the recording, mm:ss.ff (hundredths of
// a second); repairs less than a second apart make one place, shown with
// their count. At most kPlacesShown places are listed per kind, then a
// count of the rest.
class RescueReport : public RepairReporter {
 public:
  static constexpr size_t kPlacesShown = 20;

  void dropped(Drop reason, uint32_t offset, uint32_t length) override;
  void repaired(Repair kind, uint64_t time) override;
  void corrected(uint32_t offset, uint32_t bits) override;
  void timelineUnchecked() override { timelineUnchecked_ = true; }
  // Not one picture could go out: no video was written.
  void videoLeftOut() { videoLeftOut_ = true; }
  // The video is MPEG-2: it was written as the plain run writes it.
  void videoNotRescued() { videoNotRescued_ = true; }
  // The audio was left out, `framesFound` whole frames in it (0 or 1).
  void audioLeftOut(uint32_t framesFound) {
    audioLeftOut_ = true;
    audioFrameAlone_ = framesFound == 1;
  }

  // Whether nothing was dropped, put right or repaired yet.
  bool empty() const;

  // The lines of the report, without line ends: a title line, then one
  // line for the bits put right in sectors, one per kind of repair made, or
  // one saying nothing needed repair; then
  // a line each for video left out or not rescued, for audio left out, and
  // for a timeline left unchecked.
  std::vector<std::string> lines() const;

  // A time in 90 kHz ticks as mm:ss.ff.
  static std::string timeText(uint64_t ticks);

 private:
  struct Place {
    uint64_t first;  // ticks
    uint64_t last;
    uint32_t count;
  };
  struct Places {
    std::vector<Place> places;
    size_t total = 0;
  };
  static size_t index(Repair kind) { return static_cast<size_t>(kind); }
  static constexpr size_t kKinds = static_cast<size_t>(Repair::kMacroblockConcealed) + 1;

  Places places_[kKinds];
  uint32_t drops_ = 0;
  uint64_t correctedBits_ = 0;
  uint32_t correctedSectors_ = 0;
  bool timelineUnchecked_ = false;
  bool videoLeftOut_ = false;
  bool videoNotRescued_ = false;
  bool audioLeftOut_ = false;
  bool audioFrameAlone_ = false;
};

#endif  // ORVANTE_DRIVER_RESCUE_REPORT_H_
