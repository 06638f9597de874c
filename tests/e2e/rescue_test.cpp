// --rescue on the real recordings: clean ones come out as the plain run
// writes them; damaged ones, the ways discs and rippers damage them, come
// out whole: real decoders take them without a word, the multiplexer that
// authors Video CDs takes them whole, and they last as long as the
// recording.

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/recording_fixtures.h"
#include "tests/e2e/rescued_outputs.h"
#include "tests/support/host_tools.h"

namespace {

// vcd.mpg: 88 sectors' payloads (packs of 2324 bytes), 30 pictures in two
// groups, 46 audio frames; packs 1 to 7 carry the first I picture, packs 32,
// 34 and 40 audio, pack 33 video.
constexpr size_t kPackSize = 2324;
constexpr size_t kSectorSize = 2352;
constexpr long kPictures = 30;
constexpr long kAudioFrames = 46;

Bytes without(Bytes bytes, size_t from, size_t length) {
  bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
  return bytes;
}

class Rescue : public ::testing::Test {
 protected:
  static ProgramRun rescue(const TempDir& dir, const std::string& input) {
    const ProgramRun run = runOrvante(dir, {"--rescue", input});
    EXPECT_EQ(run.status, 0) << run.output;
    return run;
  }

  // What ffmpeg says decoding `file` at -v error: nothing, for a clean one.
  static std::string decoderMessages(const TempDir& dir, const std::string& file, const char* format) {
    return runShell(std::string("ffmpeg -nostdin -v error -f ") + format + " -i '" + dir.file(file) + "' -f null - 2>&1");
  }

  // What mplex says of multiplexing the two outputs as a Video CD, when it
  // fails or warns; empty when it takes them whole.
  static std::string multiplexerTrouble(const TempDir& dir, const std::string& base) {
    int status = 0;
    const std::string said = runShell("cd '" + dir.path() + "' && mplex -v 1 -f 1 -o muxed.mpg '" + base + ".mpv' '" +
                                          base + ".mp2' 2>&1",
                                      &status);
    if (status != 0 || said.find("WARN") != std::string::npos || said.find("ERR") != std::string::npos) return said;
    return {};
  }

  // Runs `input` plainly, unless `plainFrom` names another input whose
  // plain outputs are in dir_ already, then rescued: the rescue writes those
  // outputs and its report's rescue section says `said`.
  ProgramRun expectRescueWritesThePlainOutputs(const std::string& input, const std::string& said = "Nothing needed repair.",
                                               const std::string& plainFrom = "") {
    const auto base = [](const std::string& name) { return name.substr(0, name.find('.')); };
    if (plainFrom.empty()) {
      EXPECT_EQ(runOrvante(dir_, {input}).status, 0);
    }
    const std::string plain = base(plainFrom.empty() ? input : plainFrom);
    const Bytes video = dir_.read(plain + ".mpv");
    const Bytes audio = dir_.read(plain + ".mp2");
    const ProgramRun run = rescue(dir_, input);
    EXPECT_TRUE(dir_.read(base(input) + ".mpv") == video);
    EXPECT_TRUE(dir_.read(base(input) + ".mp2") == audio);
    EXPECT_NE(run.output.find("\nRescue:\n" + said + "\n"), std::string::npos) << run.output;
    return run;
  }

  TempDir dir_;
};

}  // namespace

TEST_F(Rescue, CleanRecordingsComeOutAsThePlainRunWritesThem) {
  copyRecording(dir_, "vcd.mpg");
  makeCdxaFile(dir_);
  makeNumberedSet(dir_);
  copyRecording(dir_, "bare.m1v");
  copyRecording(dir_, "vcd.bin");
  for (const char* input : {"vcd.mpg", "vcd.dat", "seg.001", "bare.m1v", "vcd.bin"}) {
    SCOPED_TRACE(input);
    expectRescueWritesThePlainOutputs(input);
  }
  // MPEG-2 video is not walked: it goes out as the plain run writes it, and
  // the report says why.
  copyRecording(dir_, "mpeg2.vob");
  expectRescueWritesThePlainOutputs("mpeg2.vob",
                                    "Nothing needed repair.\nVideo not rescued: the rescue handles MPEG-1 video only.");
}

