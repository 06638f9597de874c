// --rescue conceals damage inside the stream: damaged pictures go out with
// their holes predicted from what is around them, so that what any decoder
// shows stays close to the clean recording. Each case is judged by a real
// decoder: no message, every picture, and a PSNR floor against the clean
// pictures.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/recording_fixtures.h"
#include "tests/support/host_tools.h"

#ifdef ORVANTE_DECODER_ORACLE
#include "tests/support/decoder_oracle.h"
#endif

#ifdef ORVANTE_DECODER_ORACLE

namespace {

constexpr size_t kSectorSize = 2352;
constexpr size_t kPayloadOffset = 24;  // sync, address, subheader

// The offset of the picture start code that follows `from`.
size_t nextPicture(const Bytes& bytes, size_t from) {
  const Bytes code = {0x00, 0x00, 0x01, 0x00};
  return static_cast<size_t>(std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from) + 4, bytes.end(),
                                         code.begin(), code.end()) -
                             bytes.begin());
}

// The offset of the payload of the MPEG track's sector `k` in a disc image:
// sector 0 is the first whose payload starts with a pack start code.
size_t payloadOf(const Bytes& image, size_t k) {
  const Bytes pack = {0x00, 0x00, 0x01, 0xBA};
  for (size_t at = 0; at + kSectorSize <= image.size(); at += kSectorSize) {
    if (std::equal(pack.begin(), pack.end(), image.begin() + static_cast<std::ptrdiff_t>(at + kPayloadOffset))) {
      return at + kPayloadOffset + k * kSectorSize;
    }
  }
  ADD_FAILURE() << "no MPEG track";
  return 0;
}

// `bytes` without the picture that starts at `start`.
Bytes withoutPicture(const Bytes& bytes, size_t start) {
  Bytes lost = bytes;
  lost.erase(lost.begin() + static_cast<std::ptrdiff_t>(start),
             lost.begin() + static_cast<std::ptrdiff_t>(nextPicture(bytes, start)));
  return lost;
}

Bytes flipped(Bytes bytes, const std::vector<std::pair<size_t, uint8_t>>& flips) {
  for (const auto& [at, mask] : flips) bytes[at] ^= mask;
  return bytes;
}

}  // namespace

