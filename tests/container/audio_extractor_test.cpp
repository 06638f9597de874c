#include "container/audio_extractor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>
#include <vector>

#include "source/memory_source.h"
#include "tests/support/progress_events.h"
#include "tests/support/special_files.h"
#include "tests/support/temp_dir.h"

namespace {

using Event = ProgressEvent;

std::vector<Event> events;

class AudioExtractorTest : public testing::Test {
 protected:
  // Extracts `audio` for the input "movie.mpg"; returns what extract() did.
  bool extract(const Bytes& audio, uint32_t startAt = 0) {
    events.clear();
    MemorySource source(audio.data(), audio.size());
    source.seek(startAt);
    AudioExtractor extractor(source, recordingInto(events));
    const bool extracted = extractor.extract(dir_.file("movie.mpg"));
    writeFailed_ = extractor.writeFailed();
    return extracted;
  }
  bool sawEnd() const { return !events.empty() && events.back() == Event('E', 0, 0); }

  TempDir dir_;
  bool writeFailed_ = false;
};

}  // namespace

TEST_F(AudioExtractorTest, EmptyAudioWritesNothingAndSaysNothing) {
  EXPECT_FALSE(extract({}));
  EXPECT_FALSE(writeFailed_);
  EXPECT_TRUE(events.empty());
  EXPECT_FALSE(dir_.exists("movie.mp2"));

  dir_.write("movie.mp2", {1, 2, 3});
  EXPECT_FALSE(extract({}));
  EXPECT_EQ(dir_.read("movie.mp2"), (Bytes{1, 2, 3}));
}

TEST_F(AudioExtractorTest, WritesEveryByteAndReportsEachOne) {
  const Bytes audio = {0xFF, 0xFD, 0x00, 0x44, 0x01};
  dir_.write("movie.mp2", Bytes(100, 0xEE));
  EXPECT_TRUE(extract(audio, 3));  // from the start, wherever the cursor was
  EXPECT_FALSE(writeFailed_);
  EXPECT_EQ(dir_.read("movie.mp2"), audio);
  std::vector<Event> expected = {{'S', 0, 0}};
  for (uint32_t i = 0; i < audio.size(); ++i) expected.emplace_back('P', i, 5);
  expected.emplace_back('E', 0, 0);
  EXPECT_EQ(events, expected);

  Bytes large(150000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i % 251);
  EXPECT_TRUE(extract(large));
  EXPECT_EQ(dir_.read("movie.mp2"), large);
}

TEST_F(AudioExtractorTest, DirectoryInTheWayIsAWriteFailureThatLeavesIt) {
  const Bytes audio = {1, 2, 3};
  MemorySource source(audio.data(), audio.size());
  AudioExtractor extractor(source, recordingInto(events));
  ASSERT_TRUE(std::filesystem::create_directory(dir_.file("movie.mp2")));
  events.clear();
  extractor.extract(dir_.file("movie.mpg"));
  EXPECT_TRUE(extractor.writeFailed());
  EXPECT_FALSE(sawEnd());
  EXPECT_TRUE(std::filesystem::is_directory(dir_.file("movie.mp2")));

  std::filesystem::remove(dir_.file("movie.mp2"));
  EXPECT_TRUE(extractor.extract(dir_.file("movie.mpg")));
  EXPECT_FALSE(extractor.writeFailed()) << "a later extract that succeeds clears the failure";
  EXPECT_EQ(dir_.read("movie.mp2"), audio);
}

TEST_F(AudioExtractorTest, FullDeviceIsAWriteFailureThatRemovesTheFile) {
  for (const size_t length : {size_t{3}, size_t{100000}}) {
    SCOPED_TRACE(length);
    if (!linkToFullDevice(dir_.file("movie.mp2"))) GTEST_SKIP() << "no full device: " << kNoSpecialFiles;
    extract(Bytes(length, 0x55));
    EXPECT_TRUE(writeFailed_);
    EXPECT_FALSE(sawEnd());
    EXPECT_FALSE(dir_.exists("movie.mp2"));
  }
}
