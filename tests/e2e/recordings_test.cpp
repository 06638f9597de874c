// The real recordings in each of their forms, run through the program: the
// report, the audio written and the inputs left behind.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/recording_fixtures.h"
#include "tests/support/special_files.h"

namespace {

// A fact recorded with the recordings; a missing one fails the test.
std::string fact(const std::string& name, const std::string& file) {
  const std::string value = recordedFact(name, file);
  EXPECT_FALSE(value.empty()) << "no fact " << name << " " << file;
  return value;
}

bool showsProgressLine(const std::string& output, const std::string& label) {
  return output.find("\r" + label + ": 100%\n") != std::string::npos;
}

// Every progress line, "\r<label>: <n>%" repeated, ends with its label at 100%.
void expectProgressLinesEndAtAHundred(const std::string& output) {
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] != '\r') continue;
    const std::string label = line.substr(1, line.find(':') - 1);
    EXPECT_EQ(line.substr(line.rfind('\r')), "\r" + label + ": 100%") << line;
  }
  EXPECT_EQ(output.back(), '\n');
}

// The inputs are the very files the facts were measured on, before and after a run.
void expectAsRecorded(const TempDir& dir, const std::vector<std::string>& names) {
  for (const std::string& name : names) EXPECT_EQ(md5Of(dir.file(name)), fact("md5", name)) << name;
}

// One recording in one of its forms.
struct Form {
  std::string argument;
  std::function<std::vector<std::string>(const TempDir&)> makeInputs;
  std::string audioFile;  // written beside the input
  std::string factsOf;    // the file whose extraction facts hold for it
  bool sectors;
};

std::vector<std::string> recording(const TempDir& dir, const std::string& name) {
  copyRecording(dir, name);
  return {name};
}

}  // namespace

TEST(Recordings, EveryFormOfTheRecordingGivesTheSameStreams) {
  const auto systemStream = [](const TempDir& dir) { return recording(dir, "vcd.mpg"); };
  const auto discImage = [](const TempDir& dir) { return recording(dir, "vcd.bin"); };
  const auto trackFile = [](const TempDir& dir) {
    makeCdxaFile(dir);
    return std::vector<std::string>{"vcd.dat"};
  };
  const std::vector<Form> forms = {
      {"vcd.mpg", systemStream, "vcd.mp2", "vcd.mpg", false},
      {"vcd.bin", discImage, "vcd.mp2", "vcd.mpg", true},  // ffmpeg cannot read the image
      {"vcd.dat", trackFile, "vcd.mp2", "vcd.dat", true},
      {"seg.004", makeNumberedSet, "seg.mp2", "vcd.mpg", false},  // the members joined are vcd.mpg
      {"seg", makeNumberedSet, "seg.mp2", "vcd.mpg", false},
  };
  Bytes firstAudio;
  std::vector<std::string> riffSizes;
  for (const Form& form : forms) {
    SCOPED_TRACE(form.argument);
    TempDir dir;
    const std::vector<std::string> inputs = form.makeInputs(dir);
    expectAsRecorded(dir, inputs);
    const ProgramRun run = runOrvante(dir, {form.argument});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(reportValue(run.output, "Video size: "), fact("video_bytes", form.factsOf));
    EXPECT_EQ(reportValue(run.output, "Audio size: "), fact("audio_bytes", form.factsOf));
    EXPECT_EQ(md5Of(dir.file(form.audioFile)), fact("audio_md5", form.factsOf));
    const Bytes audio = dir.read(form.audioFile);
    if (firstAudio.empty()) firstAudio = audio;
    EXPECT_TRUE(audio == firstAudio) << "the audio differs from that of " << forms[0].argument;

    if (form.sectors) {
      EXPECT_EQ(reportValue(run.output, "Source file size: "), fact("bytes", form.argument));
      riffSizes.push_back(reportValue(run.output, "RIFF data size:   "));
      EXPECT_TRUE(showsProgressLine(run.output, "Decoding RIFF"));
    } else {
      EXPECT_EQ(run.output.find("Source file size"), std::string::npos);
      EXPECT_EQ(run.output.find("RIFF"), std::string::npos);
    }
    EXPECT_TRUE(showsProgressLine(run.output, "Demuxing streams"));
    EXPECT_TRUE(showsProgressLine(run.output, "Extracting audio"));
    expectProgressLinesEndAtAHundred(run.output);
    expectAsRecorded(dir, inputs);
  }
  ASSERT_EQ(riffSizes.size(), 2u);
  EXPECT_EQ(riffSizes[0].find_first_not_of("0123456789"), std::string::npos) << riffSizes[0];
  EXPECT_EQ(riffSizes[0], riffSizes[1]) << "vcd.bin and vcd.dat hold the same track";
}

TEST(Recordings, BareVideoStreamIsAllVideoAndWritesNoAudio) {
  TempDir dir;
  copyRecording(dir, "bare.m1v");
  const ProgramRun run = runOrvante(dir, {"bare.m1v"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(reportValue(run.output, "Video size: "), fact("bytes", "bare.m1v"));
  EXPECT_EQ(reportValue(run.output, "Audio size: "), "0");
  EXPECT_FALSE(dir.exists("bare.mp2"));
  EXPECT_EQ(run.output.find("Extracting audio"), std::string::npos);
  EXPECT_EQ(run.output.find("RIFF"), std::string::npos);
  expectProgressLinesEndAtAHundred(run.output);
  expectAsRecorded(dir, {"bare.m1v"});
}

TEST(Recordings, AudioThatCannotBeWrittenOutIsReportedAndRemoved) {
  TempDir dir;
  copyRecording(dir, "vcd.mpg");
  if (!linkToFullDevice(dir.file("vcd.mp2"))) GTEST_SKIP() << "no full device: " << kNoSpecialFiles;
  const ProgramRun run = runOrvante(dir, {"vcd.mpg"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(reportValue(run.output, "Cannot write: "), "vcd.mp2") << run.output;
  EXPECT_FALSE(dir.exists("vcd.mp2"));
  expectAsRecorded(dir, {"vcd.mpg"});
}
