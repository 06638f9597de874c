// The platform layer, through its contracts only: the same tests hold for
// every implementation.

#include "source/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/mapped_file.h"
#include "tests/support/special_files.h"
#include "tests/support/temp_dir.h"

namespace {

class PlatformTest : public testing::Test {
 protected:
  Bytes makeFile(const std::string& name, size_t length) { return writeMarkedFile(dir_, name, length); }
  const uint8_t* mapFile(const std::string& name, uint64_t offset, size_t length, PageLedger* ledger) {
    return mapTestFile(dir_, name, offset, length, ledger);
  }
  std::filesystem::path path(const std::string& name) const { return std::filesystem::u8path(dir_.file(name)); }

  TempDir dir_;
  const size_t unit_ = platform::zeroUnit();
};

}  // namespace

TEST_F(PlatformTest, KnowsAFileByItsIdentityThroughAnyLinkAndListsAFolder) {
  // Names in several scripts: UTF-8 inside, whatever the system takes.
  const std::string first = "Ça_été_déjà_vu.000", second = "日本語.001";
  makeFile(first, 10);
  makeFile(second, 20);
  std::filesystem::create_hard_link(path(second), path("hard"));
  const bool soft = makeSymlink(dir_.file(first), dir_.file("soft"));
  std::filesystem::create_directory(path("folder"));
  std::vector<std::string> expected = {"folder", "hard", first, second};
  platform::FileFacts facts[4];
  for (int k = 0; k < 4; ++k) {
    ASSERT_TRUE(platform::examine(dir_.file(expected[k]).c_str(), &facts[k])) << expected[k];
  }
  EXPECT_FALSE(facts[0].regular);
  EXPECT_TRUE(facts[2].regular);
  EXPECT_EQ(facts[2].size, 10u);
  EXPECT_EQ(facts[3].size, 20u);
  EXPECT_TRUE(facts[1].identity == facts[3].identity);
  EXPECT_FALSE(facts[2].identity == facts[3].identity);
  platform::FileFacts missing;
  EXPECT_FALSE(platform::examine(dir_.file("missing").c_str(), &missing));
  EXPECT_EQ(platform::openForReading(dir_.file("missing").c_str(), &missing), platform::kNoHandle);
  if (soft) {
    platform::FileFacts linked, opened;
    ASSERT_TRUE(platform::examine(dir_.file("soft").c_str(), &linked));
    EXPECT_TRUE(linked.identity == facts[2].identity);
    const platform::Handle file = platform::openForReading(dir_.file("soft").c_str(), &opened);
    ASSERT_NE(file, platform::kNoHandle);
    EXPECT_TRUE(opened.identity == facts[2].identity);
    EXPECT_EQ(opened.size, 10u);
    EXPECT_TRUE(platform::closeFile(file));
    expected.push_back("soft");
  }

  std::vector<std::string> names;
  ASSERT_TRUE(platform::listFolder(dir_.path(), &names));
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  EXPECT_FALSE(platform::listFolder(dir_.file("missing"), &names));
  if (!soft) GTEST_SKIP() << "no symbolic link: " << kNoSpecialFiles;
}

TEST_F(PlatformTest, OutputReplacesAPlainFileThatAViewStillReads) {
  const Bytes old = makeFile("日本語.mpv", 3 * unit_);
  uint64_t lost = 0;
  PageLedger ledger(old.size(), unit_, &lost);
  const uint8_t* view = mapFile("日本語.mpv", 0, old.size(), &ledger);
  ASSERT_NE(view, nullptr);
  bool regular = false;
  const platform::Handle output = platform::createOutput(dir_.file("日本語.mpv").c_str(), &regular);
  ASSERT_NE(output, platform::kNoHandle);
  EXPECT_TRUE(regular);
  const uint8_t fresh[] = {'n', 'e', 'w'};
  EXPECT_TRUE(platform::writeAll(output, fresh, sizeof fresh));
  EXPECT_TRUE(platform::closeFile(output));
  EXPECT_EQ(dir_.read("日本語.mpv"), Bytes(fresh, fresh + 3));
  EXPECT_TRUE(std::equal(old.begin(), old.end(), view)) << "the old file changed under its reader";
  EXPECT_EQ(lost, 0u);
  platform::unmapView(view, old.size());
  // Nothing else is left beside it.
  std::vector<std::string> names;
  ASSERT_TRUE(platform::listFolder(dir_.path(), &names));
  EXPECT_EQ(names, std::vector<std::string>{"日本語.mpv"});

  // A read-only output is replaced too, and goes when its run fails.
  namespace fs = std::filesystem;
  fs::permissions(path("日本語.mpv"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const platform::Handle again = platform::createOutput(dir_.file("日本語.mpv").c_str(), &regular);
  ASSERT_NE(again, platform::kNoHandle);
  EXPECT_TRUE(platform::writeAll(again, fresh, 2));
  EXPECT_TRUE(platform::closeFile(again));
  EXPECT_EQ(dir_.read("日本語.mpv"), Bytes(fresh, fresh + 2));
  EXPECT_TRUE(platform::removeFile(dir_.file("日本語.mpv").c_str()));
  EXPECT_FALSE(fs::exists(path("日本語.mpv")));
}

TEST_F(PlatformTest, UnitsLostToAFileCutShortReadAsCountedZerosInEveryLaterView) {
  const Bytes bytes = makeFile("clip", 5 * unit_ + 100);
  uint64_t lost = 0;
  PageLedger ledger(bytes.size(), unit_, &lost);
  const uint8_t* view = mapFile("clip", 0, bytes.size(), &ledger);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[3 * unit_], bytes[3 * unit_]);  // read before the cut
  const size_t kept = 2 * unit_ + 10;
  if (!cutFile(dir_.file("clip"), kept)) {
    platform::unmapView(view, bytes.size());
    GTEST_SKIP() << "a mapped file cannot be cut short: " << kNoSpecialFiles;
  }
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
  std::filesystem::resize_file(path("clip"), 0);
  uint64_t emptied = 0;
  PageLedger fresh(3 * unit_, unit_, &emptied);
  view = mapFile("clip", 0, 3 * unit_, &fresh);
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(std::all_of(view, view + 3 * unit_, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(emptied, 3 * unit_);
  platform::unmapView(view, 3 * unit_);
}
