#include "video/headless_picture_finder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "source/memory_source.h"
#include "source/time_stamp_list.h"
#include "tests/container/demuxed_streams.h"
#include "tests/video/slice_index.h"
#include "video/picture_recoder.h"
#include "video/picture_survey.h"
#include "video/picture_timeline.h"
#include "video/video_fixer.h"
#include "video/macroblock_codes.h"
#include "video/video_format.h"

namespace {

// bare.m1v: 352x288, I P B B P B B ..., three slices to a picture. Picture
// 4 is a P picture, after the B pictures 2 and 3 and before B pictures 5
// and 6 and P picture 7.
class HeadlessPictureFinderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bare_ = testRecording("bare.m1v");
    slices_ = indexSlices(bare_);
    ASSERT_NE(pictureStart(7), 0u);
    ASSERT_EQ((bare_[pictureStart(4) + 5] >> 3) & 7, 2);
  }

  // Where picture k's start code lies, and where its first slice ends.
  size_t pictureStart(size_t k) const {
    size_t seen = 0;
    for (size_t at = 0; at + 4 <= bare_.size(); ++at) {
      if (bare_[at] == 0 && bare_[at + 1] == 0 && bare_[at + 2] == 1 && bare_[at + 3] == 0 && seen++ == k) return at;
    }
    return 0;
  }
  size_t firstSliceEnd(size_t k) const {
    for (const IndexedSlice& s : slices_) {
      if (s.picture == k) return s.end;
    }
    return 0;
  }

  // Surveys and places `stream` (the clean one first, for the slot of
  // picture 4), and finds the rest of the anchor lost at picture 4's slot
  // (and, when `twoLost`, at the slot after it too) with the damaged
  // ranges `damaged`.
  bool find(const Bytes& stream, const std::vector<uint32_t>& damaged, bool twoLost, HeadlessPictureFinder::Rest* rest) {
    survey(bare_);
    const int64_t lost = timeline_->slot(4);
    survey(stream);
    const std::vector<PictureChooser::Form> forms(survey_->pictures().size(), PictureChooser::Form::kAsItIs);
    damaged_ = damaged;
    finder_ = std::make_unique<HeadlessPictureFinder>(*survey_, *timeline_, damaged_);
    std::vector<int64_t> slots = {lost};
    if (twoLost) slots.push_back(lost + 1);
    const std::map<int64_t, HeadlessPictureFinder::Rest> rests = finder_->find(*source_, forms, slots);
    EXPECT_LE(rests.size(), 1u);
    if (rests.empty()) return false;
    EXPECT_EQ(rests.begin()->first, lost);
    *rest = rests.begin()->second;
    return true;
  }

  void survey(const Bytes& stream) {
    stream_ = stream;
    source_ = std::make_unique<MemorySource>(stream_.data(), stream_.size());
    fixer_ = std::make_unique<VideoFixer>(*source_, ProgressCallback());
    fixer_->probe();
    survey_ = std::make_unique<PictureSurvey>(*source_, fixer_->format(), ProgressCallback(), nullptr);
    survey_->survey();
    timeline_ = std::make_unique<PictureTimeline>(*survey_, stamps_, fixer_->format().frameRateCode);
    timeline_->place();
  }

  // bare.m1v without [from, to).
  Bytes without(size_t from, size_t to) const {
    Bytes cut(bare_.begin(), bare_.begin() + static_cast<std::ptrdiff_t>(from));
    cut.insert(cut.end(), bare_.begin() + static_cast<std::ptrdiff_t>(to), bare_.end());
    return cut;
  }

  Bytes bare_;
  std::vector<IndexedSlice> slices_;
  Bytes stream_;
  std::unique_ptr<MemorySource> source_;
  std::unique_ptr<VideoFixer> fixer_;
  std::unique_ptr<PictureSurvey> survey_;
  TimeStampList stamps_;
  std::unique_ptr<PictureTimeline> timeline_;
  std::vector<uint32_t> damaged_;
  std::unique_ptr<HeadlessPictureFinder> finder_;
};

TEST_F(HeadlessPictureFinderTest, FindsTheRestOfALostAnchorInThePictureJustBeforeItOnly) {
  const uint32_t start = static_cast<uint32_t>(pictureStart(4));
  const uint32_t sliceEnd = static_cast<uint32_t>(firstSliceEnd(4));
  const uint32_t five = static_cast<uint32_t>(pictureStart(5));
  struct Case {
    const char* name;
    uint32_t from, to;              // lost from the stream
    std::vector<uint32_t> damaged;  // in the stream left
    bool found;
    bool twoLost = false;
  };
  // Picture 4's head lost: survey pictures 0 I, 1 P, 2 B, 3 B, 4 B, 5 B,
  // 6 P. Its rest runs on in picture 3's last slice and the two after it.
  const Case cases[] = {
      {"its rest in the B picture before it", start, start + 300, {start - 1, start}, true},
      {"a rest too short to tell", start, five - 300, {start - 1, start}, false},
      {"damage not known at the join", start, start + 300, {}, false},
      {"the picture ends inside damage", start, start + 300, {start - 1, start, five - 1000, five}, false},
      // Another anchor lost before the next one kept: which rest is whose
      // is not told.
      {"two anchors lost in a row", start, start + 300, {start - 1, start}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HeadlessPictureFinder::Rest rest;
    const bool found = find(without(c.from, c.to), c.damaged, c.twoLost, &rest);
    EXPECT_EQ(found, c.found);
    if (!found) continue;
    EXPECT_EQ(rest.from, start);
    ASSERT_EQ(rest.slices.size(), 3u);
    EXPECT_LT(rest.slices[0].start, start);
    EXPECT_EQ(rest.slices[0].end, sliceEnd - (c.to - c.from));
    EXPECT_GE(rest.quantiser, 1u);
    ASSERT_EQ(rest.fCodes.size(), 7u);
    EXPECT_EQ(rest.fCodes[0], survey_->pictures()[6].forwardFCode);
    // The picture it lies in keeps none of it.
    std::vector<uint32_t> damaged = c.damaged;
    HeadlessPictureFinder::claim({{0, rest}}, &damaged);
    EXPECT_EQ(damaged, (std::vector<uint32_t>{start - 1, rest.slices.back().end}));

    // Re-coded, it keeps what of the rest walks clean under the motion
    // range it was coded with, and nothing under another.
    PictureRecoder recoder(22, 18, 1);
    std::vector<uint8_t> out;
    PictureRecoder::Result result;
    ASSERT_TRUE(finder_->recode(*source_, rest, ConcealmentPlanner::Anchors(), recoder, &out, &result));
    EXPECT_EQ(result.forwardFCode, survey_->pictures()[6].forwardFCode);
    EXPECT_GT(result.kept, 22u * 18 * 3 / 4);
    EXPECT_EQ(result.kept + result.concealed, 22u * 18);
    EXPECT_FALSE(out.empty());
    HeadlessPictureFinder::Rest wrong = rest;
    wrong.fCodes = std::vector<uint32_t>{rest.fCodes[0] % kMaxFCode + 1};
    out.clear();
    EXPECT_FALSE(finder_->recode(*source_, wrong, ConcealmentPlanner::Anchors(), recoder, &out, &result));
    EXPECT_TRUE(out.empty());
  }
}

}  // namespace
