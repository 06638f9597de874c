#include "driver/rescue_check.h"

#include <algorithm>
#include <cassert>
#include <vector>

#include "driver/rescue_report.h"
#include "driver/rescue_run.h"
#include "source/discarded_outputs.h"

RescueCheck::RescueCheck(Console& console) : console_(console) {}

int RescueCheck::run(ByteSource& source, const std::string& baseName) {
  const DiscardedOutputs discarded;
  RescueRun rescue(console_);
  if (!rescue.run(source, baseName)) return kFailed;
  // A report that recorded nothing: its title, then the line that says so,
  // which a clean recording's block holds too.
  const std::vector<std::string> nothing = RescueReport().lines();
  assert(nothing.size() >= 2);
  const std::vector<std::string>& said = rescue.reportLines();
  return std::find(said.begin(), said.end(), nothing[1]) != said.end() ? kNothingToRepair : kRepairNeeded;
}
