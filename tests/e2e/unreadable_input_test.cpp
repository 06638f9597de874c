// Inputs on failing media: stretches whose reads fail with EIO, served by a
// test file system, and an input cut short by another process while the
// run reads it. Every run must end with status 0 and complete outputs, the
// lost bytes having gone through as zeros, and say so on its last line.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/recording_fixtures.h"
#include "source/platform.h"
#include "tests/support/failing_mount.h"
#include "tests/support/host_tools.h"
#include "tests/support/special_files.h"

namespace {

// Bytes that cannot be read are counted by these.
const uint64_t kUnit = platform::zeroUnit();

// The N of a last line "Unreadable input: N bytes read as zeros"; -1 when
// the output does not end with such a line.
long long unreadableReported(const std::string& output) {
  const size_t start = output.rfind('\n', output.size() >= 2 ? output.size() - 2 : 0);
  const std::string last = output.substr(start == std::string::npos ? 0 : start + 1);
  long long count = -1;
  char end = 0;
  if (std::sscanf(last.c_str(), "Unreadable input: %lld bytes read as zeros%c", &count, &end) != 2 || end != '\n') {
    return -1;
  }
  return count;
}

// What every run on damaged media must give: a finished run with audio.
void expectCompleteRun(const ProgramRun& run, const TempDir& dir, const std::string& base) {
  expectFinishedRun(run, dir, base);
  EXPECT_GT(expectAudioAsReported(run, dir, base), 0) << run.output;
}

class UnreadableInput : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    bool needed;
    if (!FailingMount::available(&why, &needed)) {
      if (needed && toolsRequired()) FAIL() << why;
      GTEST_SKIP() << why;
    }
  }

  // Puts `bytes` in the served folder as `name`.
  void serve(const std::string& name, const Bytes& bytes) {
    served_.write(name, bytes);
    names_.push_back(name);
  }
  // Mounts the served folder with `stretches` failing, and links each file
  // as the mount serves it into the run folder, where the outputs go.
  void mount(const std::vector<FailingMount::Stretch>& stretches) {
    mount_ = std::make_unique<FailingMount>(served_.path(), stretches);
    ASSERT_TRUE(mount_->mounted());
    for (const std::string& name : names_) {
      ASSERT_TRUE(makeSymlink(mount_->file(name), run_.file(name)));
    }
  }
  ProgramRun runOn(const std::string& name) { return runProgram(ORVANTE_BINARY, {name}, run_.path(), 120); }

  TempDir served_;
  TempDir run_;
  std::vector<std::string> names_;
  std::unique_ptr<FailingMount> mount_;
};

}  // namespace
TEST_F(UnreadableInput, StretchesAnywhereInADiscImageReadAsCountedZeros) {
  const Bytes image = readFile(testData("vcd.bin"));
  const uint64_t track = std::stoull(recordedFact("track2_byte", "vcd.bin"));
  const uint64_t size = image.size();
  struct Case {
    std::string name;
    uint64_t start, end;
  };
  const std::vector<Case> cases = {{"whole.bin", 0, 0},  // no fault: read as from a disk
                                   {"start.bin", 0, 20000},
                                   {"track.bin", track, track + 20000},
                                   {"middle.bin", size / 2, size / 2 + 20000},
                                   {"end.bin", size - 20000, size}};
  std::vector<FailingMount::Stretch> stretches;
  for (const Case& c : cases) {
    serve(c.name, image);
    if (c.end > c.start) stretches.push_back({c.name, c.start, c.end});
  }
  mount(stretches);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = c.name.substr(0, c.name.find('.'));
    const ProgramRun run = runOn(c.name);
    expectCompleteRun(run, run_, base);
    const long long lost = unreadableReported(run.output);
    if (c.end == c.start) {
      EXPECT_EQ(lost, -1) << "a report of unreadable bytes where none failed";
      EXPECT_EQ(md5Of(run_.file(base + ".mp2")), recordedFact("audio_md5", "vcd.mpg"));
    } else {
      // Whole pages: at most a part of one page more at either end.
      EXPECT_GE(lost, static_cast<long long>(c.end - c.start)) << run.output;
      EXPECT_LT(lost, static_cast<long long>(c.end - c.start + 2 * kUnit)) << run.output;
    }
  }
  EXPECT_TRUE(served_.read("middle.bin") == image) << "the input was changed";
}

