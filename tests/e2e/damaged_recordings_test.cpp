// The real recordings damaged the ways discs and transfers damage them — cut
// short, bits flipped, sectors unreadable, headers broken — and inputs that
// are no MPEG-1 at all. Whatever the damage, a run must end normally with a
// well-formed report and outputs, and leave its input as it was. The damage
// is drawn from fixed seeds, so every case can be made again.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/recording_fixtures.h"
#include "tests/e2e/rescued_outputs.h"

namespace {

constexpr unsigned kTimeLimitSeconds = 30;
constexpr size_t kSectorSize = 2352;

class DamagedRecordings : public ::testing::Test {
 protected:
  static Bytes recording(const std::string& name) { return readFile(testData(name)); }

  // Writes `inputBytes` as `inputName` (name.ext, ext not a number) into
  // `dir`, runs the program on it plainly and then rescued into a folder of
  // its own, and checks that both runs went through soundly. The rescue's
  // outputs must also be what a rescue promises whatever the damage: every
  // slice parses and every picture is covered, and the audio is whole
  // frames only.
  void expectSoundRun(const TempDir& dir, const std::string& inputName, const Bytes& inputBytes) {
    dir.write(inputName, inputBytes);
    std::filesystem::create_directory(dir.file("rescued"));
    for (const bool rescue : {false, true}) {
      SCOPED_TRACE(rescue ? "rescued" : "plain");
      const std::string base = (rescue ? "rescued/" : "") + inputName.substr(0, inputName.rfind('.'));
      std::remove(dir.file(base + ".mpv").c_str());
      std::remove(dir.file(base + ".mp2").c_str());
      const std::vector<std::string> arguments =
          rescue ? std::vector<std::string>{"--rescue", "-o", "rescued", inputName} : std::vector<std::string>{inputName};
      const ProgramRun run = runProgram(ORVANTE_BINARY, arguments, dir.path(), kTimeLimitSeconds);
      expectFinishedRun(run, dir, base);
      EXPECT_TRUE(dir.read(inputName) == inputBytes) << "the input was changed";
      if (rescue) {
        if (dir.exists(base + ".mpv")) {
          EXPECT_EQ(sliceTrouble(dir.read(base + ".mpv")), "");
        }
        if (dir.exists(base + ".mp2")) {
          EXPECT_GE(wholeAudioFrames(dir.read(base + ".mp2")), 1) << "rescued audio of broken frames";
        }
        EXPECT_NE(run.output.find("\nRescue:\n"), std::string::npos) << run.output;
        continue;
      }
      const std::string frames = reportValue(run.output, "Frames used:  ");
      unsigned used = 0, seen = 0;
      char left = 0;
      EXPECT_TRUE(std::sscanf(frames.c_str(), "%u of %u%c", &used, &seen, &left) == 2 && used <= seen)
          << "Frames used:  " << frames;
      const long long videoSize = reportNumber(run.output, "Video size: ");
      EXPECT_GE(videoSize, 0) << run.output;
      EXPECT_LE(videoSize + expectAudioAsReported(run, dir, base), static_cast<long long>(inputBytes.size()))
          << "more stream bytes than input";
    }
  }

  // One run per damaged copy; stops at the first case that fails, which its
  // trace names.
  template <typename Damage>
  void expectSoundRuns(const std::string& inputName, int cases, Damage damage) {
    for (int k = 0; k < cases && !HasFailure(); ++k) {
      std::string description;
      const Bytes damaged = damage(k, &description);
      SCOPED_TRACE(inputName + ": " + description);
      expectSoundRun(dir_, inputName, damaged);
    }
  }

  // Runs the recording (whose audio is that of vcd.mpg) whole, then cut
  // every `stride` bytes: the audio of each cut is the start of the whole's.
  void expectCutsGivePrefixesOfTheAudio(const std::string& name, size_t stride) {
    const Bytes original = recording(name);
    const std::string extension = name.substr(name.find('.'));
    expectSoundRun(dir_, "whole" + extension, original);
    ASSERT_EQ(md5Of(dir_.file("whole.mp2")), recordedFact("audio_md5", "vcd.mpg"));
    const Bytes audio = dir_.read("whole.mp2");
    for (size_t length = stride; length < original.size() && !HasFailure(); length += stride) {
      SCOPED_TRACE(name + " cut to " + std::to_string(length));
      expectSoundRun(dir_, "cut" + extension,
                     Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length)));
      const Bytes cutAudio = dir_.read("cut.mp2");
      EXPECT_TRUE(cutAudio.size() <= audio.size() && std::equal(cutAudio.begin(), cutAudio.end(), audio.begin()))
          << "the audio of the cut is not the start of the whole's";
    }
  }

  TempDir dir_;
};

