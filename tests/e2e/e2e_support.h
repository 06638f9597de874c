#ifndef ORVANTE_TESTS_E2E_E2E_SUPPORT_H_
#define ORVANTE_TESTS_E2E_E2E_SUPPORT_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/program_run.h"
#include "tests/support/stream_ends.h"
#include "tests/support/temp_dir.h"

// The first three lines every run prints.
inline const std::string kBannerLine = "ORVANTE - MPEG1 Joiner/Fixer/Demuxer\n";

// Runs the built program in `dir` with `arguments`.
inline ProgramRun runOrvante(const TempDir& dir, const std::vector<std::string>& arguments) {
  return runProgram(ORVANTE_BINARY, arguments, dir.path());
}

// The path of a recording in tests/data.
inline std::string testData(const std::string& name) { return std::string(ORVANTE_TEST_DATA) + "/" + name; }

// The output after the banner's three lines.
inline std::string afterBanner(const std::string& output) {
  size_t at = 0;
  for (int line = 0; line < 3 && at != std::string::npos; ++line) {
    at = output.find('\n', at);
    if (at != std::string::npos) ++at;
  }
  return at == std::string::npos ? std::string() : output.substr(at);
}

// What follows `label` on the report line that starts with it, or
// "<no line LABEL>" when no line does.
inline std::string reportValue(const std::string& output, const std::string& label) {
  const size_t at = output.find("\n" + label);
  if (at == std::string::npos) return "<no line " + label + ">";
  const size_t start = at + 1 + label.size();
  return output.substr(start, output.find('\n', start) - start);
}

// The whole-number value of a report line; -1 when it is missing or malformed.
inline long long reportNumber(const std::string& output, const std::string& label) {
  const std::string text = reportValue(output, label);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoll(text);
}

// Checks what every run on any input must give, with `base` the name its
// outputs take in `dir`: it ended in time with status 0 and its video ends
// with the end codes; or, where a rescue found not one picture to write and
// says so, with no video and no picture counted.
inline void expectFinishedRun(const ProgramRun& run, const TempDir& dir, const std::string& base) {
  EXPECT_FALSE(run.timedOut) << "still running at its time limit";
  EXPECT_EQ(run.status, 0) << run.output;
  if (run.output.find("\nVideo left out: not one picture could be decoded.\n") != std::string::npos) {
    EXPECT_FALSE(dir.exists(base + ".mpv")) << "a video file, though the report says there is none";
    EXPECT_EQ(reportValue(run.output, "Frames used:  ").rfind("0 of ", 0), 0u) << run.output;
    return;
  }
  const Bytes video = dir.read(base + ".mpv");
  EXPECT_TRUE(endsWithEndCodes(video)) << base << ".mpv does not end with the end codes (" << video.size()
                                       << " bytes)";
}

// Checks that a plain run's audio file holds the bytes its report counts (no
// file for none); returns that count, -1 when the report has none.
inline long long expectAudioAsReported(const ProgramRun& run, const TempDir& dir, const std::string& base) {
  const long long audio = reportNumber(run.output, "Audio size: ");
  EXPECT_GE(audio, 0) << run.output;
  if (audio == 0) {
    EXPECT_FALSE(dir.exists(base + ".mp2")) << "an audio file without audio";
  } else {
    EXPECT_EQ(static_cast<long long>(dir.read(base + ".mp2").size()), audio);
  }
  return audio;
}

#endif  // ORVANTE_TESTS_E2E_E2E_SUPPORT_H_
