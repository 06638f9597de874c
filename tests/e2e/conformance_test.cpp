// The .mpv files written from real recordings, decoded by an independent
// decoder (ffmpeg): clean recordings must give back the very frames of their
// input, damaged ones a stream that decodes.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/recording_fixtures.h"
#include "tests/support/host_tools.h"

namespace {

// The per-frame hashes (last field of each framemd5 line), in order.
std::vector<std::string> frameHashes(const std::string& framemd5) {
  std::vector<std::string> hashes;
  std::istringstream lines(framemd5);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t comma = line.rfind(',');
    hashes.push_back(line.substr(comma == std::string::npos ? 0 : comma + 1));
    while (!hashes.back().empty() && hashes.back().front() == ' ') hashes.back().erase(0, 1);
  }
  return hashes;
}

class Conformance : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_TOOLS("it decodes the written video independently", "ffmpeg", "ffprobe"); }

  // Runs the program on `input` (already in dir_) and expects success.
  void process(const std::string& input) {
    const ProgramRun run = runOrvante(dir_, {input});
    ASSERT_EQ(run.status, 0) << run.output;
  }

  // Decodes `file` in dir_ with ffmpeg; `messages` receives what the decoder
  // said on its error stream.
  std::vector<std::string> decode(const std::string& file, std::string* messages) {
    const std::string errors = dir_.file("ffmpeg-messages.txt");
    int status = 0;
    const std::string framemd5 = runShell("ffmpeg -nostdin -v warning -flags +bitexact -f mpegvideo -i '" +
                                              dir_.file(file) +
                                              "' -map 0:v -fflags +bitexact -flags +bitexact -f framemd5 - 2>'" +
                                              errors + "'",
                                          &status);
    EXPECT_EQ(status, 0) << file;
    // Every message counts but the container's note that a bare stream's
    // duration comes from its bit rate.
    const Bytes said = readFile(errors);
    std::istringstream lines(std::string(said.begin(), said.end()));
    messages->clear();
    std::string line;
    while (std::getline(lines, line)) {
      if (line.find("Estimating duration from bitrate") == std::string::npos) *messages += line + "\n";
    }
    return frameHashes(framemd5);
  }

  // The frames ffmpeg decodes from the recording itself, recorded with it.
  std::vector<std::string> inputFrames(const std::string& recording) {
    const Bytes framemd5 = readFile(testData(recording));
    return frameHashes(std::string(framemd5.begin(), framemd5.end()));
  }

  void expectSameFrames(const std::string& output, const std::string& recordedFrames) {
    std::string messages;
    const std::vector<std::string> decoded = decode(output, &messages);
    const std::vector<std::string> expected = inputFrames(recordedFrames);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(decoded, expected) << output;
    EXPECT_EQ(messages, "") << output;
  }

  TempDir dir_;
};

}  // namespace

TEST_F(Conformance, SystemStreamGivesBackItsFrames) {
  copyRecording(dir_, "vcd.mpg");
  process("vcd.mpg");
  expectSameFrames("vcd.mpv", "vcd.framemd5");
}

TEST_F(Conformance, WholeDiscImageGivesBackItsFrames) {
  copyRecording(dir_, "vcd.bin");
  process("vcd.bin");
  expectSameFrames("vcd.mpv", "vcd.framemd5");
}

TEST_F(Conformance, CdxaTrackFileGivesBackItsFrames) {
  makeCdxaFile(dir_);
  process("vcd.dat");
  expectSameFrames("vcd.mpv", "vcd.framemd5");
}

TEST_F(Conformance, NumberedSetGivesBackItsFrames) {
  makeNumberedSet(dir_);
  process("seg.001");
  expectSameFrames("seg.mpv", "vcd.framemd5");
}

TEST_F(Conformance, BareStreamWithOpenGroupsGivesBackItsFrames) {
  copyRecording(dir_, "bare.m1v");
  process("bare.m1v");
  expectSameFrames("bare.mpv", "bare.framemd5");
}

TEST_F(Conformance, DamagedRecordingGivesAStreamThatDecodes) {
  copyRecording(dir_, "damaged.mpg");
  process("damaged.mpg");
  int status = 0;
  const std::string probe = runShell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" +
                                         dir_.file("damaged.mpv") + "'",
                                     &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(probe, "mpeg1video\n");
  std::string messages;
  const std::vector<std::string> decoded = decode("damaged.mpv", &messages);
  // Most pictures of the recording are intact; the decoder may still
  // conceal damage inside the slices that were copied as they stand.
  EXPECT_GE(decoded.size(), 15u);
  const Bytes output = dir_.read("damaged.mpv");
  const Bytes endCodes = {0x00, 0x00, 0x01, 0xB7, 0x00, 0x00, 0x01, 0xB9};
  ASSERT_GE(output.size(), endCodes.size());
  EXPECT_TRUE(std::equal(endCodes.begin(), endCodes.end(), output.end() - 8));
}
