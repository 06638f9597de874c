// The decoder oracle against the command it stands for: on clean and
// damaged streams it must say what `ffmpeg -v error -threads 1 -i FILE -f
// null -` says of them and count the frames that command decodes.

#include "tests/support/decoder_oracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/host_tools.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kTestData = std::string(ORVANTE_SOURCE_DIR) + "/tests/data/";

class DecoderOracleTest : public ::testing::Test {
 protected:
  // What the command prints at error level decoding `stream` read by
  // `reader`, each line as the oracle words it (the object's name without
  // its address), and the frames it decoded (-1: it did not say).
  DecoderOracle::Verdict commandVerdict(const Bytes& stream, const std::string& reader) {
    dir_.write("stream", stream);
    // At the verbose level with each line's level tagged, the error lines
    // are those the command prints at -v error, and its closing count of
    // decoded frames shows.
    const ProgramRun run = runProgram(
        "/bin/sh",
        {"-c", "ffmpeg -nostdin -loglevel level+verbose -threads 1 -f " + reader + " -i stream -f null - 2>&1"},
        dir_.path());
    EXPECT_EQ(run.status, 0) << run.output;
    DecoderOracle::Verdict verdict;
    verdict.frames = -1;
    // Progress lines end in a carriage return, and a message may follow one.
    size_t start = 0;
    while (start < run.output.size()) {
      const size_t end = std::min(run.output.find_first_of("\r\n", start), run.output.size());
      const std::string line = run.output.substr(start, end - start);
      start = end + 1;
      // "[mpeg1video @ 0x55d0c0ffee00] [error] text", or "[error] text".
      size_t tag = std::string::npos;
      for (const char* level : {"[error] ", "[fatal] ", "[panic] "}) tag = std::min(tag, line.find(level));
      if (tag != std::string::npos) {
        const std::string text = line.substr(tag + 8);
        const size_t address = line.find(" @ 0x");
        verdict.messages.push_back(line[0] == '[' && address < tag ? line.substr(0, address) + "] " + text : text);
        continue;
      }
      // "  Input stream #0:0 (video): 3 packets read (14448 bytes); 3 frames decoded; "
      const size_t decoded = line.find(" frames decoded");
      if (line.find("Input stream #0:0 (") != std::string::npos && decoded != std::string::npos) {
        size_t digits = decoded;
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(line[digits - 1]))) --digits;
        verdict.frames = std::stol(line.substr(digits, decoded - digits));
      }
    }
    return verdict;
  }

  // Judges `stream` with the oracle and with the command: both must say the
  // same; returns the oracle's verdict.
  DecoderOracle::Verdict judgeAsTheCommand(const Bytes& stream, bool video) {
    const DecoderOracle::Verdict oracle = video ? DecoderOracle::decodeVideo(stream.data(), stream.size())
                                                : DecoderOracle::decodeAudio(stream.data(), stream.size());
    const DecoderOracle::Verdict command = commandVerdict(stream, video ? "mpegvideo" : "mp3");
    EXPECT_EQ(oracle.messages, command.messages);
    EXPECT_EQ(oracle.frames, command.frames);
    return oracle;
  }

  TempDir dir_;
};

// bare.m1v: a closed group and two open ones, each starting I2 B0 B1 P5.
const size_t kSecondGroup = 104490;  // its group header
const size_t kSecondGroupP = 118922;  // the P picture after B0 and B1
Bytes bareStream() { return readFile(kTestData + "bare.m1v"); }

}  // namespace

TEST_F(DecoderOracleTest, JudgesVideoAsTheCommandDoes) {
  REQUIRE_TOOLS("it is what the oracle stands for", "ffmpeg");
  const Bytes bare = bareStream();
  ASSERT_EQ(bare.size(), 152853u);
  {
    SCOPED_TRACE("clean");
    const DecoderOracle::Verdict verdict = judgeAsTheCommand(bare, true);
    EXPECT_TRUE(verdict.ok()) << verdict.text();
    EXPECT_EQ(verdict.frames, 50);
  }
  {
    // Bytes inverted in the first P picture and in a B picture after it.
    SCOPED_TRACE("damaged slices");
    Bytes damaged = bare;
    damaged[15000] ^= 0xFF;
    damaged[30000] ^= 0xFF;
    const DecoderOracle::Verdict verdict = judgeAsTheCommand(damaged, true);
    EXPECT_FALSE(verdict.ok());
    EXPECT_NE(verdict.text().find("[mpeg1video] ac-tex damaged at 15 12\n"), std::string::npos) << verdict.text();
  }
  {
    // The second group closed and cut after I2 B0 B1: the two B pictures
    // come out before the I picture stamped 0, which the command's null
    // muxer rejects.
    SCOPED_TRACE("pictures out of time");
    Bytes closed(bare.begin(), bare.begin() + kSecondGroupP);
    closed.erase(closed.begin() + 12, closed.begin() + kSecondGroup);  // after the sequence header
    closed[12 + 7] |= 0x40;                                            // closed group
    for (const uint8_t byte : {0x00, 0x00, 0x01, 0xB7}) closed.push_back(byte);
    const DecoderOracle::Verdict verdict = judgeAsTheCommand(closed, true);
    EXPECT_EQ(verdict.frames, 3);
    EXPECT_EQ(verdict.text(),
              "[null] Application provided invalid, non monotonically increasing dts to muxer in stream 0: 2 >= 0\n");
  }
  {
    SCOPED_TRACE("cut inside a picture");
    const DecoderOracle::Verdict verdict = judgeAsTheCommand(Bytes(bare.begin(), bare.begin() + 20000), true);
    EXPECT_GT(verdict.frames, 0);
  }
}

