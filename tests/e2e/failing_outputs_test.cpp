// Outputs that cannot be written — a folder in the way, a full device, a
// FIFO nobody reads — or must not be, because they lead back to the input:
// each is reported by name with status 255, leaves no incomplete file, and
// the input stays as it was.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/stream_ends.h"
#include "tests/e2e/recording_fixtures.h"
#include "tests/support/special_files.h"

namespace {

class FailingOutputs : public ::testing::Test {
 protected:
  void SetUp() override {
    copyRecording(dir_, "vcd.mpg");
    input_ = dir_.read("vcd.mpg");
  }

  ProgramRun process(const std::string& argument) { return runProgram(ORVANTE_BINARY, {argument}, dir_.path(), 20); }

  // The run failed on `name` and said so.
  static void expectCannotWrite(const ProgramRun& run, const std::string& name) {
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 255) << run.output;
    EXPECT_NE(run.output.find("\nCannot write: " + name + "\n"), std::string::npos) << run.output;
  }

  void expectInputUnchanged() const { EXPECT_TRUE(dir_.read("vcd.mpg") == input_) << "the input was changed"; }

  bool isDirectory(const std::string& name) const { return std::filesystem::is_directory(dir_.file(name)); }

  // Whether `name` still leads to the file `target` (wine shows a host's
  // link as the file it leads to).
  bool leadsTo(const std::string& name, const std::string& target) const {
    std::error_code error;
    return std::filesystem::equivalent(dir_.file(name), dir_.file(target), error);
  }

  TempDir dir_;
  Bytes input_;
};

}  // namespace

TEST_F(FailingOutputs, FolderNamedAsTheVideoStopsTheRunBeforeTheAudio) {
  ASSERT_TRUE(std::filesystem::create_directory(dir_.file("vcd.mpv")));
  dir_.write("vcd.mpv/kept", {1, 2, 3});
  expectCannotWrite(process("vcd.mpg"), "vcd.mpv");
  EXPECT_TRUE(isDirectory("vcd.mpv"));
  EXPECT_TRUE(dir_.read("vcd.mpv/kept") == Bytes({1, 2, 3}));
  EXPECT_FALSE(dir_.exists("vcd.mp2"));
  expectInputUnchanged();
}

TEST_F(FailingOutputs, FolderNamedAsTheAudioFailsTheRunAndLeavesNoPartOfTheAudio) {
  ASSERT_TRUE(std::filesystem::create_directory(dir_.file("vcd.mp2")));
  const ProgramRun run = process("vcd.mpg");
  expectCannotWrite(run, "vcd.mp2");
  EXPECT_TRUE(isDirectory("vcd.mp2"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.file("vcd.mp2")));
  // The video was finished before the audio was begun, and is kept whole.
  const Bytes video = dir_.read("vcd.mpv");
  EXPECT_TRUE(endsWithEndCodes(video));
  expectInputUnchanged();
}

TEST_F(FailingOutputs, VideoLeadingToAFullDeviceIsRemoved) {
  if (!linkToFullDevice(dir_.file("vcd.mpv"))) GTEST_SKIP() << "no full device: " << kNoSpecialFiles;
  expectCannotWrite(process("vcd.mpg"), "vcd.mpv");
  EXPECT_FALSE(dir_.exists("vcd.mpv"));
  EXPECT_FALSE(dir_.exists("vcd.mp2"));
  expectInputUnchanged();
}

TEST_F(FailingOutputs, OutputsThatLeadToTheInputAreRefusedBeforeAnythingIsWritten) {
  std::filesystem::create_hard_link(dir_.file("vcd.mpg"), dir_.file("vcd.mp2"));
  expectCannotWrite(process("vcd.mpg"), "vcd.mp2");
  EXPECT_FALSE(dir_.exists("vcd.mpv")) << "the video was written before the audio was refused";
  EXPECT_TRUE(dir_.read("vcd.mp2") == input_) << "the link was emptied";
  expectInputUnchanged();

  ASSERT_TRUE(std::filesystem::remove(dir_.file("vcd.mp2")));
  if (!makeSymlink("vcd.mpg", dir_.file("vcd.mpv"))) GTEST_SKIP() << "no symbolic link: " << kNoSpecialFiles;
  expectCannotWrite(process("vcd.mpg"), "vcd.mpv");
  EXPECT_TRUE(leadsTo("vcd.mpv", "vcd.mpg"));
  EXPECT_FALSE(dir_.exists("vcd.mp2"));
  expectInputUnchanged();
}

TEST_F(FailingOutputs, OutputLeadingToAMemberOfTheSetIsRefused) {
  const std::vector<std::string> members = makeNumberedSet(dir_);
  std::vector<Bytes> before;
  for (const std::string& member : members) before.push_back(dir_.read(member));
  if (!makeSymlink("seg.004", dir_.file("seg.mpv"))) GTEST_SKIP() << "no symbolic link: " << kNoSpecialFiles;
  expectCannotWrite(process("seg.000"), "seg.mpv");
  for (size_t k = 0; k < members.size(); ++k) EXPECT_TRUE(dir_.read(members[k]) == before[k]) << members[k];
  EXPECT_TRUE(leadsTo("seg.mpv", "seg.004"));
  EXPECT_FALSE(dir_.exists("seg.mp2"));
}

TEST_F(FailingOutputs, FifoWithoutAReaderIsReportedWithoutWaiting) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: a FIFO in a folder";
#else
  ASSERT_EQ(::mkfifo(dir_.file("vcd.mpv").c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  expectCannotWrite(process("vcd.mpg"), "vcd.mpv");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(dir_.exists("vcd.mp2"));
  expectInputUnchanged();
#endif
}
