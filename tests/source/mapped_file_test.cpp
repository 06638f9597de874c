#include "source/mapped_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/temp_dir.h"

namespace {

class MappedFileTest : public testing::Test {
 protected:
  // Creates `name` in the test's folder and returns its full name.
  std::string makeFile(const std::string& name, const Bytes& bytes) {
    folder_.write(name, bytes);
    return folder_.file(name);
  }
  Bytes mappedBytes(const MappedFile& file) const {
    return file.view() == nullptr ? Bytes() : Bytes(file.view(), file.view() + file.viewLength());
  }
  void expectNoView(const MappedFile& file) const {
    EXPECT_EQ(file.view(), nullptr);
    EXPECT_EQ(file.viewLength(), 0u);
  }

  TempDir folder_;
};

}  // namespace

TEST_F(MappedFileTest, MapsEveryByteOfAnExistingFile) {
  Bytes bytes(5000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  MappedFile file;
  file.open(makeFile("clip", bytes).c_str());
  EXPECT_EQ(file.viewLength(), bytes.size());
  EXPECT_EQ(mappedBytes(file), bytes);
}

TEST_F(MappedFileTest, GivesNoViewForAMissingEmptyOrNonRegularFile) {
  MappedFile file;
  file.open(folder_.file("missing").c_str());
  expectNoView(file);
  file.open(makeFile("empty", {}).c_str());
  expectNoView(file);
  ASSERT_EQ(::mkdir(folder_.file("folder").c_str(), 0700), 0);
  file.open(folder_.file("folder").c_str());
  expectNoView(file);
}

TEST_F(MappedFileTest, ClosingTwiceOrClosingNothingIsHarmless) {
  MappedFile file;
  file.close();
  file.open(makeFile("clip", {1, 2, 3}).c_str());
  ASSERT_EQ(file.viewLength(), 3u);
  file.close();
  expectNoView(file);
  file.close();
  expectNoView(file);
}

TEST_F(MappedFileTest, OpenMovesTheRecordFromFileToFile) {
  const std::string first = makeFile("first", {1, 2, 3});
  const std::string second = makeFile("second", {9, 8, 7, 6, 5});
  MappedFile file;
  file.open(first.c_str());
  EXPECT_EQ(mappedBytes(file), (Bytes{1, 2, 3}));
  file.open(second.c_str());
  EXPECT_EQ(mappedBytes(file), (Bytes{9, 8, 7, 6, 5}));
  file.open(folder_.file("missing").c_str());  // the old view is dropped, not kept
  expectNoView(file);
  file.open(first.c_str());
  EXPECT_EQ(mappedBytes(file), (Bytes{1, 2, 3}));
}

TEST_F(MappedFileTest, PagesLostToAFileCutShortAfterMappingReadAsCountedZeros) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const Bytes bytes = [&] {
    Bytes made(5 * page + 100);
    for (size_t i = 0; i < made.size(); ++i) made[i] = static_cast<uint8_t>(i % 251 + 1);
    return made;
  }();
  const std::string name = makeFile("clip", bytes);
  MappedFile file;
  file.open(name.c_str());
  ASSERT_EQ(file.viewLength(), bytes.size());
  EXPECT_EQ(file.view()[3 * page], bytes[3 * page]);  // in memory before the cut
  const size_t kept = 2 * page + 10;
  ASSERT_EQ(::truncate(name.c_str(), static_cast<off_t>(kept)), 0);
  // Forwards, then backwards: what is kept reads as before, the rest as 0.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t k = 0; k < bytes.size(); ++k) {
      const size_t i = pass == 0 ? k : bytes.size() - 1 - k;
      ASSERT_EQ(file.view()[i], i < kept ? bytes[i] : 0) << "byte " << i << ", pass " << pass;
    }
  }
  // Pages 3 and 4 and the 100 bytes of the last one; the bytes past the new
  // end within page 2 read as zeros as the system gives them, uncounted.
  EXPECT_EQ(file.zeroedBytes(), 2 * page + 100);

  // A file that grows is seen at its length when mapped; one emptied before
  // mapping reads as zeros to the length asked for.
  ASSERT_EQ(::truncate(name.c_str(), static_cast<off_t>(8 * page)), 0);
  EXPECT_EQ(file.view()[kept - 1], bytes[kept - 1]);
  EXPECT_EQ(file.viewLength(), bytes.size());
  ASSERT_EQ(::truncate(name.c_str(), 0), 0);
  file.open(name.c_str(), 3 * page);
  ASSERT_EQ(file.viewLength(), 3 * page);
  for (size_t i = 0; i < 3 * page; i += 97) ASSERT_EQ(file.view()[i], 0) << i;
  EXPECT_EQ(file.zeroedBytes(), 3 * page);
}