TEST_F(DecoderOracleTest, JudgesAudioAsTheCommandDoes) {
  REQUIRE_TOOLS("it is what the oracle stands for and extracts the audio", "ffmpeg");
  const ProgramRun extracted =
      runProgram("/bin/sh", {"-c", "ffmpeg -nostdin -v error -i '" + kTestData + "vcd.mpg' -map 0:a -c copy -f mp2 audio.mp2"},
                 dir_.path());
  ASSERT_EQ(extracted.status, 0) << extracted.output;
  const Bytes audio = dir_.read("audio.mp2");
  ASSERT_GT(audio.size(), 4u);
  {
    SCOPED_TRACE("clean");
    const DecoderOracle::Verdict verdict = judgeAsTheCommand(audio, false);
    EXPECT_TRUE(verdict.ok()) << verdict.text();
    EXPECT_EQ(verdict.frames, 46);
  }
  {
    // The third frame's header gone: its bytes are no frame.
    SCOPED_TRACE("a header lost");
    const Bytes sync(audio.begin(), audio.begin() + 2);
    auto third = std::search(audio.begin() + 2, audio.end(), sync.begin(), sync.end());
    ASSERT_NE(third, audio.end());
    third = std::search(third + 2, audio.end(), sync.begin(), sync.end());
    ASSERT_NE(third, audio.end());
    Bytes damaged = audio;
    damaged[third - audio.begin()] = 0;
    const DecoderOracle::Verdict verdict = judgeAsTheCommand(damaged, false);
    EXPECT_FALSE(verdict.ok());
    EXPECT_NE(verdict.text().find("[mp2] Header missing\n"), std::string::npos) << verdict.text();
  }
}

TEST_F(DecoderOracleTest, NothingDecodableIsNoPass) {
  const Bytes nothing;
  const Bytes noise(4096, 0x5A);
  for (const Bytes* bytes : {&nothing, &noise}) {
    SCOPED_TRACE(bytes->size());
    for (const bool video : {true, false}) {
      const DecoderOracle::Verdict verdict = video ? DecoderOracle::decodeVideo(bytes->data(), bytes->size())
                                                   : DecoderOracle::decodeAudio(bytes->data(), bytes->size());
      EXPECT_EQ(verdict.frames, 0);
      EXPECT_FALSE(verdict.ok());
    }
  }
}

TEST_F(DecoderOracleTest, CallsOnSeveralThreadsKeepTheirMessagesApart) {
  // The library's log callback is one for the process: each call must get
  // the messages of its own decoding, and no other's.
  // Damage all through the stream, so that messages come all along.
  const Bytes clean = bareStream();
  Bytes damaged = clean;
  for (size_t at = 15000; at < damaged.size(); at += 5000) damaged[at] ^= 0xFF;
  const std::string expected = DecoderOracle::decodeVideo(damaged.data(), damaged.size()).text();
  ASSERT_FALSE(expected.empty());
  std::vector<std::string> cleanMessages(20), damagedMessages(20);
  std::thread cleanCalls([&] {
    for (std::string& text : cleanMessages) text = DecoderOracle::decodeVideo(clean.data(), clean.size()).text();
  });
  std::thread damagedCalls([&] {
    for (std::string& text : damagedMessages) text = DecoderOracle::decodeVideo(damaged.data(), damaged.size()).text();
  });
  cleanCalls.join();
  damagedCalls.join();
  for (const std::string& text : cleanMessages) EXPECT_EQ(text, "");
  for (const std::string& text : damagedMessages) EXPECT_EQ(text, expected);
}

TEST_F(DecoderOracleTest, JudgesRescuedVideoByWhatTheRescuePromises) {
  const Bytes bare = bareStream();
  // bare.m1v twice, the second time at 30 pictures a second (its one
  // sequence header's rate code), as a PAL recording joined by an NTSC one.
  Bytes joined = bare;
  Bytes second = bare;
  second[7] = (second[7] & 0xF0) | 5;
  joined.insert(joined.end(), second.begin(), second.end());
  // A sequence extension's start code right after the first header makes
  // the stream MPEG-2, written as it came.
  Bytes mpeg2 = bare;
  const Bytes extension = {0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00};
  mpeg2.insert(mpeg2.begin() + 12, extension.begin(), extension.end());
  Bytes joinedDamaged = joined;
  joinedDamaged[15000] ^= 0xFF;
  const struct {
    const char* name;
    const Bytes& stream;
    long frames;       // -1: not checked
    bool damage;       // whether the judgement keeps a decoder message
    bool rawDtsCheck;  // whether decodeVideo alone reports the join
  } cases[] = {
      {"joined at a rate change", joined, 100, false, true},
      {"joined and damaged", joinedDamaged, -1, true, true},
      {"MPEG-2, not judged", mpeg2, 1, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DecoderOracle::Verdict judged = DecoderOracle::judgeRescuedVideo(c.stream.data(), c.stream.size());
    const DecoderOracle::Verdict raw = DecoderOracle::decodeVideo(c.stream.data(), c.stream.size());
    EXPECT_EQ(judged.text().find("non monotonically increasing dts"), std::string::npos) << judged.text();
    EXPECT_EQ(judged.text().find("[mpeg1video] ") != std::string::npos, c.damage) << judged.text();
    if (c.frames >= 0) {
      EXPECT_EQ(judged.frames, c.frames);
    }
    if (c.rawDtsCheck) {
      EXPECT_NE(raw.text().find("non monotonically increasing dts"), std::string::npos) << raw.text();
    }
  }
}
