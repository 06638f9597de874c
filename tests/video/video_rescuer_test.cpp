// The video rescue on small streams that decoders take whole: what the
// survey finds wrong, where the timeline places pictures, and what the
// rescuer writes for each kind of loss.

#include "video/video_rescuer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "source/memory_source.h"
#include "source/range_list.h"
#include "tests/container/demuxed_streams.h"
#include "tests/support/recording_reporter.h"
#include "tests/support/temp_dir.h"
#include "tests/video/rescue_stream_builder.h"
#include "tests/video/slice_index.h"
#include "video/picture_survey.h"
#include "video/picture_timeline.h"
#include "video/video_fixer.h"
#include "video/video_format.h"

namespace {

using Drop = RepairReporter::Drop;
using Repair = RepairReporter::Repair;

// The slots `stream` shows, in display order, each as often as it shows;
// every picture must walk clean.
std::vector<size_t> cleanSlots(const Bytes& stream) {
  std::multiset<size_t> slots;
  for (const WalkedPicture& p : walkPictures(stream)) {
    EXPECT_EQ(p.trouble, "") << "slot " << p.displayIndex;
    slots.insert(p.displayIndex);
  }
  return std::vector<size_t>(slots.begin(), slots.end());
}

std::vector<size_t> range(size_t count) {
  std::vector<size_t> all;
  for (size_t k = 0; k < count; ++k) all.push_back(k);
  return all;
}

class VideoRescuerTest : public ::testing::Test {
 protected:
  // Analyses `stream` and writes it, covering `recording`; returns the file.
  Bytes rescue(const RescueStreamBuilder& stream, const PresentationSpan& recording = {}, bool recordingClean = false) {
    bytes_ = stream.bytes();
    source_ = std::make_unique<MemorySource>(bytes_.data(), bytes_.size());
    reporter_ = RecordingReporter();
    rescuer_ = std::make_unique<VideoRescuer>(*source_, stream.stamps(), ProgressCallback(), ProgressCallback(), &reporter_);
    rescuer_->analyze();
    rescuer_->write(dir_.file("out"), recording, recordingClean);
    EXPECT_FALSE(rescuer_->writeFailed());
    return dir_.read("out.mpv");
  }

  // What the plain rewrite writes for the same stream.
  Bytes plain(const RescueStreamBuilder& stream) {
    const Bytes bytes = stream.bytes();
    MemorySource source(bytes.data(), bytes.size());
    VideoFixer fixer(source, ProgressCallback());
    fixer.rewrite(dir_.file("plain"));
    return dir_.read("plain.mpv");
  }

  // Surveys `stream` alone; `suspect`, when given, as the sector stage
  // would give it.
  std::unique_ptr<PictureSurvey> survey(const Bytes& stream, const RangeList* suspect = nullptr) {
    bytes_ = stream;
    source_ = std::make_unique<MemorySource>(bytes_.data(), bytes_.size());
    fixer_ = std::make_unique<VideoFixer>(*source_, ProgressCallback());
    fixer_->probe();
    reporter_ = RecordingReporter();
    auto result = std::make_unique<PictureSurvey>(*source_, fixer_->format(), ProgressCallback(), &reporter_, suspect);
    result->survey();
    return result;
  }

  // An I B B P B B P group of 9 slots from `base`, open unless `base` is 0;
  // `headerLost`: its sequence and group headers are lost.
  static void ibbpGroup(RescueStreamBuilder& s, uint32_t base, const std::set<uint32_t>& lost = {},
                        bool headerLost = false) {
    if (headerLost) {
      s.lostGroup(base);
    } else {
      s.group(base, base == 0);
    }
    const std::pair<char, uint32_t> order[] = {{'I', 2}, {'B', 0}, {'B', 1}, {'P', 5}, {'B', 3}, {'B', 4}, {'P', 8}, {'B', 6}, {'B', 7}};
    for (const auto& [type, tref] : order) {
      if (lost.count(tref) != 0) {
        s.lost(type, tref);
      } else {
        s.picture(type, tref);
      }
    }
  }

