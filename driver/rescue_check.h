#ifndef ORVANTE_DRIVER_RESCUE_CHECK_H_
#define ORVANTE_DRIVER_RESCUE_CHECK_H_

#include <string>

#include "driver/console.h"
#include "source/byte_source.h"

// RescueCheck is the run of --check: the rescue run itself (RescueRun), its
// progress lines and its report shown as --rescue shows them, with every
// output discarded (DiscardedOutputs), so that no file is created; its
// status says whether a rescue would repair anything. Since the check is the
// rescue, its report's rescue block is the one --rescue prints on the same
// input, and the status is read from that block.
//
// The check borrows the console, which must outlive it.
class RescueCheck {
 public:
  // What run() returns: the process's exit status.
  static constexpr int kNothingToRepair = 0;
  static constexpr int kRepairNeeded = 1;
  static constexpr int kFailed = -1;

  explicit RescueCheck(Console& console);

  // Runs the rescue on `source`, naming the outputs it discards after
  // `baseName`. Returns kNothingToRepair when the rescue block says what a
  // recording that needed nothing gets ("Nothing needed repair."),
  // kRepairNeeded when it says anything else, and kFailed when the rescue
  // run failed (it prints why).
  int run(ByteSource& source, const std::string& baseName);

 private:
  Console& console_;
};

#endif  // ORVANTE_DRIVER_RESCUE_CHECK_H_