TEST(Concealment, DamagedPicturesGoOutConcealedAndStayCloseToTheClean) {
  const Bytes bare = readFile(testData("bare.m1v"));
  const Bytes image = readFile(testData("vcd.bin"));
  // bare.m1v: 50 pictures, a closed group and two open ones, each starting
  // I2 B0 B1 P5; the second group's I picture at 104498, its first P
  // picture at 118922. vcd.bin: 30 pictures, the first I picture in the
  // payloads of sectors 1 to 7.
  const size_t secondP = 118922;
  const size_t thirdP = 124666;  // the next P picture, predicted from secondP
  struct Case {
    const char* name;
    const Bytes& clean;
    const char* extension;
    std::function<Bytes(const Bytes&)> damage;
    double leastPsnr;  // of any picture
    double leastMean;
    const char* said;  // a line of the rescue block
  };
  const Case cases[] = {
      // The broken slices are taken up again after the damage, their DC
      // values levelled with the slices above (without: 28.5 dB at least,
      // 49.3 dB mean; and 32.0, 49.8).
      {"an I picture with a broken slice, nothing before it", bare, ".m1v",
       [](const Bytes& b) { return flipped(b, {{6000, 0xFF}, {6001, 0xFF}}); }, 38, 53, "Pictures concealed:      "},
      {"an I picture with a broken slice, written as a P picture", bare, ".m1v",
       [](const Bytes& b) { return flipped(b, {{109000, 0xFF}, {109001, 0xFF}}); }, 34, 51, "Pictures concealed:      "},
      // A bit flipped in the second group's I picture leads its first slice
      // out of step and back in, one macroblock short, unseen: what was
      // read after the loss is moved on to where it belongs and levelled by
      // the I picture before. (Left where read: 19.3 dB at least, 44.1 dB
      // mean.)
      {"an I picture whose slice lost a macroblock unseen", bare, ".m1v",
       [](const Bytes& b) { return flipped(b, {{105633, 0x02}}); }, 55, 59, "Pictures concealed:      "},
      // The same, where the shifted run was taken for a flipped DC bit's
      // (18.2 and 43.7 dB), and where what was read out of step set a
      // quantiser (20.6 and 44.6 dB; 40.5 and 52.8 dB moved on with it).
      {"an I picture whose slice lost a macroblock, a DC step seen", bare, ".m1v",
       [](const Bytes& b) { return flipped(b, {{105449, 0x02}}); }, 34, 50, "Pictures concealed:      "},
      {"an I picture whose slice lost a macroblock, a quantiser read", bare, ".m1v",
       [](const Bytes& b) { return flipped(b, {{106138, 0x80}}); }, 50, 58, "Pictures concealed:      "},
      // Its reference is an I picture, which tells no motion: the repeat
      // moves along the motion of the anchor before that. (Repeated
      // unmoved: 20.3 dB at least, 47.1 dB mean.)
      {"a P picture lost, its dependants kept", bare, ".m1v",
       [&](const Bytes& b) { return withoutPicture(b, secondP); }, 21, 47.3, "Pictures repeated:       1 "},
      // The picture it was predicted from moved: the repeat moves along the
      // same motion. (Repeated unmoved: 20.3 dB at least, 49.5 dB mean.)
      {"a P picture lost after one with motion", bare, ".m1v",
       [&](const Bytes& b) { return withoutPicture(b, thirdP); }, 23, 50.3, "Pictures repeated:       1 "},
      // The slice is taken up again after the damage: 4 macroblocks
      // concealed, not the 117 to the slice's end (27.0 dB at least, 50.3 dB
      // mean).
      {"a P picture broken inside a slice", bare, ".m1v",
       [&](const Bytes& b) { return flipped(b, {{secondP + 1500, 0xFF}, {secondP + 1501, 0xFF}}); }, 40, 54,
       "Macroblocks concealed:   4 "},
      // More bits wrong than the sector's code can put right, in slices that
      // still parse: they are kept as they stand. (Concealing them from the
      // sector's start, with nothing before to predict from, takes this
      // picture down to 11 dB.)
      // An image behind more sectors read back as zeros than the plain run
      // looks through: the rescue finds it, and nothing of it is lost.
      {"an image behind sectors read as zeros", image, ".bin",
       [](const Bytes& b) {
         Bytes late(12 * kSectorSize + b.size(), 0);
         std::copy(b.begin(), b.end(), late.begin() + 12 * kSectorSize);
         return late;
       },
       60, 60, "Rescue:\nDamaged data was left out; nothing needed to be put in its place.\n"},
      {"bits wrong in a sector whose slices still parse", image, ".bin",
       [](const Bytes& b) {
         const size_t payload = payloadOf(b, 3);
         return flipped(b, {{payload + 300, 0x08}, {payload + 900, 0x01}, {payload + 1500, 0x20}, {payload + 2100, 0x02}});
       },
       59, 59, "Rescue:\nNothing needed repair.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write(std::string("clean") + c.extension, c.clean);
    ASSERT_EQ(runOrvante(dir, {std::string("clean") + c.extension}).status, 0);
    const Bytes cleanVideo = dir.read("clean.mpv");
    const DecoderOracle::Verdict reference = DecoderOracle::decodeVideo(cleanVideo.data(), cleanVideo.size(), true);
    ASSERT_TRUE(reference.ok()) << reference.text();

    dir.write(std::string("damaged") + c.extension, c.damage(c.clean));
    const ProgramRun run = runOrvante(dir, {"--rescue", std::string("damaged") + c.extension});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(std::string("\n") + c.said), std::string::npos) << run.output;
    const Bytes video = dir.read("damaged.mpv");
    const DecoderOracle::Verdict rescued = DecoderOracle::judgeRescuedVideo(video.data(), video.size(), true);
    EXPECT_TRUE(rescued.ok()) << rescued.text();
    ASSERT_EQ(rescued.lumas.size(), reference.lumas.size());
    double least = 60;
    double sum = 0;
    for (size_t k = 0; k < rescued.lumas.size(); ++k) {
      const double psnr = DecoderOracle::psnr(rescued.lumas[k], reference.lumas[k]);
      least = std::min(least, psnr);
      sum += psnr;
    }
    const double mean = sum / static_cast<double>(rescued.lumas.size());
    std::printf("%s: least %.2f dB, mean %.2f dB\n", c.name, least, mean);
    EXPECT_GE(least, c.leastPsnr);
    EXPECT_GE(mean, c.leastMean);
  }
}