  TempDir dir_;
  RecordingReporter reporter_;
  std::unique_ptr<VideoRescuer> rescuer_;

 private:
  Bytes bytes_;
  std::unique_ptr<MemorySource> source_;
  std::unique_ptr<VideoFixer> fixer_;
};

}  // namespace

TEST_F(VideoRescuerTest, SurveyTellsWhatIsWrongWithEachPicture) {
  RescueStreamBuilder whole;
  ibbpGroup(whole, 0);
  ASSERT_TRUE(survey(whole.bytes())->clean());

  struct Case {
    const char* name;
    std::function<Bytes(Bytes)> damage;  // applied to the whole stream's bytes
    Drop reason;                         // why something was dropped; kLostSector: nothing was
    bool intact;                         // the damaged picture (the P with slot 5, picture 3)
    bool whole;
  };
  const uint32_t p5 = whole.pictureOffsets()[3];
  const uint32_t b3 = whole.pictureOffsets()[4];
  // The P picture's header is 9 bytes; its two slices follow.
  const auto secondSlice = [&](const Bytes& s) {
    for (uint32_t i = p5 + 13; i + 3 < b3; ++i) {
      if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i;
    }
    return b3;
  };
  const Case cases[] = {
      {"a slice that does not parse",
       [&](Bytes s) { s.insert(s.begin() + secondSlice(s) - 1, 0x77); return s; }, Drop::kBrokenSlice, false, false},
      {"a row no slice covers",
       [&](Bytes s) { s.erase(s.begin() + secondSlice(s), s.begin() + b3); return s; }, Drop::kLostSector, false, false},
      {"a slice over rows covered already",
       [&](Bytes s) {
         const uint32_t second = secondSlice(s);
         const Bytes again(s.begin() + second, s.begin() + b3);
         s.insert(s.begin() + b3, again.begin(), again.end());
         return s;
       },
       Drop::kStraySlice, true, false},
      {"a start code with no place there",
       [&](Bytes s) { const Bytes junk = {0, 0, 1, 0xB4, 0x12}; s.insert(s.begin() + b3, junk.begin(), junk.end()); return s; },
       Drop::kStartCodeRejected, true, true},
      {"no motion range",
       [&](Bytes s) { s[p5 + 8] &= 0x7F; return s; }, Drop::kBrokenPicture, false, false},  // forward f_code 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<PictureSurvey> found = survey(c.damage(whole.bytes()));
    EXPECT_FALSE(found->clean());
    ASSERT_EQ(found->pictures().size(), 9u);
    EXPECT_EQ(found->pictures()[3].intact, c.intact);
    EXPECT_EQ(found->pictures()[3].whole, c.whole);
    for (size_t k = 0; k < 9; ++k) {
      if (k != 3 && k != 4) {
        EXPECT_TRUE(found->pictures()[k].whole) << k;
      }
    }
    const std::vector<Drop> reasons = reporter_.dropReasons();
    if (c.reason == Drop::kLostSector) {
      EXPECT_TRUE(reasons.empty());
    } else {
      EXPECT_NE(std::find(reasons.begin(), reasons.end(), c.reason), reasons.end());
    }
  }
}

