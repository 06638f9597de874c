#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "source/memory_source.h"
#include "tests/support/recording_reporter.h"
#include "tests/support/temp_dir.h"
#include "tests/video/video_stream_builder.h"
#include "video/video_fixer.h"

namespace {

// The bytes every written stream ends with: sequence end, then end code.
const Bytes kEnd = {0x00, 0x00, 0x01, 0xB7, 0x00, 0x00, 0x01, 0xB9};
// The closed group-of-pictures header at 00:00:00 put before an inserted one.
const Bytes kInsertedGop = {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x40};

// The codes of the start codes in `bytes`, in order.
std::vector<uint8_t> startCodesIn(const Bytes& bytes) {
  std::vector<uint8_t> codes;
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      codes.push_back(bytes[i + 3]);
      i += 3;
    }
  }
  return codes;
}

// For each sequence header written, the number of pictures before it.
std::vector<int> picturesBeforeEachSequenceHeader(const Bytes& bytes) {
  std::vector<int> counts;
  int pictures = 0;
  for (uint8_t code : startCodesIn(bytes)) {
    if (code == 0x00) ++pictures;
    if (code == 0xB3) counts.push_back(pictures);
  }
  return counts;
}

size_t offsetOf(const Bytes& bytes, const Bytes& pattern, size_t from = 0) {
  return static_cast<size_t>(std::search(bytes.begin() + from, bytes.end(), pattern.begin(), pattern.end()) -
                             bytes.begin());
}

SequenceFields withBitRate(uint32_t bitRate, uint32_t rateCode = 3) {
  SequenceFields f;
  f.bitRate = bitRate;
  f.rateCode = rateCode;
  return f;
}

// Rewrites streams built in the test into a fresh folder.
class VideoFixerRewriteTest : public ::testing::Test {
 protected:
  Bytes rewrite(const VideoStreamBuilder& stream) { return rewrite(stream.bytes()); }
  Bytes rewrite(const Bytes& stream) {
    fixer_.reset();
    source_.reset();
    input_ = stream;
    source_ = std::make_unique<MemorySource>(input_.data(), input_.size());
    reporter_ = RecordingReporter();
    fixer_ = std::make_unique<VideoFixer>(*source_, ProgressCallback(), &reporter_);
    fixer_->rewrite(dir_.file("out"));
    EXPECT_FALSE(fixer_->writeFailed());
    return dir_.read("out.mpv");
  }
  const VideoFixer& fixer() const { return *fixer_; }
  // Why the last rewrite left things out, in order.
  std::vector<RepairReporter::Drop> dropReasons() const { return reporter_.dropReasons(); }

  // Helper verbs: a stream that starts with the builder's default headers.
  static VideoStreamBuilder headed(const SequenceFields& f = {}) {
    VideoStreamBuilder s;
    s.sequenceHeader(f).gop();
    return s;
  }

  TempDir dir_;

 private:
  Bytes input_;
  RecordingReporter reporter_;
  std::unique_ptr<MemorySource> source_;
  std::unique_ptr<VideoFixer> fixer_;
};

}  // namespace

TEST_F(VideoFixerRewriteTest, CopiesAWellFormedStreamUnchanged) {
  SequenceFields matrices;
  matrices.intraMatrix = matrices.nonIntraMatrix = true;
  const VideoStreamBuilder streams[] = {
      headed().picture('I', 0).slice(1).slice(2).picture('P', 3).slice(1).picture('B', 1).slice(1).picture('B', 2),
      VideoStreamBuilder().sequenceHeader().picture('I', 0).slice(1),  // no group header is added
      headed().picture('I', 0).slice(1).sequenceHeader().gop().picture('I', 0).slice(1),
      headed(matrices).picture('I', 0).slice(1).slice(1).slice(3),
      headed().picture('I', 0).slice(1, {0x11, 0x22, 0x00, 0x00}),  // data ending inside a slice
  };
  for (const VideoStreamBuilder& stream : streams) {
    SCOPED_TRACE(testing::PrintToString(stream.bytes()));
    EXPECT_EQ(rewrite(stream), join({stream.bytes(), kEnd}));
    EXPECT_EQ(fixer().framesUsed(), fixer().picturesSeen());
  }
}