TEST(Concealment, SingleBitsWrongInSectorsArePutRightExactly) {
  // One bit wrong in each of four sectors (video, audio, the first I
  // picture's), two in a fifth: the sectors' codes put every one right, so
  // the rescue shows what the plain run shows of the clean image, picture
  // for picture, and writes its audio. (An image that needed repair is no
  // clean recording: its video is the rescue's own stream.)
  const Bytes image = readFile(testData("vcd.bin"));
  const auto payload = [&image](size_t sector) { return payloadOf(image, sector); };
  const Bytes damaged = flipped(image, {{payload(2) + 77, 0x10},
                                        {payload(10) + 2000, 0x01},
                                        {payload(33) + 5, 0x80},
                                        {payload(40) + 1234, 0x04},
                                        {payload(50) + 10, 0x02},
                                        {payload(50) + 2300, 0x40}});
  TempDir dir;
  dir.write("clean.bin", image);
  dir.write("damaged.bin", damaged);
  ASSERT_EQ(runOrvante(dir, {"clean.bin"}).status, 0);
  const ProgramRun run = runOrvante(dir, {"--rescue", "damaged.bin"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("\nRescue:\nSector bits corrected:   6 in 5 sectors\n"), std::string::npos) << run.output;
  const Bytes cleanVideo = dir.read("clean.mpv");
  const Bytes video = dir.read("damaged.mpv");
  const DecoderOracle::Verdict reference = DecoderOracle::decodeVideo(cleanVideo.data(), cleanVideo.size(), true);
  const DecoderOracle::Verdict rescued = DecoderOracle::judgeRescuedVideo(video.data(), video.size(), true);
  EXPECT_TRUE(rescued.ok()) << rescued.text();
  EXPECT_TRUE(rescued.lumas == reference.lumas);
  EXPECT_TRUE(dir.read("damaged.mp2") == dir.read("clean.mp2"));
  EXPECT_TRUE(dir.read("damaged.bin") == damaged) << "the input was changed";
}

TEST(Concealment, ARunOfLostPicturesInAPanMovesOnWithThePicture) {
  REQUIRE_TOOLS("it makes the panning recording", "ffmpeg");
  // A picture scrolling 0.88 pixels across and 0.43 down a period, one
  // group of an I picture and 49 P pictures; pictures 20 to 29 lost.
  TempDir dir;
  runShell("cd '" + dir.path() + "' && ffmpeg -nostdin -v error -f lavfi -i "
           "testsrc=size=352x288:rate=25,scroll=horizontal=0.0025:vertical=0.0015 -t 2 -threads 1 "
           "-c:v mpeg1video -bf 0 -g 50 -q:v 3 -f mpeg1video pan.m1v");
  const Bytes clean = dir.read("pan.m1v");
  std::vector<size_t> pictures;
  for (size_t at = nextPicture(clean, 0); at < clean.size(); at = nextPicture(clean, at)) pictures.push_back(at);
  ASSERT_EQ(pictures.size(), 50u);
  Bytes lost(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(pictures[20]));
  lost.insert(lost.end(), clean.begin() + static_cast<std::ptrdiff_t>(pictures[30]), clean.end());
  dir.write("lost.m1v", lost);
  const ProgramRun run = runOrvante(dir, {"--rescue", "lost.m1v"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("\nPictures repeated:       10 "), std::string::npos) << run.output;
  const DecoderOracle::Verdict reference = DecoderOracle::decodeVideo(clean.data(), clean.size(), true);
  const Bytes video = dir.read("lost.mpv");
  const DecoderOracle::Verdict rescued = DecoderOracle::judgeRescuedVideo(video.data(), video.size(), true);
  EXPECT_TRUE(rescued.ok()) << rescued.text();
  ASSERT_EQ(rescued.lumas.size(), 50u);
  ASSERT_EQ(reference.lumas.size(), 50u);
  const auto mean = [&](size_t from, size_t to) {
    double sum = 0;
    for (size_t k = from; k < to; ++k) sum += DecoderOracle::psnr(rescued.lumas[k], reference.lumas[k]);
    return sum / static_cast<double>(to - from);
  };
  // The repeats move in whole pixels at the picture's rate, and the
  // pictures after them are predicted from where they stand. (Moved along
  // each macroblock's own vector, a run drifts and blurs: 17.5 dB over the
  // run, 13.8 dB after it.) What enters at the edges is not known.
  EXPECT_TRUE(rescued.lumas[19] == reference.lumas[19]);
  const double during = mean(20, 30), after = mean(30, 50);
  std::printf("a pan with a run lost: %.2f dB over the run, %.2f dB after it\n", during, after);
  EXPECT_GE(during, 19.0);
  EXPECT_GE(after, 15.5);
}

namespace {

// Two seconds of a moving picture with B pictures on a disc that ffmpeg and
// vcdimager make, its pictures as this program writes them from the clean
// disc, and where each picture starts in the image.
struct MovingDisc {
  TempDir dir;
  Bytes image;
  DecoderOracle::Verdict reference;
  std::vector<size_t> pictures;

  // Runs the rescue on the image with the sector holding `at` zeroed, and
  // returns the mean luma PSNR of its pictures against the clean ones.
  double rescueWithSectorZeroed(size_t at, std::string* output) {
    Bytes damaged = image;
    const size_t sector = at / kSectorSize;
    std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(sector * kSectorSize),
              damaged.begin() + static_cast<std::ptrdiff_t>((sector + 1) * kSectorSize), 0);
    dir.write("damaged.bin", damaged);
    const ProgramRun run = runOrvante(dir, {"--rescue", "damaged.bin"});
    EXPECT_EQ(run.status, 0) << run.output;
    *output = run.output;
    const Bytes video = dir.read("damaged.mpv");
    const DecoderOracle::Verdict rescued = DecoderOracle::judgeRescuedVideo(video.data(), video.size(), true);
    EXPECT_TRUE(rescued.ok()) << rescued.text();
    if (rescued.lumas.size() != reference.lumas.size()) {
      ADD_FAILURE() << rescued.lumas.size() << " pictures, not " << reference.lumas.size();
      return 0;
    }
    double sum = 0;
    for (size_t k = 0; k < rescued.lumas.size(); ++k) sum += DecoderOracle::psnr(rescued.lumas[k], reference.lumas[k]);
    return sum / static_cast<double>(rescued.lumas.size());
  }
};

// False where the disc could not be made.
bool makeMovingDisc(MovingDisc* disc) {
  int status = 0;
  runShell("cd '" + disc->dir.path() + "' && ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=352x288:rate=25 -f lavfi "
           "-i sine=frequency=440:sample_rate=44100 -t 2 -target pal-vcd -bf 2 -threads 1 disc.mpg && "
           "vcdimager -q -t vcd2 -c disc.cue -b clean.bin disc.mpg",
           &status);
  if (status != 0) return false;
  disc->image = disc->dir.read("clean.bin");
  if (runOrvante(disc->dir, {"clean.bin"}).status != 0) return false;
  const Bytes cleanVideo = disc->dir.read("clean.mpv");
  disc->reference = DecoderOracle::decodeVideo(cleanVideo.data(), cleanVideo.size(), true);
  for (size_t at = nextPicture(disc->image, payloadOf(disc->image, 0)); at < disc->image.size();
       at = nextPicture(disc->image, at)) {
    disc->pictures.push_back(at);
  }
  return disc->reference.ok() && disc->pictures.size() == 50;
}

}  // namespace

TEST(Concealment, ASectorZeroedInsideAPictureIsTakenUpAfter) {
  REQUIRE_TOOLS("it makes the disc", "ffmpeg", "vcdimager");
  MovingDisc disc;
  ASSERT_TRUE(makeMovingDisc(&disc)) << "ffmpeg and vcdimager could not make the disc";
  struct Case {
    size_t picture;      // in the stream
    uint32_t codingType;
    size_t sectors;      // after the one holding its start, the one zeroed
    double leastMean;
  };
  const Case cases[] = {
      // The sector holding the start of a P picture: its header and first
      // bytes are lost, its rest runs on inside the last slice of the B
      // picture before it, and goes out in the P picture's place. (Repeated
      // instead, moved along the motion before: 54.3, 54.4 and 52.3 dB.)
      {7, 2, 0, 55.5},
      {22, 2, 0, 56.0},
      {34, 2, 0, 55.0},
      // A sector inside the one slice of an I picture after the first: the
      // slice is taken up where the data after the sector joins on,
      // levelled with what is kept around it or with the I picture before.
      // (Concealed from the sector on: 49.1, 48.5 and 55.4 dB.)
      {13, 1, 2, 51.5},
      {28, 1, 3, 52.5},
      {43, 1, 2, 56.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picture);
    ASSERT_EQ((disc.image[disc.pictures[c.picture] + 5] >> 3) & 7, c.codingType);
    const size_t at = (disc.pictures[c.picture] / kSectorSize + c.sectors) * kSectorSize;
    ASSERT_LT(at, disc.pictures[c.picture + 1]);
    std::string output;
    const double mean = disc.rescueWithSectorZeroed(at, &output);
    if (c.sectors == 0) {
      EXPECT_EQ(output.find("Pictures repeated:"), std::string::npos) << output;
    }
    std::printf("picture %zu, sector +%zu zeroed: mean %.2f dB\n", c.picture, c.sectors, mean);
    EXPECT_GE(mean, c.leastMean);
  }
}

#else

TEST(Concealment, NeedsTheDecoderOracle) {
  const std::string missing = missingDecoderOracle("concealment is not judged");
  if (toolsRequired()) ADD_FAILURE() << missing;
  GTEST_SKIP() << missing;
}

#endif