TEST_F(VideoRescuerTest, SurveyWalksASliceThatASuspectStartCodeEnds) {
  // Damage in the sector after a picture made a start code where a slice
  // went on: the slice ends early, and nothing of the picture itself lies
  // in the suspect range, which begins at that code.
  RescueStreamBuilder s;
  ibbpGroup(s, 0);
  Bytes bytes = s.bytes();
  // Inside the last slice of the P picture: its header is 9 bytes, each of
  // its two slices 7 (start code, 20 bits of data), and the cut leaves 2.
  const uint32_t cut = s.pictureOffsets()[3] + 9 + 7 + 6;
  const Bytes junk = {0x00, 0x00, 0x01, 0xB4};
  bytes.insert(bytes.begin() + cut, junk.begin(), junk.end());
  RangeList suspect;
  suspect.append(cut, cut + 200);
  const std::unique_ptr<PictureSurvey> found = survey(bytes, &suspect);
  ASSERT_EQ(found->pictures().size(), 9u);
  EXPECT_FALSE(found->pictures()[3].intact);
  EXPECT_TRUE(found->pictures()[0].whole);
  // Where nothing is suspect, its slices are taken as written.
  const RangeList none;
  EXPECT_TRUE(survey(bytes, &none)->pictures()[3].whole);
}

TEST_F(VideoRescuerTest, TimelinePlacesPicturesByStampsAndOutvotesADamagedOne) {
  RescueStreamBuilder s;
  ibbpGroup(s, 0);
  ibbpGroup(s, 9, {3});  // the B picture of slot 12 lost
  const Bytes bytes = s.bytes();
  const std::unique_ptr<PictureSurvey> found = survey(bytes);
  // One stamp wildly off: its group's others outvote it.
  TimeStampList stamps;
  for (size_t k = 0; k < s.stamps().count(); ++k) {
    TimeStamp stamp = s.stamps()[k];
    if (k == 12) stamp.pts += 1000 * RescueStreamBuilder::kTicks;
    stamps.append(stamp);
  }
  PictureTimeline timeline(*found, stamps, 3);
  timeline.place();
  EXPECT_TRUE(timeline.checked());
  // Slots count from the first picture decoded, the first I picture.
  std::set<int64_t> slots;
  for (uint32_t k = 0; k < found->pictures().size(); ++k) slots.insert(timeline.slot(k) - timeline.firstSlot());
  std::set<int64_t> expected;
  for (int64_t slot = 0; slot < 18; ++slot) {
    if (slot != 12) expected.insert(slot);
  }
  EXPECT_EQ(slots, expected);
  EXPECT_EQ(timeline.groupBase(1) - timeline.firstSlot(), 9);
  EXPECT_EQ(timeline.span().start, RescueStreamBuilder::kOrigin);
  EXPECT_EQ(timeline.span().end, RescueStreamBuilder::kOrigin + 18 * RescueStreamBuilder::kTicks);

  // Without stamps, temporal references alone: the same slots, unchecked.
  const TimeStampList none;  // the timeline keeps a reference: it must outlive it
  PictureTimeline bare(*found, none, 3);
  bare.place();
  EXPECT_FALSE(bare.checked());
  EXPECT_EQ(bare.slot(9), 11);  // the second group's I picture
}

TEST_F(VideoRescuerTest, WritesACleanStreamAsThePlainRewriteDoes) {
  // Clean also where the system stream's end code ends the video, filled
  // after it as the multiplexer liked.
  RescueStreamBuilder ended;
  ibbpGroup(ended, 0);
  ended.endCode({0xFF, 0xFF, 0x5A, 0x00, 0x01});
  rescue(ended);
  EXPECT_TRUE(rescuer_->clean({}));
  EXPECT_TRUE(reporter_.drops.empty());

  RescueStreamBuilder s;
  ibbpGroup(s, 0);
  ibbpGroup(s, 9);
  const Bytes plainBytes = plain(s);
  EXPECT_EQ(rescue(s, {}, true), plainBytes);
  EXPECT_TRUE(rescuer_->clean({}));
  EXPECT_TRUE(reporter_.repairs.empty());
  // Written by the rescue itself, as when the audio beside it was damaged:
  // the same pictures in the same order.
  const std::vector<WalkedPicture> rescued = walkPictures(rescue(s, {}, false));
  const std::vector<WalkedPicture> asPlain = walkPictures(plainBytes);
  ASSERT_EQ(rescued.size(), asPlain.size());
  for (size_t k = 0; k < rescued.size(); ++k) {
    EXPECT_EQ(rescued[k].codingType, asPlain[k].codingType);
    EXPECT_EQ(rescued[k].displayIndex, asPlain[k].displayIndex);
  }
}