TEST_F(VideoFixerRewriteTest, WritesAStreamOfOneIPictureAndTwoSlicesInFull) {
  VideoStreamBuilder picture;
  picture.picture('I', 0).slice(1).slice(2);
  ASSERT_EQ(picture.size(), 20u);
  // Estimated: rows up to 2 make 46x32 at 25 fps; 160 bits a picture make
  // 4000 bit/s, plus 10000, over 400: 35, so one frame fills to 70 bytes.
  const Bytes header = {0x00, 0x00, 0x01, 0xB3, 0x02, 0xE0, 0x20, 0x13, 0x00, 0x08, 0xE0, 0xA4};
  const Bytes expected = join({header, kInsertedGop, picture.bytes(), Bytes(30, 0), kEnd});
  EXPECT_EQ(rewrite(picture), expected);
  EXPECT_EQ(fixer().formatText(), "46x32 25fps (estimated)");
  EXPECT_EQ(fixer().framesUsed(), 1u);
  EXPECT_EQ(fixer().picturesSeen(), 1u);
  EXPECT_EQ(fixer().outputSize(), 78u);
}

TEST_F(VideoFixerRewriteTest, PutsHeadersOfTheProbedFormatBeforeAFirstPictureWithoutThem) {
  const struct {
    uint32_t bitRate;
    Bytes inserted;
    size_t filledTo;  // 2 frames at 25 fps; 0: no fill
  } cases[] = {
      {2900, {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0x02, 0xD5, 0x20, 0xA4}, 11600},
      {0, {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0x00, 0x00, 0x20, 0xA4}, 0},
      {0x3FFFF, {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0xFF, 0xFF, 0xE0, 0xA4}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bitRate);
    // The probe takes the header after the first picture; the group header
    // before that picture follows no sequence header and is left out.
    VideoStreamBuilder first, rest;
    first.picture('I', 0).slice(1);
    rest.sequenceHeader(withBitRate(c.bitRate)).gop().picture('I', 0).slice(1);
    const Bytes written = join({c.inserted, kInsertedGop, first.bytes(), rest.bytes()});
    const size_t fill = c.filledTo == 0 ? 0 : c.filledTo - written.size();
    const Bytes output = rewrite(VideoStreamBuilder().gop().append(first).append(rest));
    EXPECT_EQ(output, join({written, Bytes(fill, 0), kEnd}));
  }
}

TEST_F(VideoFixerRewriteTest, LeavesOutPicturesBeforeTheFirstIPicture) {
  VideoStreamBuilder kept;
  kept.picture('I', 2).slice(1).picture('P', 5).slice(1);
  const Bytes output = rewrite(headed().picture('P', 1).slice(1).picture('B', 0).slice(1).append(kept));
  EXPECT_EQ(output, join({headed().bytes(), kept.bytes(), kEnd}));
  EXPECT_EQ(fixer().framesUsed(), 2u);
  EXPECT_EQ(fixer().picturesSeen(), 4u);
}

TEST_F(VideoFixerRewriteTest, FillsToTheNominalSizeOfThePicturesWritten) {
  const struct {
    uint32_t rateCode, pictures;
    size_t size;  // trunc(pictures / rate * 2900 * 50)
  } cases[] = {{3, 1, 5800}, {3, 25, 145000}, {4, 30, 145145}, {0, 2, 290000}};  // code 0: 1 fps
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pictures);
    VideoStreamBuilder stream = headed(withBitRate(2900, c.rateCode));
    for (uint32_t i = 0; i < c.pictures; ++i) stream.picture('I', 0);
    const Bytes output = rewrite(stream);
    ASSERT_EQ(output.size(), c.size + kEnd.size());
    EXPECT_EQ(Bytes(output.end() - 9, output.end()), join({Bytes{0x00}, kEnd}));
    EXPECT_EQ(fixer().framesUsed(), c.pictures);
  }
}

TEST_F(VideoFixerRewriteTest, InsertsHeadersBeforeAnIPictureEveryThirtyPictures) {
  // Groups of an I and 14 P pictures; only the first group header follows
  // a sequence header.
  VideoStreamBuilder stream;
  stream.sequenceHeader(withBitRate(2900));
  for (int group = 0; group < 5; ++group) {
    stream.gop().picture('I', 0);
    for (uint32_t p = 1; p < 15; ++p) stream.picture('P', p).slice(1);
  }
  const Bytes output = rewrite(stream);
  EXPECT_EQ(picturesBeforeEachSequenceHeader(output), (std::vector<int>{0, 30, 60}));
  const std::vector<uint8_t> codes = startCodesIn(output);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xB8), 3);
  EXPECT_EQ(fixer().framesUsed(), 75u);
  // The first inserted header comes after the fill for 30 frames at 25 fps
  // and 2900 * 400 bit/s: 174000 bytes.
  const size_t inserted = offsetOf(output, {0x00, 0x00, 0x01, 0xB3}, 1);
  EXPECT_EQ(inserted, 174000u);
  ASSERT_LT(inserted + 20, output.size());
  EXPECT_EQ(Bytes(output.begin() + inserted + 12, output.begin() + inserted + 20), kInsertedGop);
}