// Damage, drawn from `random`.
Bytes flipBits(Bytes bytes, int count, std::mt19937& random) {
  for (int i = 0; i < count; ++i) bytes[random() % bytes.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
  return bytes;
}

// `count` whole blocks of `blockSize`, at or after `from`, filled with `value`.
Bytes fillBlocks(Bytes bytes, size_t from, size_t blockSize, int count, uint8_t value, std::mt19937& random) {
  const size_t blocks = (bytes.size() - from) / blockSize;
  for (int i = 0; i < count; ++i) {
    const size_t start = from + (random() % blocks) * blockSize;
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(start),
              bytes.begin() + static_cast<std::ptrdiff_t>(start + blockSize), value);
  }
  return bytes;
}

Bytes sprayStartCodes(Bytes bytes, int count, std::mt19937& random) {
  for (int i = 0; i < count; ++i) {
    const size_t at = random() % (bytes.size() - 3);
    bytes[at] = 0x00;
    bytes[at + 1] = 0x00;
    bytes[at + 2] = 0x01;
    bytes[at + 3] = static_cast<uint8_t>(random());
  }
  return bytes;
}

Bytes randomBytes(size_t size, std::mt19937& random) {
  Bytes bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// Offsets of the length fields of the audio and video packets.
std::vector<size_t> packetLengthFields(const Bytes& stream) {
  std::vector<size_t> fields;
  for (size_t i = 0; i + 6 <= stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 && (stream[i + 3] == 0xC0 || stream[i + 3] == 0xE0))
      fields.push_back(i + 4);
  }
  return fields;
}

}  // namespace

TEST(RunTimeLimit, ProgramThatOutrunsItsLimitIsStoppedAndToldApart) {
#ifdef _WIN32
  // ping waits a second between its echoes.
  const char* root = std::getenv("SystemRoot");
  const std::string ping = std::string(root != nullptr ? root : "C:\\Windows") + "\\system32\\ping.exe";
  const ProgramRun run = runProgram(ping, {"-n", "20", "127.0.0.1"}, ".", 1);
  const ProgramRun quick = runProgram(ping, {"-n", "1", "127.0.0.1"}, ".", 10);
#else
  const ProgramRun run = runProgram("/bin/sleep", {"20"}, "/", 1);
  const ProgramRun quick = runProgram("/bin/true", {}, "/", 1);
#endif
  EXPECT_TRUE(run.timedOut);
  EXPECT_EQ(run.status, -1);
  EXPECT_FALSE(quick.timedOut);
  EXPECT_EQ(quick.status, 0);
}

TEST_F(DamagedRecordings, SystemStreamCutAnywhereGivesAPrefixOfItsAudio) {
  expectCutsGivePrefixesOfTheAudio("vcd.mpg", 997);
}

TEST_F(DamagedRecordings, DiscImageCutAnywhereGivesAPrefixOfItsAudio) {
  expectCutsGivePrefixesOfTheAudio("vcd.bin", 9973);
}

TEST_F(DamagedRecordings, BareStreamCutAnywhereRunsSoundly) {
  const Bytes bare = recording("bare.m1v");
  expectSoundRuns("cut.m1v", static_cast<int>(bare.size() / 4999), [&](int k, std::string* description) {
    const size_t length = 4999 * static_cast<size_t>(k + 1);
    *description = "cut to " + std::to_string(length);
    return Bytes(bare.begin(), bare.begin() + static_cast<std::ptrdiff_t>(length));
  });
}

TEST_F(DamagedRecordings, FlippedBitsAnywhereRunSoundly) {
  for (const std::string name : {"vcd.mpg", "vcd.bin", "bare.m1v"}) {
    const Bytes original = recording(name);
    expectSoundRuns("flipped" + name.substr(name.find('.')), 12, [&](int k, std::string* description) {
      std::mt19937 random(1000 + k);
      const int flips = 1 << (3 * (k % 4));  // 1, 8, 64, 512
      *description = std::to_string(flips) + " flips, seed " + std::to_string(1000 + k);
      return flipBits(original, flips, random);
    });
  }
}

