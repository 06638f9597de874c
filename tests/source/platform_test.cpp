// The platform layer, through its contracts only: the same tests hold for
// every implementation.

#include "source/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

class PlatformTest : public testing::Test {
 protected:
  // Makes `name` hold `length` bytes of a pattern that marks each position.
  Bytes makeFile(const std::string& name, size_t length) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i % 251 + 1);
    dir_.write(name, bytes);
    return bytes;
  }
  // Maps [offset, offset + length) of `name`, closing the file at once.
  const uint8_t* mapFile(const std::string& name, uint64_t offset, size_t length, PageLedger* ledger) {
    platform::FileFacts facts;
    const platform::Handle file = platform::openForReading(dir_.file(name).c_str(), &facts);
    EXPECT_NE(file, platform::kNoHandle) << name;
    if (file == platform::kNoHandle) return nullptr;
    const uint8_t* view = platform::mapView(file, offset, length, ledger);
    EXPECT_TRUE(platform::closeFile(file));
    return view;
  }
  static void resize(const std::string& path, size_t length) { std::filesystem::resize_file(path, length); }

  TempDir dir_;
  const size_t unit_ = platform::zeroUnit();
};

}  // namespace

TEST_F(PlatformTest, KnowsAFileByItsIdentityThroughAnyLinkAndListsAFolder) {
  makeFile("movie.000", 10);
  makeFile("movie.001", 20);
  std::filesystem::create_hard_link(dir_.file("movie.001"), dir_.file("hard"));
  std::filesystem::create_symlink(dir_.file("movie.000"), dir_.file("soft"));
  std::filesystem::create_directory(dir_.file("folder"));
  platform::FileFacts first, second, hard, soft, folder;
  ASSERT_TRUE(platform::examine(dir_.file("movie.000").c_str(), &first));
  ASSERT_TRUE(platform::examine(dir_.file("movie.001").c_str(), &second));
  ASSERT_TRUE(platform::examine(dir_.file("hard").c_str(), &hard));
  ASSERT_TRUE(platform::examine(dir_.file("soft").c_str(), &soft));
  ASSERT_TRUE(platform::examine(dir_.file("folder").c_str(), &folder));
  EXPECT_TRUE(first.regular);
  EXPECT_EQ(first.size, 10u);
  EXPECT_EQ(second.size, 20u);
  EXPECT_FALSE(folder.regular);
  EXPECT_TRUE(hard.identity == second.identity);
  EXPECT_TRUE(soft.identity == first.identity);
  EXPECT_FALSE(first.identity == second.identity);
  EXPECT_FALSE(platform::examine(dir_.file("missing").c_str(), &first));

  platform::FileFacts opened;
  const platform::Handle file = platform::openForReading(dir_.file("soft").c_str(), &opened);
  ASSERT_NE(file, platform::kNoHandle);
  EXPECT_TRUE(opened.identity == first.identity);
  EXPECT_TRUE(platform::closeFile(file));
  EXPECT_EQ(platform::openForReading(dir_.file("missing").c_str(), &opened), platform::kNoHandle);

  std::vector<std::string> names;
  ASSERT_TRUE(platform::listFolder(dir_.path(), &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"folder", "hard", "movie.000", "movie.001", "soft"}));
  EXPECT_FALSE(platform::listFolder(dir_.file("missing"), &names));
}

TEST_F(PlatformTest, UnitsLostToAFileCutShortReadAsCountedZerosInEveryLaterView) {
  const Bytes bytes = makeFile("clip", 5 * unit_ + 100);
  uint64_t lost = 0;
  PageLedger ledger(bytes.size(), unit_, &lost);
  const uint8_t* view = mapFile("clip", 0, bytes.size(), &ledger);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[3 * unit_], bytes[3 * unit_]);  // read before the cut
  const size_t kept = 2 * unit_ + 10;
  resize(dir_.file("clip"), kept);
  // Forwards, then backwards: what is kept reads as before, the rest as 0.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t k = 0; k < bytes.size(); ++k) {
      const size_t i = pass == 0 ? k : bytes.size() - 1 - k;
      ASSERT_EQ(view[i], i < kept ? bytes[i] : 0) << "byte " << i << ", pass " << pass;
    }
  }
  // Units 3 and 4 and the 100 bytes of the last one; the bytes past the new
  // end within unit 2 read as zeros as the system gives them, uncounted.
  EXPECT_EQ(lost, 2 * unit_ + 100);
  EXPECT_TRUE(ledger.marked(3 * unit_) && !ledger.marked(2 * unit_));
  platform::unmapView(view, bytes.size());

  // The whole file back: the units found unreadable stay zeros in a new
  // view, counted once, so that every pass reads the same bytes.
  dir_.write("clip", bytes);
  view = mapFile("clip", 0, bytes.size(), &ledger);
  ASSERT_NE(view, nullptr);
  for (size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(view[i], i < 3 * unit_ ? bytes[i] : 0) << "byte " << i;
  }
  EXPECT_EQ(lost, 2 * unit_ + 100);
  platform::unmapView(view, bytes.size());

  // Emptied before it is mapped: zeros to the length asked for.
  resize(dir_.file("clip"), 0);
  uint64_t emptied = 0;
  PageLedger fresh(3 * unit_, unit_, &emptied);
  view = mapFile("clip", 0, 3 * unit_, &fresh);
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(std::all_of(view, view + 3 * unit_, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(emptied, 3 * unit_);
  platform::unmapView(view, 3 * unit_);
}