TEST_F(VideoFixerRewriteTest, RefusesAPictureHeaderWithTrailingDataAndItsSlices) {
  VideoStreamBuilder stream = headed();
  stream.picture('I', 0).picture('P', 3).raw({0x77}).slice(1).slice(2).picture('B', 1).slice(1);
  VideoStreamBuilder last;
  last.picture('I', 5).slice(1);
  const Bytes output = rewrite(stream.append(last));
  EXPECT_EQ(output, join({headed().picture('I', 0).bytes(), last.bytes(), kEnd}));
  EXPECT_EQ(fixer().framesUsed(), 2u);
  EXPECT_EQ(fixer().picturesSeen(), 3u);  // the damaged P picture is not counted
}

TEST_F(VideoFixerRewriteTest, TakesBackTheLastSliceOnARejection) {
  const VideoStreamBuilder kept = headed().picture('I', 0).slice(1);
  VideoStreamBuilder next;
  next.picture('I', 1).slice(1);
  // An unknown start code after a long slice: the file is cut after the end
  // codes, so nothing of the slice stays.
  VideoStreamBuilder cut = kept;
  cut.slice(2, Bytes(100, 0x5A)).element(0xC0, {0x12});
  EXPECT_EQ(rewrite(cut), join({kept.bytes(), kEnd}));
  // An I picture after the rejection is written where the slice was.
  EXPECT_EQ(rewrite(VideoStreamBuilder(cut).append(next)), join({kept.bytes(), next.bytes(), kEnd}));
}

TEST_F(VideoFixerRewriteTest, RefusesASliceAboveItsPredecessorAndTakesThatBack) {
  VideoStreamBuilder next;
  next.picture('I', 4).slice(1);
  const Bytes output = rewrite(headed().picture('I', 0).slice(1).slice(3).slice(2).append(next));
  EXPECT_EQ(output, join({headed().picture('I', 0).slice(1).bytes(), next.bytes(), kEnd}));
}

TEST_F(VideoFixerRewriteTest, LeavesOutUserDataAndTheInputsEndCodes) {
  const VideoStreamBuilder first = headed().picture('I', 0).slice(1).slice(2);
  const VideoStreamBuilder second = headed().picture('I', 1).slice(1);
  VideoStreamBuilder stream = headed().picture('I', 0).slice(1).element(0xB2, {'h', 'i'}).slice(2);
  stream.element(0xB7).element(0xB9).append(second).element(0xB2, {'x'}).element(0xB7);
  const Bytes output = rewrite(stream);
  EXPECT_EQ(output, join({first.bytes(), second.bytes(), kEnd}));
}

TEST_F(VideoFixerRewriteTest, KeepsAPictureHeaderFollowedByAnExtensionButNoneOfItsSlices) {
  const Bytes output = rewrite(headed().picture('I', 0).element(0xB5, {0x12, 0x34}).slice(1).slice(2));
  EXPECT_EQ(output, join({headed().picture('I', 0).bytes(), kEnd}));
  EXPECT_EQ(fixer().framesUsed(), 1u);
}

TEST_F(VideoFixerRewriteTest, AcceptsASequenceHeaderCutOffOnlyInItsNonIntraMatrix) {
  // The intra flag is bit 62 after the start code and the matrix after it, so
  // with an intra matrix the non-intra flag is the last bit of byte 75.
  const struct {
    bool intra, nonIntra;
    size_t cut;
    bool copied;
  } cases[] = {
      {true, true, 140, true}, {true, true, 100, true},  {true, true, 76, true}, {true, true, 75, false},
      {true, true, 40, false}, {true, false, 75, false}, {false, true, 40, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cut);
    SequenceFields f;
    f.intraMatrix = c.intra;
    f.nonIntraMatrix = c.nonIntra;
    Bytes header = VideoStreamBuilder().sequenceHeader(f).bytes();
    ASSERT_GE(header.size(), c.cut);
    header.resize(c.cut);
    EXPECT_EQ(rewrite(header), c.copied ? join({header, kEnd}) : kEnd);
  }
}

