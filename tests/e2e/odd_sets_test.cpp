// Numbered sets at the edges of what is joined — 1000 and 1001 members, seven-
// digit numbers, names in any letters, members that change between runs or
// are no files — run through the program and compared with the same bytes
// given as one file.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/recording_fixtures.h"
#include "tests/support/special_files.h"

namespace {

// What a run gave: its sizes and the two files written.
struct Outcome {
  std::string videoSize, audioSize;
  Bytes video, audio;
};

class OddSets : public ::testing::Test {
 protected:
  OddSets() : stream_(readFile(testData("vcd.mpg"))) {}

  // The bytes [from, to) of vcd.mpg.
  Bytes piece(size_t from, size_t to) const {
    return Bytes(stream_.begin() + static_cast<std::ptrdiff_t>(from),
                 stream_.begin() + static_cast<std::ptrdiff_t>(to));
  }

  // Runs the program in `dir` on `argument`, expects success and collects
  // the outputs named after `base`.
  static Outcome process(const TempDir& dir, const std::string& argument, const std::string& base) {
    const ProgramRun run = runOrvante(dir, {argument});
    EXPECT_EQ(run.status, 0) << argument << "\n" << run.output;
    return {reportValue(run.output, "Video size: "), reportValue(run.output, "Audio size: "), dir.read(base + ".mpv"),
            dir.read(base + ".mp2")};
  }

  // The outcome of `bytes` given as one file, in a folder of its own.
  static Outcome processAsOneFile(const Bytes& bytes) {
    TempDir single;
    single.write("joined.mpg", bytes);
    return process(single, "joined.mpg", "joined");
  }

  static void expectSameOutcome(const Outcome& actual, const Outcome& expected) {
    EXPECT_EQ(actual.videoSize, expected.videoSize);
    EXPECT_EQ(actual.audioSize, expected.audioSize);
    EXPECT_TRUE(actual.video == expected.video) << "the video differs";
    EXPECT_TRUE(actual.audio == expected.audio) << "the audio differs";
  }

  // The outcome of the whole recording, as measured by ffmpeg when it was made.
  static void expectWholeRecording(const TempDir& dir, const Outcome& outcome, const std::string& base) {
    EXPECT_EQ(outcome.videoSize, recordedFact("video_bytes", "vcd.mpg"));
    EXPECT_EQ(outcome.audioSize, recordedFact("audio_bytes", "vcd.mpg"));
    EXPECT_EQ(md5Of(dir.file(base + ".mp2")), recordedFact("audio_md5", "vcd.mpg"));
  }

  const Bytes stream_;
  TempDir dir_;
};

}  // namespace

TEST_F(OddSets, ThousandMembersAreJoinedAndAThousandAndFirstIsLeftOut) {
  // 1000 pieces of 150 bytes, the 1001st holding the rest of the recording.
  constexpr size_t kPiece = 150;
  Bytes firstThousand;
  for (size_t k = 0; k <= 1000; ++k) {
    const Bytes member = piece(k * kPiece, k == 1000 ? stream_.size() : (k + 1) * kPiece);
    char name[16];
    std::snprintf(name, sizeof name, "cut.%04zu", k);
    dir_.write(name, member);
    if (k < 1000) firstThousand.insert(firstThousand.end(), member.begin(), member.end());
  }
  const Outcome ofAThousandAndOne = process(dir_, "cut.0500", "cut");
  ASSERT_TRUE(std::filesystem::remove(dir_.file("cut.1000")));
  const Outcome ofAThousand = process(dir_, "cut.0000", "cut");

  expectSameOutcome(ofAThousand, processAsOneFile(firstThousand));
  expectSameOutcome(ofAThousandAndOne, ofAThousand);
  EXPECT_LT(std::stoul(ofAThousandAndOne.videoSize), std::stoul(recordedFact("video_bytes", "vcd.mpg")))
      << "the 1001st member was joined";
}

TEST_F(OddSets, SevenDigitSetIsFoundWithoutProbingEveryNumber) {
  dir_.write("clip.0000000", piece(0, 50000));
  dir_.write("clip.0000001", piece(50000, 120000));
  dir_.write("clip.9999999", piece(120000, stream_.size()));
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = process(dir_, "clip.0000001", "clip");
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(took.count(), 2000) << "the set was searched number by number";
  expectWholeRecording(dir_, outcome, "clip");
}

TEST_F(OddSets, NamesWithSpacesAndLettersOfAnyScriptGiveOutputsNamedAlike) {
  for (const std::string name : {"my movie é", "Ça_été_déjà_vu", "日本語"}) {
    dir_.write(name + ".mpg", stream_);
    expectWholeRecording(dir_, process(dir_, name + ".mpg", name), name);
    EXPECT_TRUE(dir_.exists(name + ".mpv")) << name;
  }
  dir_.write("ünë sét.001", piece(0, 100000));
  dir_.write("ünë sét.002", piece(100000, stream_.size()));
  expectWholeRecording(dir_, process(dir_, "ünë sét.002", "ünë sét"), "ünë sét");
  EXPECT_TRUE(dir_.exists("ünë sét.mpv"));
}

TEST_F(OddSets, SetChangedBetweenRunsIsTakenAsItNowIs) {
  dir_.write("seg.000", piece(0, 70000));
  dir_.write("seg.001", piece(70000, 100000));
  expectSameOutcome(process(dir_, "seg", "seg"), processAsOneFile(piece(0, 100000)));

  // A member grows in place.
  {
    std::ofstream grow(dir_.file("seg.001"), std::ios::binary | std::ios::app);
    const Bytes more = piece(100000, 140000);
    grow.write(reinterpret_cast<const char*>(more.data()), static_cast<std::streamsize>(more.size()));
  }
  expectSameOutcome(process(dir_, "seg", "seg"), processAsOneFile(piece(0, 140000)));

  // A member is added: the set is the whole recording.
  dir_.write("seg.002", piece(140000, stream_.size()));
  expectWholeRecording(dir_, process(dir_, "seg.000", "seg"), "seg");

  // A member is removed: the others close up.
  ASSERT_TRUE(std::filesystem::remove(dir_.file("seg.001")));
  Bytes rest = piece(0, 70000);
  const Bytes last = piece(140000, stream_.size());
  rest.insert(rest.end(), last.begin(), last.end());
  expectSameOutcome(process(dir_, "seg.002", "seg"), processAsOneFile(rest));
}

TEST_F(OddSets, MemberThatIsADirectoryOrADanglingLinkIsLeftOut) {
  dir_.write("seg.000", piece(0, 80000));
  ASSERT_TRUE(std::filesystem::create_directory(dir_.file("seg.001")));
  makeSymlink("nowhere", dir_.file("seg.002"));  // where it can be made
  dir_.write("seg.003", piece(80000, stream_.size()));
  for (const std::string given : {"seg.001", "seg.002"}) {
    SCOPED_TRACE(given);
    expectWholeRecording(dir_, process(dir_, given, "seg"), "seg");
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir_.file("seg.001")));
}
