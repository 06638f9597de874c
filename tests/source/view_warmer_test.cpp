// ViewWarmer and platform::warmPages(), on views of real files: the views
// read as they would unwarmed, a page the file cannot fill is left to the
// owner's read to find and count, and a view forgotten is read no more.

#include "source/view_warmer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "source/page_ledger.h"
#include "source/platform.h"
#include "tests/support/mapped_file.h"
#include "tests/support/special_files.h"
#include "tests/support/temp_dir.h"

namespace {

class ViewWarmerTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!platform::warmsPages()) GTEST_SKIP() << "pages are not warmed on this system";
  }
  Bytes makeFile(const std::string& name, size_t length) { return writeMarkedFile(dir_, name, length); }
  const uint8_t* mapFile(const std::string& name, size_t length, PageLedger* ledger) {
    return mapTestFile(dir_, name, 0, length, ledger);
  }

  TempDir dir_;
  const size_t unit_ = platform::zeroUnit();
};

}  // namespace

TEST_F(ViewWarmerTest, WarmedViewsReadAsTheirFilesAndForgottenOnesCanGo) {
  // Lengths around a page and a chunk, some views forgotten while queued or
  // being warmed, the rest warmed whole.
  const std::vector<size_t> lengths = {1, unit_ - 1, unit_, unit_ + 1, (1 << 20) + 3 * unit_ + 5, 9 << 20};
  ViewWarmer warmer;
  for (int forgetAt = 0; forgetAt < 3; ++forgetAt) {
    uint64_t lost = 0;
    std::vector<Bytes> files;
    std::vector<std::unique_ptr<PageLedger>> ledgers;
    std::vector<const uint8_t*> views;
    for (size_t k = 0; k < lengths.size(); ++k) {
      const std::string name = "clip" + std::to_string(k);
      files.push_back(makeFile(name, lengths[k]));
      ledgers.push_back(std::make_unique<PageLedger>(lengths[k], unit_, &lost));
      views.push_back(mapFile(name, lengths[k], ledgers.back().get()));
      ASSERT_NE(views.back(), nullptr);
      warmer.warm(views.back(), lengths[k]);
    }
    // 0: every view forgotten at once; 1: the largest; 2: none before all are warmed.
    for (size_t k = 0; k < views.size(); ++k) {
      if (forgetAt == 0 || (forgetAt == 1 && k + 1 == views.size())) {
        warmer.forget(views[k]);
        platform::unmapView(views[k], lengths[k]);
        views[k] = nullptr;
      }
    }
    warmer.wait();
    for (size_t k = 0; k < views.size(); ++k) {
      if (views[k] == nullptr) continue;
      EXPECT_EQ(Bytes(views[k], views[k] + lengths[k]), files[k]) << "view " << k << ", case " << forgetAt;
      warmer.forget(views[k]);  // warmed already: returns at once
      platform::unmapView(views[k], lengths[k]);
    }
    EXPECT_EQ(lost, 0u);
  }
}

TEST_F(ViewWarmerTest, PagesAFileNoLongerHoldsAreLeftForTheReaderToCount) {
  const Bytes bytes = makeFile("clip", 6 * unit_ + 100);
  uint64_t lost = 0;
  PageLedger ledger(bytes.size(), unit_, &lost);
  const uint8_t* view = mapFile("clip", bytes.size(), &ledger);
  ASSERT_NE(view, nullptr);
  const size_t kept = 2 * unit_ + 10;
  if (!cutFile(dir_.file("clip"), kept)) {
    platform::unmapView(view, bytes.size());
    GTEST_SKIP() << "a mapped file cannot be cut short: " << kNoSpecialFiles;
  }
  // What the file still holds warms; the view as a whole does not, and
  // nothing is marked or counted by trying.
  EXPECT_TRUE(platform::warmPages(view, 2 * unit_));
  EXPECT_FALSE(platform::warmPages(view, bytes.size()));
  EXPECT_FALSE(platform::warmPages(view + 4 * unit_, unit_));
  {
    ViewWarmer warmer;
    warmer.warm(view, bytes.size());
    warmer.wait();
  }
  EXPECT_EQ(lost, 0u);
  EXPECT_FALSE(ledger.marked(3 * unit_));
  // The reader finds the lost units as it would have unwarmed.
  for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(view[i], i < kept ? bytes[i] : 0) << "byte " << i;
  EXPECT_EQ(lost, 3 * unit_ + 100);  // units 3 to 5 and the last 100 bytes
  EXPECT_TRUE(ledger.marked(3 * unit_) && !ledger.marked(2 * unit_));
  platform::unmapView(view, bytes.size());
}