TEST_F(VideoFixerRewriteTest, ReportsTheBitRateOfTheWrittenFile) {
  VideoStreamBuilder stream = headed();
  for (uint32_t i = 0; i < 4; ++i) stream.picture('I', i).slice(1).slice(2);
  const Bytes output = rewrite(stream);
  EXPECT_EQ(fixer().outputSize(), output.size());
  // Bits over 4 frames, times 25 frames a second.
  EXPECT_EQ(fixer().actualBitrate(), output.size() * 8 * 25 / 4);

  rewrite(headed().picture('P', 1).slice(1));
  EXPECT_EQ(fixer().framesUsed(), 0u);
  EXPECT_EQ(fixer().actualBitrate(), 0u);
}

TEST_F(VideoFixerRewriteTest, EndsCleanlyWhereverTheInputIsCutOff) {
  VideoStreamBuilder stream = headed(withBitRate(20));
  stream.picture('I', 0).slice(1).slice(2).picture('P', 3).slice(1).slice(2);
  stream.picture('B', 1).slice(1).picture('B', 2).slice(1, {0x10, 0x20, 0x30});
  for (size_t length = 0; length <= stream.size(); ++length) {
    SCOPED_TRACE(length);
    const Bytes output = rewrite(Bytes(stream.bytes().begin(), stream.bytes().begin() + static_cast<long>(length)));
    ASSERT_GE(output.size(), kEnd.size());
    EXPECT_EQ(Bytes(output.end() - 8, output.end()), kEnd);
    EXPECT_LE(fixer().framesUsed(), fixer().picturesSeen());
    if (fixer().framesUsed() > 0) {
      EXPECT_EQ(Bytes(output.begin(), output.begin() + 4), (Bytes{0, 0, 1, 0xB3}));
    }
  }
}

TEST_F(VideoFixerRewriteTest, ReportsAWriteFailureWhenTheOutputNameIsTaken) {
  ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path(dir_.file("out.mpv"))));
  const VideoStreamBuilder stream = headed().picture('I', 0).slice(1);
  MemorySource source(stream.bytes().data(), stream.size());
  VideoFixer fixer(source, ProgressCallback());
  fixer.rewrite(dir_.file("out"));
  EXPECT_TRUE(fixer.writeFailed());
  EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::u8path(dir_.file("out.mpv"))));
}

// A picture that breaks the order is left out without a rejection, but the
// refusal of its first slice is one: it takes back the slice written last,
// the last slice of the picture before.
TEST_F(VideoFixerRewriteTest, RefusedPictureCostsTheLastSliceOfThePictureBefore) {
  const VideoStreamBuilder kept = headed().picture('I', 0).slice(1);
  VideoStreamBuilder next;
  next.picture('I', 1).slice(1);
  VideoStreamBuilder stream = kept;
  stream.slice(2).picture('P', 0).slice(1).append(next);
  EXPECT_EQ(rewrite(stream), join({kept.bytes(), next.bytes(), kEnd}));
  using Drop = RepairReporter::Drop;
  EXPECT_EQ(dropReasons(), (std::vector<Drop>{Drop::kPictureOutOfOrder, Drop::kSliceTakenBack, Drop::kStartCodeRejected}));
}

TEST_F(VideoFixerRewriteTest, ActualBitrateIsTheWrittenBitsPerSecondOfPictures) {
  // 250 pictures at 25 fps in a file of exactly 1000000 bytes: 800000 bit/s.
  // The last slice is sized, after a first run, to make up the million.
  const auto stream = [](size_t lastSliceBytes) {
    VideoStreamBuilder s = VideoFixerRewriteTest::headed(withBitRate(0));
    for (uint32_t t = 0; t < 250; ++t) {
      s.picture('I', 0).slice(1, Bytes(t == 249 ? lastSliceBytes : 3000, 0x5A));
    }
    return s;
  };
  const size_t firstSize = rewrite(stream(3000)).size();
  ASSERT_LT(firstSize, 1000000u);
  EXPECT_EQ(rewrite(stream(3000 + (1000000 - firstSize))).size(), 1000000u);
  EXPECT_EQ(fixer().outputSize(), 1000000u);
  EXPECT_EQ(fixer().framesUsed(), 250u);
  EXPECT_EQ(fixer().actualBitrate(), 800000u);
  // No picture written, no rate.
  VideoStreamBuilder empty;
  empty.picture('P', 0).slice(1);
  rewrite(empty);
  EXPECT_EQ(fixer().framesUsed(), 0u);
  EXPECT_EQ(fixer().actualBitrate(), 0u);
}