TEST_F(VideoRescuerTest, FillsEveryLostSlotWithARepeatThatKeepsTheOrder) {
  struct Case {
    const char* name;
    std::function<void(RescueStreamBuilder&)> build;
    size_t slots;     // slots the output shows, 0 to slots - 1
    size_t repeated;
    size_t concealed;  // pictures
  };
  const Case cases[] = {
      {"a B picture lost", [](RescueStreamBuilder& s) { ibbpGroup(s, 0, {3}); ibbpGroup(s, 9); }, 18, 1, 0},
      // A repeat of the anchor before stands in for it, and the B pictures
      // predicted from it still go out: those of its own group (slots 6, 7)
      // and the next group's leading ones (9, 10).
      {"a P picture lost", [](RescueStreamBuilder& s) { ibbpGroup(s, 0, {8}); ibbpGroup(s, 9); }, 18, 1, 0},
      // The second group's I picture lost: a repeat stands in for it, and
      // the rest of its group, and the next group's leading B pictures,
      // are predicted from that.
      {"an I picture lost", [](RescueStreamBuilder& s) { ibbpGroup(s, 0); ibbpGroup(s, 9, {2}); ibbpGroup(s, 18); }, 27, 1, 0},
      // The same with its group header: the B picture numbered 0 after
      // one numbered 7 tells that a group began.
      {"an I picture lost with its group header",
       [](RescueStreamBuilder& s) { ibbpGroup(s, 0); ibbpGroup(s, 9, {2}, true); ibbpGroup(s, 18); }, 27, 1, 0},
      {"a slice broken",
       [](RescueStreamBuilder& s) {
         s.group(0, true).picture('I', 0).picture('P', 1).breakLastSlice().picture('P', 2);
       },
       3, 0, 1},
      // Nothing is shown before the first I picture that survives: the repeats
      // of the first group and of the next group's leading pictures look
      // ahead to it.
      {"the first I picture lost", [](RescueStreamBuilder& s) { ibbpGroup(s, 0, {2}); ibbpGroup(s, 9); }, 18, 11, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RescueStreamBuilder s;
    c.build(s);
    EXPECT_EQ(cleanSlots(rescue(s)), range(c.slots));
    EXPECT_EQ(reporter_.count(Repair::kPictureRepeated), c.repeated);
    EXPECT_EQ(rescuer_->picturesRepeated(), c.repeated);
    EXPECT_EQ(reporter_.count(Repair::kPictureConcealed), c.concealed);
  }

  // The first group lost: the stream starts with the next group's I
  // picture, then repeats of it, in a closed group of their own: B pictures
  // ahead of a stream's first I picture upset decoders' time keeping, and an
  // open first group would have decoders skip its leading pictures.
  {
    RescueStreamBuilder s;
    ibbpGroup(s, 0, {2});
    ibbpGroup(s, 9);
    const Bytes out = rescue(s);
    const Bytes groupCode = {0x00, 0x00, 0x01, 0xB8};
    const auto group = std::search(out.begin(), out.end(), groupCode.begin(), groupCode.end());
    ASSERT_LT(group + 8, out.end());
    EXPECT_NE(group[7] & 0x40, 0) << "closed flag";
    const std::vector<WalkedPicture> walked = walkPictures(out);
    ASSERT_GE(walked.size(), 11u);
    EXPECT_EQ(walked[0].codingType, kIntraCoded);
    for (size_t k = 1; k < 11; ++k) EXPECT_EQ(walked[k].codingType, kPredictiveCoded) << k;
  }

  // Without stamps, only temporal references tell lost pictures: one lost
  // B picture inside a group is still found, and the report says the
  // timeline was not checked.
  RescueStreamBuilder s;
  ibbpGroup(s, 0, {3});
  const Bytes bytes = s.bytes();
  MemorySource source(bytes.data(), bytes.size());
  RecordingReporter reporter;
  const TimeStampList none;  // the rescuer keeps a reference: it must outlive it
  VideoRescuer rescuer(source, none, ProgressCallback(), ProgressCallback(), &reporter);
  rescuer.analyze();
  rescuer.write(dir_.file("bare"), {}, false);
  EXPECT_TRUE(reporter.unchecked);
  EXPECT_EQ(rescuer.picturesRepeated(), 1u);
  EXPECT_EQ(cleanSlots(dir_.read("bare.mpv")), range(9));
}

TEST_F(VideoRescuerTest, PadsTheVideoToTheRecordingsSpan) {
  RescueStreamBuilder s;
  ibbpGroup(s, 0);
  PresentationSpan recording;
  recording.start = RescueStreamBuilder::kOrigin - 2 * RescueStreamBuilder::kTicks;
  recording.end = RescueStreamBuilder::kOrigin + 12 * RescueStreamBuilder::kTicks;
  recording.known = true;
  EXPECT_EQ(cleanSlots(rescue(s, recording)), range(14));
  EXPECT_EQ(rescuer_->picturesRepeated(), 5u);
  EXPECT_FALSE(reporter_.unchecked);
  // The first repeat shows at the recording's start.
  ASSERT_FALSE(reporter_.repairs.empty());
  EXPECT_EQ(reporter_.repairs.front().time, 0u);
}

TEST_F(VideoRescuerTest, BelievesTheStampsAboutALossOnlyWithinBounds) {
  RescueStreamBuilder s;
  ibbpGroup(s, 0);
  ibbpGroup(s, 9);
  ibbpGroup(s, 18);
  const Bytes bytes = s.bytes();
  const std::unique_ptr<PictureSurvey> found = survey(bytes);
  const int64_t minute = 60 * 25;  // slots at 25 pictures a second
  struct Case {
    const char* name;
    int64_t jump;       // slots the stamps move on from the second group
    int64_t secondBase; // where the second group lands, from the first slot
  };
  const Case cases[] = {
      {"ten seconds lost", 10 * 25, 9 + 10 * 25},
      // 9 pictures survived before the loss: a minute and 9 slots may be
      // bridged.
      {"just within the allowance", minute + 9, 9 + minute + 9},
      {"beyond the allowance: the clock jumped", minute + 10, 9},
      {"two hours on: the clock jumped", 120 * minute, 9},
      {"the clock went back an hour", -60 * minute, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TimeStampList stamps;
    for (size_t k = 0; k < s.stamps().count(); ++k) {
      TimeStamp stamp = s.stamps()[k];
      if (k >= 9) stamp.pts += static_cast<uint64_t>(c.jump * RescueStreamBuilder::kTicks) % kTimeStampModulus;
      if (k >= 9) stamp.dts += static_cast<uint64_t>(c.jump * RescueStreamBuilder::kTicks) % kTimeStampModulus;
      stamps.append(stamp);
    }
    PictureTimeline timeline(*found, stamps, 3);
    timeline.place();
    EXPECT_EQ(timeline.groupBase(1) - timeline.firstSlot(), c.secondBase);
    // The group after keeps its place on the clock as it runs after a jump.
    EXPECT_EQ(timeline.groupBase(2) - timeline.groupBase(1), 9);
    EXPECT_EQ(timeline.freeSlots(), c.secondBase - 9);
  }

  // Padding counts as loss: a recording whose other stream runs twenty
  // minutes on gets a minute of repeats beyond the 9 pictures that survived.
  // Temporal references cannot number so many in one group: groups that
  // repeat the I picture carry the run on, each numbered from 0.
  RescueStreamBuilder one;
  ibbpGroup(one, 0);
  PresentationSpan recording;
  recording.start = RescueStreamBuilder::kOrigin;
  recording.end = RescueStreamBuilder::kOrigin + 20 * 60 * kTicksPerSecond;
  recording.known = true;
  const Bytes padded = rescue(one, recording);
  EXPECT_EQ(rescuer_->picturesRepeated(), static_cast<uint32_t>(minute + 9));
  EXPECT_EQ(cleanSlots(padded), range(static_cast<size_t>(minute + 18)));
  EXPECT_EQ(walkPictures(padded)[1024].codingType, kIntraCoded);
}

// A bit flipped in a DC differential leaves an I picture parsing. With no
// error codes to vouch for the stream, the rescue levels the run the flip
// left, and counts the picture concealed; where the sectors' codes vouch
// for every byte (nothing suspect), the slice goes out as it is.
TEST_F(VideoRescuerTest, LevelsAFlippedDcBitOnlyWhereNothingVouchesForTheBytes) {
  const Bytes clean = testRecording("bare.m1v");
  const std::vector<IndexedSlice> slices = indexSlices(clean);
  const IndexedSlice& slice = slices[1];  // the first I picture's second slice
  ASSERT_EQ(slice.context.codingType, kIntraCoded);
  ASSERT_EQ(slice.picture, 0u);
  const SliceWalker walker(slice.context);
  std::vector<MacroblockRecord> records;
  walker.walk(slice.verticalPosition, clean.data() + slice.dataStart(), slice.dataLength(), &records);
  // A macroblock in the middle of the slice's third row: of the bits of
  // its first block's differential, one whose flip the recoder levels.
  const uint32_t width = slice.context.widthInMacroblocks;
  const MacroblockRecord& mb = records[2 * width + width / 2];
  Bytes damaged;
  for (uint32_t bit = mb.dcStart[0]; bit < mb.dcEnd[0] && damaged.empty(); ++bit) {
    Bytes flipped = clean;
    flipped[slice.dataStart() + bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    MemorySource source(flipped.data(), flipped.size());
    PictureRecoder recoder(width, slice.context.heightInMacroblocks, 1);
    PictureRecoder::Picture header;
    header.codingType = header.writeAs = kIntraCoded;
    std::vector<PictureRecoder::Slice> parts;
    if (recoder.levelsDc(source, static_cast<uint32_t>(slices[0].start), static_cast<uint32_t>(slices[2].end), header,
                         &parts)) {
      damaged = flipped;
    }
  }
  ASSERT_FALSE(damaged.empty());

  MemorySource source(damaged.data(), damaged.size());
  const TimeStampList none;
  RangeList vouched;  // nothing suspect
  for (const RangeList* suspect : {static_cast<const RangeList*>(nullptr), static_cast<const RangeList*>(&vouched)}) {
    SCOPED_TRACE(suspect == nullptr ? "nothing known" : "every sector vouched for");
    RecordingReporter reporter;
    VideoRescuer rescuer(source, none, ProgressCallback(), ProgressCallback(), &reporter, suspect);
    rescuer.analyze();
    rescuer.write(dir_.file("flipped"), {}, false);
    ASSERT_FALSE(rescuer.writeFailed());
    const Bytes out = dir_.read("flipped.mpv");
    EXPECT_EQ(rescuer.picturesConcealed(), suspect == nullptr ? 1u : 0u);
    EXPECT_EQ(reporter.count(RepairReporter::Repair::kPictureConcealed), suspect == nullptr ? 1u : 0u);
    const auto flippedSlice = damaged.begin() + static_cast<std::ptrdiff_t>(slice.start);
    const bool asItIs = std::search(out.begin(), out.end(), flippedSlice,
                                    flippedSlice + static_cast<std::ptrdiff_t>(slice.end - slice.start)) != out.end();
    EXPECT_EQ(asItIs, suspect != nullptr);
    // Every picture there, walking clean.
    for (const WalkedPicture& picture : walkPictures(out)) EXPECT_EQ(picture.trouble, "");
    EXPECT_EQ(walkPictures(out).size(), walkPictures(clean).size());
  }
}
