#ifndef ORVANTE_TESTS_SUPPORT_RECORDING_REPORTER_H_
#define ORVANTE_TESTS_SUPPORT_RECORDING_REPORTER_H_

#include <cstdint>
#include <vector>

#include "source/repair_reporter.h"

// RecordingReporter keeps everything a pass tells it, in order, so that
// tests can assert why data was dropped and what was repaired where.
class RecordingReporter : public RepairReporter {
 public:
  struct Dropped {
    Drop reason;
    uint32_t offset;
    uint32_t length;
  };
  struct Repaired {
    Repair kind;
    uint64_t time;
  };
  struct Corrected {
    uint32_t offset;  // the sector's
    uint32_t bits;
  };

  void dropped(Drop reason, uint32_t offset, uint32_t length) override { drops.push_back({reason, offset, length}); }
  void repaired(Repair kind, uint64_t time) override { repairs.push_back({kind, time}); }
  void corrected(uint32_t offset, uint32_t bits) override { corrections.push_back({offset, bits}); }
  void timelineUnchecked() override { unchecked = true; }

  // The reasons of the drops, in order.
  std::vector<Drop> dropReasons() const {
    std::vector<Drop> reasons;
    for (const Dropped& d : drops) reasons.push_back(d.reason);
    return reasons;
  }
  // How many repairs of `kind` were made.
  size_t count(Repair kind) const {
    size_t n = 0;
    for (const Repaired& r : repairs) n += r.kind == kind ? 1 : 0;
    return n;
  }

  std::vector<Dropped> drops;
  std::vector<Repaired> repairs;
  std::vector<Corrected> corrections;
  bool unchecked = false;
};

#endif  // ORVANTE_TESTS_SUPPORT_RECORDING_REPORTER_H_
