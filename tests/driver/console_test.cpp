#include "driver/console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "source/progress_callback.h"
#include "tests/support/temp_dir.h"

namespace {

// A console writing into a file of its own. The test reads the file by name,
// through a handle of its own, so only what the console flushed is seen.
class ConsoleTest : public testing::Test {
 protected:
  void SetUp() override { open(Console::ProgressLines::kShown); }
  void TearDown() override { close(); }

  void open(Console::ProgressLines lines) {
    close();
    file_ = std::fopen(dir_.file("console").c_str(), "wb");
    ASSERT_NE(file_, nullptr);
    console_ = std::make_unique<Console>(file_, lines);
    read_ = 0;
  }
  void close() {
    console_.reset();
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
  }

  // Everything `steps` writes through the console.
  std::string printed(const std::function<void()>& steps) {
    steps();
    std::ifstream in(dir_.file("console"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(read_));
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    read_ += text.size();
    return text;
  }
  // One event of a pass; its label is "Demuxing streams".
  void report(char event, uint32_t done = 0, uint32_t total = 0) {
    console_->progress(Console::Pass::kDemux, event, done, total);
  }
  // What a fresh pass shows for its first 'P' with done / total; the line is
  // then ended by a report line, which is not returned.
  std::string firstShown(uint32_t done, uint32_t total) {
    const std::string text = printed([&] {
      report('S');
      report('P', done, total);
    });
    printed([&] { console_->printLine("report"); });
    return text;
  }

  TempDir dir_;
  FILE* file_ = nullptr;
  std::unique_ptr<Console> console_;
  size_t read_ = 0;
};

// "\rDemuxing streams: <p>%" for each percentage p given.
std::string shown(std::initializer_list<int> percents) {
  std::string text;
  for (int percent : percents) text += "\rDemuxing streams: " + std::to_string(percent) + "%";
  return text;
}

}  // namespace

TEST_F(ConsoleTest, EachPassShowsItsLabelAndEndsAtAHundred) {
  const struct {
    Console::Pass pass;
    std::string text;
  } passes[] = {
      {Console::Pass::kSectors, "\rDecoding RIFF: 0%\rDecoding RIFF: 33%\rDecoding RIFF: 67%\rDecoding RIFF: 100%\n"},
      {Console::Pass::kDemux, shown({0, 33, 67, 100}) + "\n"},
      {Console::Pass::kVideo, "\rExtracting video: 0%\rExtracting video: 33%\rExtracting video: 67%"
                              "\rExtracting video: 100%\n"},
      // The audio pass opens with an empty line below the report.
      {Console::Pass::kAudio, "\n\rExtracting audio: 0%\rExtracting audio: 33%\rExtracting audio: 67%"
                              "\rExtracting audio: 100%\n"},
  };
  for (const auto& expected : passes) {
    const ProgressCallback callback = console_->callbackFor(expected.pass);
    EXPECT_EQ(printed([&] {
                callback('S', 0, 0);
                for (uint32_t done = 0; done < 3; ++done) callback('P', done, 3);
                callback('E', 0, 0);
              }),
              expected.text);
  }
}

TEST_F(ConsoleTest, RoundsToTheNearestPercentWithHalvesUp) {
  EXPECT_EQ(firstShown(1, 200), shown({1}));
  EXPECT_EQ(firstShown(1, 8), shown({13}));
  EXPECT_EQ(firstShown(3000000000u, 4000000000u), shown({75}));
  EXPECT_EQ(firstShown(UINT32_MAX, UINT32_MAX), shown({100}));
  EXPECT_EQ(firstShown(UINT32_MAX / 2, UINT32_MAX), shown({50}));
  // Every fraction with a small total: the shown p must satisfy
  // p - 1/2 <= 100 * done / total < p + 1/2.
  const std::string prefix = "\rDemuxing streams: ";
  for (uint64_t total = 1; total <= 64; ++total) {
    for (uint64_t done = 0; done <= total; ++done) {
      const std::string line = firstShown(static_cast<uint32_t>(done), static_cast<uint32_t>(total));
      ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
      const uint64_t p = std::strtoull(line.c_str() + prefix.size(), nullptr, 10);
      EXPECT_LE((2 * p) * total, 200 * done + total) << done << "/" << total;
      EXPECT_GT((2 * p + 1) * total, 200 * done) << done << "/" << total;
    }
  }
}

TEST_F(ConsoleTest, EndsAProgressLineOnceAndBeforeAnyReportLine) {
  // Each row runs on from the one before.
  const struct {
    const char* what;
    std::function<void()> steps;
    std::string text;
  } rows[] = {
      {"a hundred shown", [&] { report('S'), report('P', 199, 200); }, shown({100})},
      {"then the end, once", [&] { report('E'); }, "\n"},
      {"a pass that ends unseen shows a hundred", [&] { report('S'), report('E'); }, shown({100}) + "\n"},
      {"no total, or events of no kind: nothing shown, no line to end",
       [&] {
         report('S'), report('P', 5, 0), report('X', 1, 2), report('p', 1, 2), report('\0', 1, 2);
         console_->printLine("report");
       },
       "report\n"},
      {"a report line after an unfinished pass",
       [&] { report('S'), report('P', 1, 2), console_->printLine("Cannot write: x"); },
       shown({50}) + "\nCannot write: x\n"},
      {"a report line after a finished pass", [&] { report('S'), report('E'), console_->printLine("a"); },
       shown({100}) + "\na\n"},
      {"after an ended line a new pass shows its percentage again", [&] { report('S'), report('P', 1, 2); },
       shown({50})},
  };
  for (const auto& row : rows) EXPECT_EQ(printed(row.steps), row.text) << row.what;
}

TEST_F(ConsoleTest, HiddenProgressLinesLeaveTheReportAlone) {
  open(Console::ProgressLines::kHidden);
  EXPECT_EQ(printed([&] {
              for (Console::Pass pass : {Console::Pass::kSectors, Console::Pass::kDemux, Console::Pass::kVideo,
                                         Console::Pass::kAudio}) {
                const ProgressCallback callback = console_->callbackFor(pass);
                callback('S', 0, 0);
                callback('P', 1, 2);
                if (pass != Console::Pass::kVideo) callback('E', 0, 0);  // the video pass stops short
                console_->printLine("line");
              }
            }),
            "line\nline\nline\nline\n");
}

TEST_F(ConsoleTest, ReportingEveryProgressStepShowsWhatEveryByteShows) {
  // A pass over `total` bytes that reports each byte, and one that reports
  // every kProgressStep(total) bytes, print the same text.
  const auto pass = [&](uint32_t total, uint32_t step) {
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

TEST_F(ConsoleTest, ShowsEachPercentageOnceAsItChanges) {
  // Events at every step, and uneven ones as one per start code, with totals
  // of every size, then the last again: the text is the distinct
  // percentages in order, a hundred once.
  for (const bool even : {true, false}) {
    for (uint32_t total : {7u, 200u, 1000u, 1001u, 4000000000u}) {
      if (even && total > 1000000) continue;
      SCOPED_TRACE(testing::Message() << total << (even ? " even" : " uneven"));
      std::string expected;
      int64_t last = -1;
      const std::string got = printed([&] {
        report('S');
        for (uint64_t done = 0; done <= total; done += even ? 1 : 1 + done / 3) {
          report('P', static_cast<uint32_t>(done), total);
          const int64_t percent = static_cast<int64_t>((done * 200 + total) / (uint64_t{total} * 2));
          if (percent != last) expected += shown({static_cast<int>(percent)});
          last = percent;
        }
        report('P', total, total);
        report('E');
      });
      if (last != 100) expected += shown({100});
      EXPECT_EQ(got, expected + "\n");
    }
  }
}
