#include "video/rescue_element_writer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "source/bit_reader.h"
#include "source/memory_source.h"
#include "tests/support/temp_dir.h"
#include "tests/video/video_stream_builder.h"
#include "video/group_header.h"
#include "video/picture_header.h"
#include "video/sequence_header.h"
#include "video/slice_walker.h"
#include "video/video_format.h"

namespace {

// One element of a written stream: its code and its bytes, start code
// included, up to the next start code.
struct Element {
  uint32_t code;
  Bytes bytes;
};

std::vector<Element> elementsOf(const Bytes& stream) {
  std::vector<Element> elements;
  for (size_t at = 0; at + 4 <= stream.size(); ++at) {
    if (stream[at] != 0 || stream[at + 1] != 0 || stream[at + 2] != 1) continue;
    elements.push_back({stream[at + 3], Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at), stream.end())});
    at += 3;
  }
  // Each element ran to the stream's end; cut it at the next one's start.
  for (size_t k = 0; k + 1 < elements.size(); ++k) {
    elements[k].bytes.resize(elements[k].bytes.size() - elements[k + 1].bytes.size());
  }
  return elements;
}

// The 352x288, 25 fps format of the builder's default sequence header,
// with no bit rate: the stream writer fills nothing in.
ProbedFormat cifFormat() {
  ProbedFormat format;
  format.width = 352;
  format.height = 288;
  format.aspectRatioCode = 1;
  format.frameRateCode = 3;
  format.frameRate = 25.0;
  format.vbvBufferSize = 20;
  format.estimated = false;
  return format;
}

// Writes elements of `input` through a RescueElementWriter into a stream,
// and splits what came out.
class ElementWriterTest : public ::testing::Test {
 protected:
  void start(const Bytes& input) {
    input_ = input;
    source_ = std::make_unique<MemorySource>(input_.data(), input_.size());
    elements_ = std::make_unique<RescueElementWriter>(*source_, format_, 22, 18);
    stream_ = std::make_unique<VideoStreamWriter>(format_);
    ASSERT_TRUE(stream_->open(dir_.file("out.mpv")));
    elements_->begin(stream_.get());
  }
  std::vector<Element> finish() {
    EXPECT_TRUE(stream_->finish());
    return elementsOf(dir_.read("out.mpv"));
  }
  Bytes inputBytes(uint32_t from, uint32_t to) const {
    return Bytes(input_.begin() + from, input_.begin() + to);
  }
  template <typename Header>
  static Header read(const Element& element) {
    MemorySource source(element.bytes.data() + 4, element.bytes.size() - 4);
    BitReader reader(source);
    Header header;
    header.read(reader);
    return header;
  }

  const ProbedFormat format_ = cifFormat();
  TempDir dir_;
  Bytes input_;
  std::unique_ptr<MemorySource> source_;
  std::unique_ptr<RescueElementWriter> elements_;
  std::unique_ptr<VideoStreamWriter> stream_;
};

