// The options before the input: what each asks, what a bad one gets, and
// that the run they start writes what the plain run writes.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/recording_fixtures.h"
#include "tests/support/special_files.h"

namespace {

const std::string kUsageLine = "Usage: orvante [options] input\n";

// A Video CD image named clip.bin, which takes every pass, and what the plain
// run (no options) prints and writes for it.
class Options : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("clip.bin", readFile(testData("vcd.bin")));
    TempDir plain;
    plain.write("clip.bin", dir_.read("clip.bin"));
    const ProgramRun run = runOrvante(plain, {"clip.bin"});
    ASSERT_EQ(run.status, 0) << run.output;
    plainReport_ = run.output;
    plainVideo_ = plain.read("clip.mpv");
    plainAudio_ = plain.read("clip.mp2");
    ASSERT_FALSE(plainVideo_.empty());
    ASSERT_FALSE(plainAudio_.empty());
  }

  ProgramRun run(const std::vector<std::string>& arguments) { return runOrvante(dir_, arguments); }

  // The outputs of the plain run are in `folder` (relative to dir_) and
  // nowhere else.
  void expectOutputsIn(const std::string& folder) const {
    EXPECT_TRUE(dir_.read(folder + "/clip.mpv") == plainVideo_);
    EXPECT_TRUE(dir_.read(folder + "/clip.mp2") == plainAudio_);
    if (folder != ".") {
      EXPECT_FALSE(dir_.exists("clip.mpv") || dir_.exists("clip.mp2"));
    }
  }

  void expectNoOutputs() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name.find(".mpv") == std::string::npos && name.find(".mp2") == std::string::npos)
          << entry.path();
    }
  }

  TempDir dir_;
  std::string plainReport_;
  Bytes plainVideo_;
  Bytes plainAudio_;
};

}  // namespace

TEST_F(Options, HelpAndVersionAnswerWithoutABannerOrARun) {
  const ProgramRun help = run({"--help", "clip.bin"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind(kUsageLine, 0), 0u) << help.output;
  for (const char* option : {"-o, --output-dir DIR ", "-q, --quiet ", "    --rescue ", "-c, --check ", "-h, --help ",
                             "-V, --version ", "--  "}) {
    EXPECT_NE(help.output.find("\n  " + std::string(option)), std::string::npos) << option;
  }
  EXPECT_EQ(run({"-h"}).output, help.output);

  const ProgramRun version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, "orvante " ORVANTE_VERSION "\n");
  const std::string number = ORVANTE_VERSION;
  EXPECT_TRUE(!number.empty() && number.find_first_not_of("0123456789.") == std::string::npos) << number;
  EXPECT_EQ(run({"-q", "-V", "clip.bin"}).output, version.output);
  expectNoOutputs();
}

TEST_F(Options, BadOptionIsNamedAboveTheUsageLineAndStartsNoRun) {
  const struct {
    std::vector<std::string> arguments;
    std::string complaint;
  } cases[] = {
      {{"--bogus", "clip.bin"}, "Unknown option: --bogus"},
      {{"-x", "clip.bin"}, "Unknown option: -x"},
      {{"--quiet", "-qx", "clip.bin"}, "Unknown option: -x"},
      {{"-q", "-o"}, "Missing value for option: -o"},
      {{"--output-dir"}, "Missing value for option: --output-dir"},
      {{"-o", "", "clip.bin"}, "Missing value for option: -o"},
      {{"--output-dir=", "clip.bin"}, "Missing value for option: --output-dir="},
      {{"--quiet=yes", "clip.bin"}, "Option takes no value: --quiet=yes"},
      {{"-clip.bin"}, "Unknown option: -l"},  // -c is --check
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    const ProgramRun bad = run(c.arguments);
    EXPECT_EQ(bad.status, 255);
    EXPECT_EQ(bad.output, c.complaint + "\n" + kUsageLine);
    expectNoOutputs();
  }
}

TEST_F(Options, OutputFolderTakesTheOutputsUnderTheirUsualNames) {
  ASSERT_TRUE(std::filesystem::create_directories(dir_.file("out")));
  ASSERT_TRUE(std::filesystem::create_directories(dir_.file("in")));
  dir_.write("in/clip.bin", dir_.read("clip.bin"));
  dir_.write("in\\clip.bin", dir_.read("clip.bin"));  // '\' separates folders too
  const std::vector<std::vector<std::string>> spellings = {
      {"-o", "out", "clip.bin"},
      {"-oout", "in/clip.bin"},
      {"--output-dir", "out/", "in\\clip.bin"},
      {"--output-dir=" + dir_.file("out"), "clip.bin"},
      {"--out=out", "-q", "clip.bin"},  // a unique prefix; options in any order
  };
  for (const std::vector<std::string>& arguments : spellings) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    const ProgramRun written = run(arguments);
    EXPECT_EQ(written.status, 0) << written.output;
    if (arguments[1] != "-q") {
      EXPECT_EQ(written.output, plainReport_);
    }
    expectOutputsIn("out");
    EXPECT_FALSE(dir_.exists("in/clip.mpv") || dir_.exists("in\\clip.mpv"));
    std::filesystem::remove_all(dir_.file("out"));
    std::filesystem::create_directory(dir_.file("out"));
  }
}