TEST_F(Rescue, DamagedRecordingsDecodeCleanlyAndLastAsLongAsTheRecording) {
  REQUIRE_TOOLS("they judge the rescued outputs", "ffmpeg", "mplex");
  const Bytes stream = readFile(testData("vcd.mpg"));
  const Bytes image = readFile(testData("vcd.bin"));
  // The image's sector that carries pack k of the stream.
  const auto sectorOf = [&](size_t pack) {
    const Bytes head(stream.begin() + static_cast<std::ptrdiff_t>(pack * kPackSize),
                     stream.begin() + static_cast<std::ptrdiff_t>(pack * kPackSize + 64));
    const auto at = std::search(image.begin(), image.end(), head.begin(), head.end());
    return static_cast<size_t>(at - image.begin()) - 24;
  };
  const auto zeroSectors = [&](size_t firstPack, size_t count) {
    Bytes damaged = image;
    const size_t from = sectorOf(firstPack);
    std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(from),
              damaged.begin() + static_cast<std::ptrdiff_t>(from + count * kSectorSize), 0);
    return damaged;
  };
  struct Damage {
    const char* name;
    const char* input;
    std::function<void(const TempDir&)> make;
  };
  const Damage damages[] = {
      {"a video sector read back as zeros", "zeroed.bin", [&](const TempDir& d) { d.write("zeroed.bin", zeroSectors(4, 1)); }},
      // Its neighbours carry audio: the video breaks where no sector beside
      // it is suspect.
      {"a video sector between audio sectors read back as zeros", "between.bin",
       [&](const TempDir& d) { d.write("between.bin", zeroSectors(33, 1)); }},
      {"a burst of five sectors read back as zeros", "burst.bin",
       [&](const TempDir& d) { d.write("burst.bin", zeroSectors(20, 5)); }},
      {"a video sector skipped by the ripper", "skipped.mpg",
       [&](const TempDir& d) { d.write("skipped.mpg", without(stream, 5 * kPackSize, kPackSize)); }},
      {"an audio sector skipped by the ripper", "skipped.mpg",
       [&](const TempDir& d) { d.write("skipped.mpg", without(stream, 40 * kPackSize, kPackSize)); }},
      {"thirty flipped bits", "flipped.mpg",
       [&](const TempDir& d) {
         Bytes damaged = stream;
         std::mt19937 random(7);
         for (int i = 0; i < 30; ++i) damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
         d.write("flipped.mpg", damaged);
       }},
      {"a numbered set with 2 KiB lost at each cut", "set.000",
       [&](const TempDir& d) {
         for (size_t k = 0, at = 0; k < 4; ++k) {
           const size_t end = k == 3 ? stream.size() : at + 50000;
           d.write("set.00" + std::to_string(k), Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                                       stream.begin() + static_cast<std::ptrdiff_t>(end)));
           at = end + 2048;
         }
       }},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    const TempDir dir;
    damage.make(dir);
    const ProgramRun run = rescue(dir, damage.input);
    const std::string base = std::string(damage.input).substr(0, std::string(damage.input).find('.'));
    const Bytes video = dir.read(base + ".mpv");
    const Bytes audio = dir.read(base + ".mp2");
    EXPECT_EQ(sliceTrouble(video), "");
    EXPECT_EQ(pictureCount(video), kPictures);
    EXPECT_EQ(wholeAudioFrames(audio), kAudioFrames);
    EXPECT_EQ(decoderMessages(dir, base + ".mpv", "mpegvideo"), "");
    EXPECT_EQ(decoderMessages(dir, base + ".mp2", "mp3"), "");
    EXPECT_EQ(multiplexerTrouble(dir, base), "");
    // Something was put in place of what was lost, and the report says where.
    EXPECT_NE(run.output.find("\nRescue:\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Nothing needed repair."), std::string::npos) << run.output;
  }
}

