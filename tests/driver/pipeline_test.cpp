// The whole run over streams held in memory: the inputs that fuzzing found
// hard, replayed, and the guarantees every run gives.

#include "driver/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "source/memory_source.h"
#include "tests/support/host_tools.h"
#include "tests/support/stream_ends.h"
#include "tests/support/temp_dir.h"
#include "tests/video/video_stream_builder.h"

#ifdef ORVANTE_DECODER_ORACLE
#include "tests/support/decoder_oracle.h"
#endif

namespace {

class PipelineTest : public ::testing::Test {
 protected:
  // Runs every stage on `input` (rescuing when `rescue`) with outputs named
  // after dir_/run; returns what the run printed.
  std::string run(const Bytes& input, bool rescue = false) {
    std::filesystem::remove(dir_.file("run.mpv"));
    std::filesystem::remove(dir_.file("run.mp2"));
    MemorySource source(input.data(), input.size());
    FILE* const report = std::fopen(dir_.file("report").c_str(), "wb");
    EXPECT_NE(report, nullptr);
    if (report == nullptr) return std::string();
    bool written;
    {
      Console console(report, Console::ProgressLines::kShown);
      RunOptions options;
      options.rescue = rescue;
      written = processSource(source, dir_.file("run"), options, console);
    }
    std::fclose(report);
    EXPECT_TRUE(written);
    const Bytes text = dir_.read("report");
    return std::string(text.begin(), text.end());
  }

  // What holds for any input: the .mpv ends with its end codes, the audio is
  // no larger than the input, and no more frames are used than were seen.
  // Only the .mpv's end is read: filled to a damaged header's bit rate, it
  // can be larger than a 32-bit test can hold.
  void expectSoundRun(const Bytes& input, const std::string& report) {
    std::ifstream file(dir_.file("run.mpv"), std::ios::binary | std::ios::ate);
    const std::streamoff size = file.tellg();
    Bytes end(static_cast<size_t>(std::min<std::streamoff>(std::max<std::streamoff>(size, 0), 8)));
    file.seekg(size - static_cast<std::streamoff>(end.size()));
    file.read(reinterpret_cast<char*>(end.data()), static_cast<std::streamsize>(end.size()));
    EXPECT_TRUE(file && endsWithEndCodes(end)) << report;
    EXPECT_LE(dir_.read("run.mp2").size(), input.size());
    const size_t line = report.find("\nFrames used:  ");
    ASSERT_NE(line, std::string::npos) << report;
    unsigned used = 0, seen = 0;
    ASSERT_EQ(std::sscanf(report.c_str() + line, "\nFrames used:  %u of %u", &used, &seen), 2) << report;
    EXPECT_LE(used, seen);
  }

  // What a rescue promises of its outputs: a .mpv, when it writes one, ends
  // with its end codes and decodes with no decoder message and at least one
  // picture; a .mp2, when it writes one, decodes with no message. Checked
  // with the decoder oracle where this build has it.
  void expectDecodableRescue(const std::string& report) {
    if (dir_.exists("run.mpv") && report.find("\nVideo not rescued: ") == std::string::npos) {
      const Bytes video = dir_.read("run.mpv");
      EXPECT_TRUE(endsWithEndCodes(video)) << report;
#ifdef ORVANTE_DECODER_ORACLE
      const DecoderOracle::Verdict verdict = DecoderOracle::judgeRescuedVideo(video.data(), video.size());
      EXPECT_TRUE(verdict.ok()) << verdict.frames << " pictures decoded\n" << verdict.text() << report;
#endif
    }
#ifdef ORVANTE_DECODER_ORACLE
    if (dir_.exists("run.mp2")) {
      const Bytes audio = dir_.read("run.mp2");
      const DecoderOracle::Verdict verdict = DecoderOracle::decodeAudio(audio.data(), audio.size());
      EXPECT_EQ(verdict.text(), "") << report;
    }
#endif
  }

  TempDir dir_;
};

}  // namespace

