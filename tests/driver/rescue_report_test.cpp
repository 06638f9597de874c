#include "driver/rescue_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Repair = RepairReporter::Repair;

uint64_t seconds(double s) { return static_cast<uint64_t>(s * 90000); }

}  // namespace

TEST(RescueReport, GathersRepairsIntoPlacesAndCountsTheRest) {
  RescueReport report;
  EXPECT_EQ(report.lines(), (std::vector<std::string>{"Rescue:", "Nothing needed repair."}));

  // Repairs less than a second apart make one place, whichever way they come.
  for (double t : {4.4, 4.8, 4.6, 5.5, 12.0}) report.repaired(Repair::kPictureRepeated, seconds(t));
  report.repaired(Repair::kSilentAudioFrame, seconds(65.25));
  for (int k = 0; k < 23; ++k) report.repaired(Repair::kMacroblockConcealed, seconds(2.0 * k));
  report.timelineUnchecked();
  const std::vector<std::string> lines = report.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "Rescue:");
  EXPECT_EQ(lines[1], "Pictures repeated:       5 at 00:04.40 (4), 00:12.00");
  EXPECT_EQ(lines[2], "Audio frames of silence: 1 at 01:05.25");
  EXPECT_EQ(lines[3].substr(0, 46), "Macroblocks concealed:   23 at 00:00.00, 00:02");
  EXPECT_NE(lines[3].find(", 00:38.00 and 3 more places"), std::string::npos) << lines[3];
  EXPECT_EQ(lines[4].rfind("Timeline not checked", 0), 0u) << lines[4];

  // Drops alone: nothing was put in their place.
  RescueReport drops;
  drops.dropped(RepairReporter::Drop::kBrokenAudioFrame, 0, 10);
  EXPECT_EQ(drops.lines().back(), "Damaged data was left out; nothing needed to be put in its place.");
  drops.audioLeftOut(0);
  EXPECT_EQ(drops.lines().back(), "Audio left out: not one whole frame was found.");
  drops.audioLeftOut(1);
  EXPECT_EQ(drops.lines().back(), "Audio left out: one whole frame alone, which players do not open.");
}
