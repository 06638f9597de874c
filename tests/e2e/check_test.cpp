// --check: the rescue's analysis and report, no file written, and a status
// that says whether a rescue would repair anything.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/recording_fixtures.h"

namespace {

constexpr size_t kPackSize = 2324;  // vcd.mpg's, one a sector in vcd.bin
constexpr size_t kSectorSize = 2352;

// Every file in `dir` with its bytes.
std::map<std::string, Bytes> filesIn(const TempDir& dir) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(std::filesystem::u8path(dir.path()))) {
    const std::string name = entry.path().lexically_relative(std::filesystem::u8path(dir.path())).u8string();
    files[name] = entry.is_regular_file() ? readFile(entry.path().u8string()) : Bytes();
  }
  return files;
}

// `arguments` with the check asked as a rescue.
std::vector<std::string> asRescue(std::vector<std::string> arguments) {
  for (std::string& word : arguments) {
    if (word == "--check" || word == "-c") word = "--rescue";
  }
  return arguments;
}

}  // namespace

TEST(Check, PrintsWhatTheRescuePrintsWritesNothingAndTellsByItsStatus) {
  // vcd.bin with the two sectors that carry packs 4 and 5 of vcd.mpg (video)
  // read back as zeros.
  Bytes zeroed = readFile(testData("vcd.bin"));
  const Bytes stream = readFile(testData("vcd.mpg"));
  const auto pack = stream.begin() + static_cast<std::ptrdiff_t>(4 * kPackSize);
  const auto sector = std::search(zeroed.begin(), zeroed.end(), pack, pack + 64);
  ASSERT_NE(sector, zeroed.end());
  std::fill_n(sector, 2 * kSectorSize, 0);
  const struct {
    std::vector<std::string> arguments;
    int status;
  } cases[] = {
      {{"--check", "vcd.mpg"}, 0},
      {{"-c", "vcd.bin"}, 0},
      {{"--check", "bare.m1v"}, 0},
      {{"--check", "damaged.mpg"}, 1},
      {{"-c", "zeroed.bin"}, 1},
      {{"-q", "--check", "damaged.mpg"}, 1},
      {{"-cq", "vcd.mpg"}, 0},
      {{"--rescue", "-c", "-o", "out", "zeroed.bin"}, 1},
      // The errors of any run, told as the rescue tells them.
      {{"--check"}, 255},
      {{"--check", "missing.mpg"}, 255},
      {{"--check", "-o", "missing", "vcd.mpg"}, 255},
      {{"--check=yes", "vcd.mpg"}, 255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    TempDir dir;
    copyRecording(dir, "vcd.mpg");
    copyRecording(dir, "vcd.bin");
    copyRecording(dir, "bare.m1v");
    copyRecording(dir, "damaged.mpg");
    dir.write("zeroed.bin", zeroed);
    // Outputs of an earlier run, which a check leaves as they are.
    dir.write("vcd.mpv", {1, 2, 3});
    std::filesystem::create_directory(std::filesystem::u8path(dir.file("out")));
    const std::map<std::string, Bytes> before = filesIn(dir);

    const ProgramRun check = runOrvante(dir, c.arguments);
    EXPECT_FALSE(check.timedOut);
    EXPECT_EQ(check.status, c.status) << check.output;
    EXPECT_TRUE(filesIn(dir) == before) << "the check wrote into its folder";

    const ProgramRun rescue = runOrvante(dir, asRescue(c.arguments));
    EXPECT_EQ(check.output, rescue.output);
    EXPECT_EQ(rescue.status, c.status == 255 ? 255 : 0) << rescue.output;
    const bool nothing = check.output.find("\nRescue:\nNothing needed repair.\n") != std::string::npos;
    if (c.status != 255) {
      EXPECT_EQ(nothing, c.status == 0) << check.output;
    }
  }
}