TEST_F(UnreadableInput, StretchAcrossTwoMembersOfASetReadsAsCountedZeros) {
  const Bytes stream = readFile(testData("vcd.mpg"));
  const auto half = static_cast<std::ptrdiff_t>(stream.size() / 2);
  serve("seg.000", Bytes(stream.begin(), stream.begin() + half));
  serve("seg.001", Bytes(stream.begin() + half, stream.end()));
  mount({{"seg.000", static_cast<uint64_t>(half) - 10000, static_cast<uint64_t>(half)}, {"seg.001", 0, 10000}});
  const ProgramRun run = runOn("seg.001");
  expectCompleteRun(run, run_, "seg");
  const long long lost = unreadableReported(run.output);
  EXPECT_GE(lost, 20000) << run.output;
  EXPECT_LT(lost, static_cast<long long>(20000 + 2 * kUnit)) << run.output;
}

// The figures a user sees for a minute-long disc with 100,000 unreadable
// bytes in its middle.
TEST_F(UnreadableInput, MinuteLongDiscKeepsItsPicturesAroundAHundredThousandUnreadableBytes) {
  REQUIRE_TOOLS("they make the disc", "ffmpeg", "vcdimager");
  TempDir made;
  int status = -1;
  runShell("cd '" + made.path() + "' && ffmpeg -hide_banner -loglevel error -nostdin -f lavfi" +
               " -i testsrc2=size=352x288:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100" +
               " -t 60 -target pal-vcd minute.mpg && vcdimager -q -t vcd2 -c minute.cue -b minute.bin minute.mpg",
           &status);
  ASSERT_EQ(status, 0) << "ffmpeg and vcdimager could not make the disc";
  const Bytes image = made.read("minute.bin");
  ASSERT_GT(image.size(), 10'000'000u);
  serve("minute.bin", image);
  const uint64_t middle = image.size() / 2;
  mount({{"minute.bin", middle, middle + 100000}});
  const ProgramRun run = runOn("minute.bin");
  expectCompleteRun(run, run_, "minute");
  const long long lost = unreadableReported(run.output);
  EXPECT_GE(lost, 100000) << run.output;
  EXPECT_LE(lost, 110000) << run.output;
  unsigned used = 0, seen = 0;
  ASSERT_EQ(std::sscanf(reportValue(run.output, "Frames used:  ").c_str(), "%u of %u", &used, &seen), 2);
  EXPECT_GE(used, 1350u);
  EXPECT_LE(seen, 1500u);
}

TEST(InputCutShort, InputCutWhileTheRunReadsItEndsWellAndSaysSo) {
  const Bytes piece = readFile(testData("vcd.mpg"));
  Bytes stream;
  while (stream.size() < 150'000'000) stream.insert(stream.end(), piece.begin(), piece.end());
  const auto half = static_cast<std::ptrdiff_t>(stream.size() / 2);
  // A 150 MB stream cut to 3 MB, and the second of two members emptied,
  // while the run reads them.
  struct Case {
    std::vector<std::pair<std::string, Bytes>> members;
    std::string cutName;
    size_t kept;
    long long lostAtLeast, lostAtMost;
  };
  const std::vector<Case> cases = {
      {{{"long.mpg", stream}}, "long.mpg", 3'000'000, 100'000'000, static_cast<long long>(stream.size()) - 3'000'000},
      {{{"long.000", Bytes(stream.begin(), stream.begin() + half)},
        {"long.001", Bytes(stream.begin() + half, stream.end())}},
       "long.001",
       0,
       50'000'000,
       static_cast<long long>(stream.size()) - half}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cutName);
    TempDir dir;
    for (const auto& [name, bytes] : c.members) dir.write(name, bytes);
    bool cut = false;
    const ProgramRun run =
        runProgram(ORVANTE_BINARY, {c.members.front().first}, dir.path(), 300, [&](const std::string& output, int pid) {
          if (cut || output.find("Demuxing streams: ") == std::string::npos) return;
          pauseProgram(pid);  // held still while its input is cut
          cut = cutFile(dir.file(c.cutName), c.kept);
          resumeProgram(pid);
        });
    if (!cut) GTEST_SKIP() << "a mapped file cannot be cut short: " << kNoSpecialFiles;
    expectCompleteRun(run, dir, "long");
    // The passes after the cut read what it took away, or most of it.
    const long long lost = unreadableReported(run.output);
    EXPECT_GE(lost, c.lostAtLeast) << run.output;
    EXPECT_LE(lost, c.lostAtMost);
    for (const auto& [name, bytes] : c.members) {
      const Bytes left = dir.read(name);
      EXPECT_TRUE(left.size() <= bytes.size() && std::equal(left.begin(), left.end(), bytes.begin()))
          << name << " was changed";
    }
  }
}