TEST_F(Options, OutputFolderThatCannotTakeTheOutputsFailsTheRun) {
  const Bytes input = dir_.read("clip.bin");
  dir_.write("file", {1});
  const std::string video = dir_.file("out/clip.mpv");
  const std::string audio = dir_.file("out/clip.mp2");
  const struct {
    std::string folder;
    std::function<bool()> makeLink;  // in out/, before the run
    std::string refused;
  } cases[] = {
      {"missing", nullptr, "missing"},
      {"missing/", nullptr, "missing/"},
      {"file", nullptr, "file"},
#ifndef _WIN32
      {"/proc", nullptr, "/proc/clip.mpv"},  // a folder nobody may write into, whoever runs the test
#endif
      // Outputs that lead to the input are refused through the folder too.
      {"out", [&] { return makeSymlink("../clip.bin", video); }, "out/clip.mpv"},
      {"out",
       [&] {
         std::error_code error;
         std::filesystem::create_hard_link(std::filesystem::u8path(dir_.file("clip.bin")),
                                           std::filesystem::u8path(audio), error);
         return !error;
       },
       "out/clip.mp2"},
  };
  bool linkMissing = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder + " " + c.refused);
    std::filesystem::remove_all(dir_.file("out"));
    ASSERT_TRUE(std::filesystem::create_directory(dir_.file("out")));
    if (c.makeLink && !c.makeLink()) {
      linkMissing = true;
      continue;
    }
    const ProgramRun refused = run({"-o", c.folder, "clip.bin"});
    EXPECT_EQ(refused.status, 255);
    const std::string last = "\nCannot write: " + c.refused + "\n";
    ASSERT_GE(refused.output.size(), last.size());
    EXPECT_EQ(refused.output.substr(refused.output.size() - last.size()), last) << refused.output;
    EXPECT_FALSE(dir_.exists("clip.mpv") || dir_.exists("clip.mp2") || dir_.exists("missing"));
    const auto made = std::distance(std::filesystem::directory_iterator(dir_.file("out")), {});
    EXPECT_EQ(made, c.makeLink ? 1 : 0) << "an output was written";
    EXPECT_TRUE(dir_.read("clip.bin") == input);
  }
  EXPECT_TRUE(dir_.read("file") == Bytes{1});
  if (linkMissing) GTEST_SKIP() << "no symbolic link: " << kNoSpecialFiles;
}

TEST_F(Options, QuietRunPrintsTheReportWithoutProgressLines) {
  // The plain report less each progress line ("\r" to its line end) and the
  // line end that opens the audio pass's line.
  std::string expected = plainReport_;
  const size_t audio = expected.find("\n\rExtracting audio");
  ASSERT_NE(audio, std::string::npos);
  expected.erase(audio, 1);
  for (size_t line; (line = expected.find('\r')) != std::string::npos;) {
    expected.erase(line, expected.find('\n', line) + 1 - line);
  }
  ASSERT_NE(expected, plainReport_);
  ASSERT_NE(expected.find("Frames used:  "), std::string::npos) << expected;
  for (const char* quiet : {"-q", "--quiet"}) {
    const ProgramRun run = Options::run({quiet, "clip.bin"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, expected);
    expectOutputsIn(".");
  }
}

TEST_F(Options, DoubleDashEndsTheOptionsAndTheFirstOtherArgumentIsTheInput) {
  dir_.write("-clip.bin", dir_.read("clip.bin"));
  ProgramRun run = Options::run({"-q", "--", "-clip.bin", "--bogus"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(dir_.read("-clip.mpv") == plainVideo_);
  EXPECT_TRUE(dir_.read("-clip.mp2") == plainAudio_);

  // Whatever follows the input is ignored, options too.
  run = Options::run({"-o", ".", "clip.bin", "-q", "--bogus", "-o", "nowhere"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, plainReport_);
  expectOutputsIn(".");

  // Options without an input are the old usage.
  for (const std::vector<std::string>& noInput : {std::vector<std::string>{"-q"}, {"--"}, {"-o", "."}}) {
    run = Options::run(noInput);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(afterBanner(run.output), "Usage: ORVANTE filename\n");
  }
}