// Another muxer's Video CD: mplex lets the audio end more than half a frame
// before the video, which clean muxing does; nothing was lost, and nothing
// is put in.
TEST_F(Rescue, RecordingOfAnotherMuxerComesOutAsThePlainRunWritesIt) {
  REQUIRE_TOOLS("it makes the recording", "mplex");
  copyRecording(dir_, "vcd.mpg");
  ASSERT_EQ(runOrvante(dir_, {"vcd.mpg"}).status, 0);
  int status = 0;
  runShell("cd '" + dir_.path() + "' && mplex -v 0 -f 1 -o remuxed.mpg vcd.mpv vcd.mp2 2>&1", &status);
  ASSERT_EQ(status, 0);
  expectRescueWritesThePlainOutputs("remuxed.mpg");
}

// Recordings of other picture sizes and rates joined in one input: a clean
// join comes out as the plain run writes it, in one file or a numbered set;
// a damaged one keeps every picture of each recording, each in its own
// size, and audio of whole frames.
TEST_F(Rescue, JoinedRecordingsOfOtherFormatsKeepEveryPicture) {
  REQUIRE_TOOLS("it makes the NTSC recording and judges the outputs", "ffmpeg");
  int status = 0;
  runShell("cd '" + dir_.path() + "' && ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=352x240:rate=30000/1001 "
           "-f lavfi -i sine=frequency=660:sample_rate=44100 -t 1 -target ntsc-vcd ntsc.mpg 2>&1", &status);
  ASSERT_EQ(status, 0);
  const Bytes pal = readFile(testData("vcd.mpg"));
  const Bytes ntsc = dir_.read("ntsc.mpg");
  Bytes joined = pal;
  joined.insert(joined.end(), ntsc.begin(), ntsc.end());
  joined.insert(joined.end(), pal.begin(), pal.end());
  dir_.write("joined.mpg", joined);
  const ProgramRun plain = runOrvante(dir_, {"joined.mpg"});
  const std::string frames = reportValue(plain.output, "Frames used:  ");
  const long pictures = pictureCount(dir_.read("joined.mpv"));
  EXPECT_GT(pictures, 2 * kPictures);
  EXPECT_EQ(frames, std::to_string(pictures) + " of " + std::to_string(pictures));
  expectRescueWritesThePlainOutputs("joined.mpg", "Nothing needed repair.", "joined.mpg");
  dir_.write("set.000", pal);
  dir_.write("set.001", ntsc);
  dir_.write("set.002", pal);
  expectRescueWritesThePlainOutputs("set.000", "Nothing needed repair.", "joined.mpg");

  // Damaged: a burst of zeros in each recording.
  Bytes damaged = joined;
  for (const size_t at : {size_t{9} * kPackSize, pal.size() + 5 * kPackSize, pal.size() + ntsc.size() + 20 * kPackSize}) {
    std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(at), damaged.begin() + static_cast<std::ptrdiff_t>(at + 3000), 0);
  }
  const TempDir dir;
  dir.write("damaged.mpg", damaged);
  const ProgramRun run = rescue(dir, "damaged.mpg");
  const Bytes video = dir.read("damaged.mpv");
  EXPECT_EQ(sliceTrouble(video), "");
  EXPECT_EQ(pictureCount(video), pictures) << run.output;
  EXPECT_GE(wholeAudioFrames(dir.read("damaged.mp2")), 1);
  EXPECT_EQ(run.output.find("Nothing needed repair."), std::string::npos) << run.output;
  // Both sizes go out, each with its pictures.
  const Bytes ntscSize = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00, 0xF0};
  EXPECT_NE(std::search(video.begin(), video.end(), ntscSize.begin(), ntscSize.end()), video.end());
  // ffmpeg's raw stream reader loses its time keeping where the rate changes,
  // as it does on the plain run's output; nothing else may be said.
  std::string messages = decoderMessages(dir, "damaged.mpv", "mpegvideo");
  std::string others;
  for (size_t at = 0; at < messages.size();) {
    const size_t end = messages.find('\n', at);
    const std::string line = messages.substr(at, end - at);
    if (line.find("non monotonically increasing dts") == std::string::npos) others += line + "\n";
    at = end == std::string::npos ? messages.size() : end + 1;
  }
  EXPECT_EQ(others, "");
  EXPECT_EQ(decoderMessages(dir, "damaged.mp2", "mp3"), "");
}