TEST_F(PipelineTest, ReplaysTheFuzzingRegressions) {
  // Inputs that reach each stage, and whatever fuzzing found.
  const std::filesystem::path corpus = std::filesystem::path(ORVANTE_SOURCE_DIR) / "tests/fuzz/regressions";
  const std::string noOracle = missingDecoderOracle("the rescued outputs are not decoded");
  if (!noOracle.empty()) {
    if (toolsRequired()) ADD_FAILURE() << noOracle;
    std::printf("%s\n", noOracle.c_str());
  }
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().filename().string());
    const Bytes input = readFile(entry.path().string());
    expectSoundRun(input, run(input));
    // A rescue bridges no more than a minute beyond what survived: a small
    // input whose stamps or time codes claim hours stays small.
    const std::string report = run(input, true);
    if (dir_.exists("run.mpv")) {
      EXPECT_LT(dir_.read("run.mpv").size(), 16u << 20) << report;
    }
    expectDecodableRescue(report);
    ++replayed;
  }
  EXPECT_GE(replayed, 3);
}

TEST_F(PipelineTest, TinyInputsRunThroughEveryStage) {
  // Every input of up to 3 bytes drawn from the bytes that matter most.
  const uint8_t alphabet[] = {0x00, 0x01, 0xB3, 0xBA, 0xC0, 0xE0, 0xFF};
  std::vector<Bytes> inputs = {{}};
  for (size_t length = 1; length <= 3; ++length) {
    std::vector<Bytes> longer;
    for (const Bytes& shorter : inputs) {
      if (shorter.size() != length - 1) continue;
      for (uint8_t byte : alphabet) {
        Bytes input = shorter;
        input.push_back(byte);
        longer.push_back(input);
      }
    }
    inputs.insert(inputs.end(), longer.begin(), longer.end());
  }
  for (const Bytes& input : inputs) {
    SCOPED_TRACE(testing::PrintToString(input));
    const std::string report = run(input);
    expectSoundRun(input, report);
    EXPECT_NE(report.find("Audio size: 0\n"), std::string::npos);
  }
}

TEST_F(PipelineTest, SectorImageIsReplacedByItsPayload) {
  // One CD sector holding a bare sequence header in its payload.
  Bytes sector = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  sector.resize(24, 0);
  const Bytes payload = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0x02, 0xD5, 0x20, 0xA4};
  sector.insert(sector.end(), payload.begin(), payload.end());
  sector.resize(2352, 0);
  const std::string report = run(sector);
  EXPECT_NE(report.find("Source file size: 2352\nRIFF data size:   2328\n\n"), std::string::npos) << report;
  EXPECT_NE(report.find("Video size: 2328\n"), std::string::npos) << report;
  EXPECT_NE(report.find("Video format: 352x288 25fps\n"), std::string::npos) << report;
  expectSoundRun(sector, report);
}

TEST_F(PipelineTest, DamagedPicturesOfNoSizeADecoderShowsAreLeftOut) {
  // 255 rows of macroblocks, of which slice start codes number 175: rows
  // past them no decoder can show, so no such stream is clean. The rescue
  // writes no video, and says so, damaged or not.
  SequenceFields tall;
  tall.width = 16;
  tall.height = 4080;
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged" : "clean");
    VideoStreamBuilder stream;
    stream.sequenceHeader(tall).gop();
    for (uint32_t k = 0; k < 2; ++k) stream.picture('I', k).slice(1, {0xFF, 0x5A});
    if (damaged) stream.raw({0x00, 0x00, 0x01, 0xB8, 0xFF});  // a group header cut short
    const Bytes input = stream.bytes();
    expectSoundRun(input, run(input));
    std::remove(dir_.file("run.mpv").c_str());
    const std::string report = run(input, true);
    EXPECT_FALSE(dir_.exists("run.mpv")) << report;
    EXPECT_NE(report.find("Video left out: not one picture could be decoded."), std::string::npos) << report;
  }
}