// The input's sequence header stands where it states the stream's format
// in fields decoders take, matrices and all; otherwise one made from the
// format replaces it.
TEST_F(ElementWriterTest, KeepsASequenceHeaderOnlyWhereItStatesTheFormat) {
  struct Case {
    const char* name;
    SequenceFields fields;
    bool stands;
  };
  SequenceFields matrices;
  matrices.intraMatrix = matrices.nonIntraMatrix = true;
  SequenceFields wider;
  wider.width = 368;
  SequenceFields rate;
  rate.rateCode = 4;
  SequenceFields forbidden;
  forbidden.aspect = 0;
  SequenceFields brokenMarker;
  brokenMarker.marker = 0;
  const Case cases[] = {
      {"as the format", SequenceFields(), true},     {"with matrices", matrices, true},
      {"another width", wider, false},               {"another rate", rate, false},
      {"a forbidden aspect ratio", forbidden, false}, {"no marker", brokenMarker, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start(VideoStreamBuilder().sequenceHeader(c.fields).gop().bytes());
    PictureSurvey::Group group;
    group.sequenceEnd = static_cast<uint32_t>(input_.size() - 8);
    elements_->sequenceHeader(group);
    const std::vector<Element> out = finish();
    ASSERT_GE(out.size(), 1u);
    ASSERT_EQ(out[0].code, 0xB3u);
    if (c.stands) {
      EXPECT_EQ(out[0].bytes, inputBytes(0, group.sequenceEnd));
    } else {
      const SequenceHeader made = read<SequenceHeader>(out[0]);
      EXPECT_EQ(made.width, 352u);
      EXPECT_EQ(made.height, 288u);
      EXPECT_EQ(made.frameRateCode, 3u);
      EXPECT_EQ(made.aspectRatioCode, 1u);
    }
    // The sequence header was announced: no headers of the stream writer's
    // own go in before the picture after it.
    stream_.reset();
    start(input_);
    elements_->sequenceHeader(group);
    elements_->groupHeader(nullptr, true, true);
    elements_->repeat(kPredictiveCoded, 0, false);
    const std::vector<Element> announced = finish();
    ASSERT_GE(announced.size(), 3u);
    EXPECT_EQ(announced[1].code, 0xB8u);
    EXPECT_EQ(announced[2].code, 0x00u);
  }
}

// A group header of the input stands as it is where its closed flag is the
// one asked for; otherwise its time code goes out with the flag asked for.
// With no input header, one of the rescue's own.
TEST_F(ElementWriterTest, KeepsAGroupHeaderWhereItsClosedFlagStands) {
  struct Case {
    bool input;
    bool inputClosed;
    bool closed;
  };
  const Case cases[] = {{true, true, true}, {true, false, false}, {true, true, false},
                        {true, false, true}, {false, false, true}, {false, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.input << c.inputClosed << c.closed);
    Bytes input = VideoStreamBuilder().sequenceHeader().gop(c.inputClosed).bytes();
    const uint32_t gopStart = static_cast<uint32_t>(input.size() - 8);
    input[gopStart + 4] |= 0x08;  // 2 hours in
    start(input);
    PictureSurvey::Group group;
    group.sequenceEnd = gopStart;
    group.headerStart = gopStart;
    group.headerEnd = gopStart + 8;
    group.header = read<GroupHeader>({0xB8, inputBytes(gopStart, gopStart + 8)});
    ASSERT_EQ(group.header.hours, 2u);
    elements_->sequenceHeader(group);
    elements_->groupHeader(c.input ? &group : nullptr, c.closed, true);
    const std::vector<Element> out = finish();
    ASSERT_GE(out.size(), 2u);
    ASSERT_EQ(out[1].code, 0xB8u);
    const GroupHeader written = read<GroupHeader>(out[1]);
    EXPECT_EQ(written.closed, c.closed);
    EXPECT_EQ(written.hours, c.input ? 2u : 0u);
    if (c.input && c.inputClosed == c.closed) {
      EXPECT_EQ(out[1].bytes, inputBytes(gopStart, gopStart + 8));
    }
  }
}

// Pictures: the input's header renumbered, or a header of the rescue's own
// where the type changes or the picture is the rescue's; repeats are a
// slice per row that walks clean over the whole picture.
TEST_F(ElementWriterTest, WritesEachPictureUnderTheHeaderItGoesOutWith) {
  VideoStreamBuilder builder;
  builder.sequenceHeader().gop().picture('I', 3).slice(1, {0x11, 0x22}).slice(2, {0x33});
  start(builder.bytes());
  PictureSurvey::Group group;
  group.sequenceEnd = static_cast<uint32_t>(input_.size() - 8 - 8 - 6 - 5);
  PictureSurvey::Picture intra;
  intra.start = group.sequenceEnd + 8;
  intra.headerEnd = intra.start + 8;
  intra.end = static_cast<uint32_t>(input_.size());
  intra.temporalReference = 3;
  intra.codingType = kIntraCoded;
  const Bytes recoded = {0x00, 0x00, 0x01, 0x01, 0x7E};

  elements_->sequenceHeader(group);
  elements_->inputPicture(intra, 3);
  elements_->inputPicture(intra, 7);
  elements_->recodedPicture(intra, 9, kIntraCoded, 0, recoded);
  elements_->recodedPicture(intra, 10, kPredictiveCoded, 5, recoded);
  elements_->ownPicture(kBidirectionallyCoded, 11, 4, 6, recoded);
  elements_->repeat(kPredictiveCoded, 12, false);
  elements_->repeat(kBidirectionallyCoded, 13, true);
  EXPECT_EQ(stream_->picturesWritten(), 7u);
  const std::vector<Element> out = finish();

  std::vector<PictureHeader> headers;
  std::vector<std::vector<Element>> slices;
  for (const Element& e : out) {
    if (e.code == 0x00) {
      headers.push_back(read<PictureHeader>(e));
      slices.emplace_back();
    } else if (e.code >= 0x01 && e.code <= 0xAF && !slices.empty()) {
      slices.back().push_back(e);
    }
  }
  ASSERT_EQ(headers.size(), 7u);
  struct Expected {
    uint32_t reference, codingType, forward, backward;
    bool ownHeader;
  };
  const Expected expected[] = {{3, 1, 0, 0, false}, {7, 1, 0, 0, false}, {9, 1, 0, 0, false}, {10, 2, 5, 0, true},
                               {11, 3, 4, 6, true}, {12, 2, 1, 0, true}, {13, 3, 1, 1, true}};
  for (size_t k = 0; k < headers.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(headers[k].temporalReference, expected[k].reference);
    EXPECT_EQ(headers[k].codingType, expected[k].codingType);
    EXPECT_EQ(headers[k].forwardFCode, expected[k].forward);
    EXPECT_EQ(headers[k].backwardFCode, expected[k].backward);
    if (expected[k].ownHeader) {
      EXPECT_EQ(headers[k].vbvDelay, 0xFFFFu);  // asks no wait
    }
  }
  // The input picture's slices copied as they stand; re-coded slices as given.
  ASSERT_EQ(slices[0].size(), 2u);
  EXPECT_EQ(slices[0][0].bytes, inputBytes(intra.headerEnd, intra.headerEnd + 6));
  EXPECT_EQ(slices[1][1].bytes, inputBytes(intra.headerEnd + 6, intra.end));
  for (size_t k = 2; k <= 4; ++k) EXPECT_EQ(slices[k].size(), 1u) << k;
  EXPECT_EQ(slices[2][0].bytes, recoded);
  // The repeats: every row, each slice walking clean to the row's end.
  for (size_t k = 5; k <= 6; ++k) {
    ASSERT_EQ(slices[k].size(), 18u) << k;
    SliceContext context{headers[k].codingType, headers[k].forwardFCode, headers[k].backwardFCode, 22, 18};
    const SliceWalker walker(context);
    for (uint32_t row = 0; row < 18; ++row) {
      const Element& s = slices[k][row];
      const SliceWalk walk = walker.walk(s.code, s.bytes.data() + 4, s.bytes.size() - 4);
      EXPECT_EQ(walk.fault, SliceFault::kNone) << k << " row " << row;
      EXPECT_EQ(walk.firstMacroblock, row * 22);
      EXPECT_EQ(walk.lastMacroblock, row * 22 + 21);
    }
  }
}

}  // namespace