TEST_F(DamagedRecordings, UnreadableSectorsAsZerosOrOnesRunSoundly) {
  const size_t track = std::stoul(recordedFact("track2_byte", "vcd.bin"));
  struct Recording {
    std::string name;
    size_t from, blockSize;
  };
  for (const Recording& r :
       {Recording{"vcd.mpg", 0, 2048}, Recording{"bare.m1v", 0, 2048}, Recording{"vcd.bin", track, kSectorSize}}) {
    const Bytes original = recording(r.name);
    expectSoundRuns("blocked" + r.name.substr(r.name.find('.')), 16, [&](int k, std::string* description) {
      std::mt19937 random(2000 + k);
      const uint8_t value = k % 2 == 0 ? 0x00 : 0xFF;
      const int blocks = 1 + k / 4;
      *description =
          std::to_string(blocks) + " blocks of " + std::to_string(value) + ", seed " + std::to_string(2000 + k);
      return fillBlocks(original, r.from, r.blockSize, blocks, value, random);
    });
  }
}

TEST_F(DamagedRecordings, StartCodesSprayedAnywhereRunSoundly) {
  for (const std::string name : {"vcd.mpg", "vcd.bin", "bare.m1v"}) {
    const Bytes original = recording(name);
    expectSoundRuns("sprayed" + name.substr(name.find('.')), 12, [&](int k, std::string* description) {
      std::mt19937 random(3000 + k);
      const int codes = k % 3 == 0 ? 1 : k % 3 == 1 ? 16 : 256;
      *description = std::to_string(codes) + " start codes, seed " + std::to_string(3000 + k);
      return sprayStartCodes(original, codes, random);
    });
  }
}

TEST_F(DamagedRecordings, PacketLengthsOfZeroOrAllOnesRunSoundly) {
  const Bytes stream = recording("vcd.mpg");
  const std::vector<size_t> fields = packetLengthFields(stream);
  ASSERT_GE(fields.size(), std::stoul(recordedFact("packs", "vcd.mpg")) / 2);
  for (const uint8_t value : {0x00, 0xFF}) {
    // Every packet at once, then single packets drawn at random.
    expectSoundRuns("lengths.mpg", 21, [&](int k, std::string* description) {
      std::mt19937 random(4000 + k);
      Bytes damaged = stream;
      const size_t one = random() % fields.size();
      for (size_t i = 0; i < fields.size(); ++i) {
        if (k == 0 || i == one) damaged[fields[i]] = damaged[fields[i] + 1] = value;
      }
      *description = std::string(value == 0 ? "length 0" : "length 0xFFFF") + " at " +
                     (k == 0 ? "every packet" : std::to_string(fields[one]));
      return damaged;
    });
  }
}

TEST_F(DamagedRecordings, ProgramStreamOfMpeg2RunsSoundly) {
  const Bytes stream = recording("mpeg2.vob");
  ASSERT_EQ(std::to_string(stream.size()), recordedFact("bytes", "mpeg2.vob"));
  expectSoundRuns("mpeg2.vob", 8, [&](int k, std::string* description) {
    const size_t length = stream.size() - stream.size() * static_cast<size_t>(k) / 8;
    *description = "cut to " + std::to_string(length);
    return Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
  });
}

TEST_F(DamagedRecordings, RandomBytesRunSoundly) {
  const size_t sizes[] = {100, 4096, 65536, 1 << 20};
  expectSoundRuns("noise.dat", 8, [&](int k, std::string* description) {
    std::mt19937 random(5000 + k);
    *description = std::to_string(sizes[k % 4]) + " random bytes, seed " + std::to_string(5000 + k);
    return randomBytes(sizes[k % 4], random);
  });
}

TEST_F(DamagedRecordings, FilesOfOneToEightBytesRunSoundly) {
  std::mt19937 random(6000);
  const std::vector<Bytes> fillings = {Bytes(8, 0x00),
                                       Bytes(8, 0xFF),
                                       randomBytes(8, random),
                                       {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13},
                                       {0x00, 0x00, 0x01, 0xB3, 0x00, 0x00, 0x01, 0xB3},
                                       {0x00, 0x00, 0x01, 0xBA, 0x00, 0x00, 0x01, 0xE0},
                                       {0x00, 0x00, 0x01, 0xE0, 0xFF, 0xFF, 0x00, 0x00}};
  for (size_t filling = 0; filling < fillings.size(); ++filling) {
    expectSoundRuns("tiny.dat", 8, [&](int k, std::string* description) {
      *description = "the first " + std::to_string(k + 1) + " bytes of filling " + std::to_string(filling);
      return Bytes(fillings[filling].begin(), fillings[filling].begin() + k + 1);
    });
  }
}
