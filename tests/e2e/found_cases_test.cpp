// Damaged inputs found by rescuing damaged recordings, on which an earlier
// rescue wrote outputs that ffmpeg rejected (tests/data/cases/README.md):
// each is now rescued into outputs that decode with no message, and for
// each rescued picture ffmpeg rejected, the slice walker finds the fault
// too.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/host_tools.h"
#include "tests/video/slice_index.h"
#include "video/slice_walker.h"

#ifdef ORVANTE_DECODER_ORACLE
#include "tests/support/decoder_oracle.h"
#endif

#ifdef ORVANTE_DECODER_ORACLE

namespace {

std::string caseFile(const std::string& name) { return testData("cases/" + name); }

}  // namespace

TEST(FoundCases, EachIsRescuedIntoOutputsThatDecodeWithNoMessage) {
  struct Case {
    const char* input;
    const char* said;  // in the rescue block
    long leastPictures;
  };
  const Case cases[] = {
      // Start-code-like bytes over parts of sectors (each reduced to the
      // sectors that kept the old failure): once a slice ended early by a
      // start code the damage made, and once a picture left uncovered.
      {"sprayed-codes-a.bin", "Pictures concealed:      ", 60},
      {"sprayed-codes-b.bin", "Pictures concealed:      ", 80},
      // One picture survives: the repeats before it are that I picture,
      // repeated, not B pictures ahead of it.
      {"one-picture-left.mpg", "Pictures repeated:       ", 2},
      // One group, no time codes.
      {"one-group-left.m1v", "Pictures repeated:       ", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    TempDir dir;
    const std::string name = c.input;
    dir.write(name, readFile(caseFile(name)));
    const ProgramRun run = runOrvante(dir, {"--rescue", name});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(std::string("\n") + c.said), std::string::npos) << run.output;
    const std::string base = name.substr(0, name.rfind('.'));
    const Bytes video = dir.read(base + ".mpv");
    const DecoderOracle::Verdict pictures = DecoderOracle::judgeRescuedVideo(video.data(), video.size());
    EXPECT_TRUE(pictures.ok()) << pictures.text();
    EXPECT_GE(pictures.frames, c.leastPictures);
    if (dir.exists(base + ".mp2")) {
      const Bytes audio = dir.read(base + ".mp2");
      const DecoderOracle::Verdict frames = DecoderOracle::decodeAudio(audio.data(), audio.size());
      EXPECT_TRUE(frames.ok()) << frames.text();
    }
  }
}

TEST(FoundCases, TheWalkerRejectsEveryRescuedPictureThatFfmpegRejected) {
  // Each holds a sequence header, a group with its I picture, then the P
  // picture an earlier rescue wrote, which ffmpeg rejects.
  for (const char* name : {"rescued-ac-tex-1.m1v", "rescued-ac-tex-2.m1v", "rescued-ac-tex-3.m1v",
                           "rescued-missing-macroblocks.m1v"}) {
    SCOPED_TRACE(name);
    const Bytes stream = readFile(caseFile(name));
    const DecoderOracle::Verdict verdict = DecoderOracle::decodeVideo(stream.data(), stream.size());
    EXPECT_FALSE(verdict.messages.empty());
    const std::vector<WalkedPicture> pictures = walkPictures(stream);
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[0].trouble, "");
    EXPECT_NE(pictures[1].trouble, "") << "the walker takes the picture ffmpeg rejects";
  }
}

#else

TEST(FoundCases, NeedTheDecoderOracle) {
  const std::string missing = missingDecoderOracle("the found cases are not judged");
  if (toolsRequired()) ADD_FAILURE() << missing;
  GTEST_SKIP() << missing;
}

#endif
