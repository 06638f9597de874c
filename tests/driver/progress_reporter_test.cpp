#include "driver/progress_reporter.h"

#include "source/progress_callback.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

class ProgressReporterTest : public testing::Test {
 protected:
  // Starts every test on a fresh line with nothing shown.
  void SetUp() override { printed([] { endProgressLine(); }); }

  // Everything `steps` writes to standard output.
  static std::string printed(const std::function<void()>& steps) {
    testing::internal::CaptureStdout();
    steps();
    return testing::internal::GetCapturedStdout();
  }
  // One event of a pass labelled "L".
  static void report(char event, uint32_t done = 0, uint32_t total = 0) {
    reportProgress(event, done, total, "L");
  }
  // The percentage a fresh pass shows for its first 'P' with done / total.
  static std::string firstShown(uint32_t done, uint32_t total) {
    return printed([&] {
      report('S');
      report('P', done, total);
      endProgressLine();
    });
  }
};

}  // namespace

TEST_F(ProgressReporterTest, ShowsEachPercentageOfAPassAndEndsAtAHundred) {
  EXPECT_EQ(printed([] {
              report('S');
              for (uint32_t done = 0; done < 3; ++done) report('P', done, 3);
              report('E');
            }),
            "\rL: 0%\rL: 33%\rL: 67%\rL: 100%\n");
  EXPECT_EQ(printed([] {
              demuxProgress('S', 0, 0);
              demuxProgress('P', 1, 2);
              demuxProgress('E', 0, 0);
            }),
            "\rDemuxing streams: 50%\rDemuxing streams: 100%\n");
}

TEST_F(ProgressReporterTest, ShowsAHundredOnlyOnce) {
  EXPECT_EQ(printed([] { report('S'); report('P', 199, 200); }), "\rL: 100%");
  EXPECT_EQ(printed([] { report('E'); }), "\n");
  EXPECT_EQ(printed([] { report('S'); report('E'); }), "\rL: 100%\n");
}

TEST_F(ProgressReporterTest, RepeatsNoPercentageAlreadyShown) {
  std::string eachOnce;
  for (int p = 0; p <= 100; ++p) eachOnce += "\rL: " + std::to_string(p) + "%";
  EXPECT_EQ(printed([] {
              report('S');
              for (uint32_t done = 0; done <= 1000; ++done) report('P', done, 1000);
              report('P', 1000, 1000);
              report('E');
            }),
            eachOnce + "\n");
}

TEST_F(ProgressReporterTest, RoundsToTheNearestPercentWithHalvesUp) {
  EXPECT_EQ(firstShown(1, 200), "\rL: 1%\n");
  EXPECT_EQ(firstShown(1, 8), "\rL: 13%\n");
  EXPECT_EQ(firstShown(3000000000u, 4000000000u), "\rL: 75%\n");
  EXPECT_EQ(firstShown(UINT32_MAX, UINT32_MAX), "\rL: 100%\n");
  EXPECT_EQ(firstShown(UINT32_MAX / 2, UINT32_MAX), "\rL: 50%\n");
  // Every fraction with a small total: the shown p must satisfy
  // p - 1/2 <= 100 * done / total < p + 1/2.
  for (uint64_t total = 1; total <= 64; ++total) {
    for (uint64_t done = 0; done <= total; ++done) {
      const std::string shown = firstShown(static_cast<uint32_t>(done), static_cast<uint32_t>(total));
      ASSERT_EQ(shown.compare(0, 4, "\rL: "), 0) << shown;
      const uint64_t p = std::strtoull(shown.c_str() + 4, nullptr, 10);
      EXPECT_LE((2 * p) * total, 200 * done + total) << done << "/" << total;
      EXPECT_GT((2 * p + 1) * total, 200 * done) << done << "/" << total;
    }
  }
}

TEST_F(ProgressReporterTest, PrintsNothingWithoutATotalOrForUnknownEvents) {
  EXPECT_EQ(printed([] {
              report('S');
              report('P', 5, 0);
              report('X', 1, 2);
              report('p', 1, 2);
              report('\0', 1, 2);
              endProgressLine();  // nothing was shown, so no line to end
            }),
            "");
}

TEST_F(ProgressReporterTest, AudioPassStartsWithAnEmptyLine) {
  EXPECT_EQ(printed([] {
              audioProgress('S', 0, 0);
              audioProgress('P', 1, 4);
              audioProgress('E', 0, 0);
            }),
            "\n\rExtracting audio: 25%\rExtracting audio: 100%\n");
}

TEST_F(ProgressReporterTest, EndProgressLineEndsOnlyALineThatShowsSomething) {
  EXPECT_EQ(printed([] { report('S'); report('P', 1, 2); endProgressLine(); endProgressLine(); }),
            "\rL: 50%\n");
  EXPECT_EQ(printed([] { report('S'); report('E'); endProgressLine(); }), "\rL: 100%\n");
  EXPECT_EQ(printed([] { report('S'); endProgressLine(); }), "");
  // After an ended line a new pass shows its percentage again.
  EXPECT_EQ(firstShown(1, 2), "\rL: 50%\n");
}

TEST_F(ProgressReporterTest, ReportingEveryProgressStepShowsWhatEveryByteShows) {
  // A pass over `total` bytes that reports each byte, and one that reports
  // every kProgressStep(total) bytes, print the same text.
  const auto pass = [](uint32_t total, uint32_t step) {
    return printed([&] {
      report('S');
      for (uint64_t done = 0; done < total; done += step) report('P', static_cast<uint32_t>(done), total);
      report('E');
    });
  };
  std::vector<uint32_t> totals;
  for (uint32_t total = 1; total <= 1500; ++total) totals.push_back(total);
  for (uint32_t total : {25599u, 25600u, 25601u, 99999u, 1000003u}) totals.push_back(total);
  for (uint32_t total : totals) {
    ASSERT_EQ(pass(total, kProgressStep(total)), pass(total, 1)) << total;
  }
}

TEST_F(ProgressReporterTest, EventsBetweenChangesOfPercentagePrintNothing) {
  // Uneven events, as one per start code, with totals of every size: the
  // text equals the distinct percentages in order.
  for (uint32_t total : {7u, 200u, 1001u, 4000000000u}) {
    std::string expected = "";
    int64_t last = -1;
    const std::string got = printed([&] {
      report('S');
      for (uint64_t done = 0; done < total; done += 1 + done / 3) {
        report('P', static_cast<uint32_t>(done), total);
        const int64_t percent = static_cast<int64_t>((done * 200 + total) / (uint64_t{total} * 2));
        if (percent != last) expected += "\rL: " + std::to_string(percent) + "%";
        last = percent;
      }
    });
    EXPECT_EQ(got, expected) << total;
    printed([] { endProgressLine(); });
  }
}
