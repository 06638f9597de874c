#include "source/mapped_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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
