// Each video header layout written, then read back by the same type, and the
// bytes of the layouts that are fixed.

#include <gtest/gtest.h>

#include "source/bit_packer.h"
#include "source/bit_reader.h"
#include "source/memory_source.h"
#include "source/output_file.h"
#include "tests/support/temp_dir.h"
#include "video/group_header.h"
#include "video/picture_header.h"
#include "video/sequence_header.h"

namespace {

class HeaderLayoutTest : public ::testing::Test {
 protected:
  // The bytes `write` puts into a fresh file.
  template <typename Header>
  Bytes written(const Header& header) {
    OutputFile file;
    EXPECT_TRUE(file.open(dir_.file("header")));
    header.write(file);
    EXPECT_TRUE(file.close());
    return dir_.read("header");
  }

  // Reads `bytes` after their 4-byte start code with `read`, which must end
  // exactly at the last byte.
  template <typename Header, typename Read>
  Header readBack(const Bytes& bytes, Read read) {
    MemorySource source(bytes.data(), bytes.size());
    source.seek(4);
    BitReader reader(source);
    Header header;
    EXPECT_TRUE(read(header, reader));
    reader.alignToByte();
    EXPECT_FALSE(reader.overrun());
    EXPECT_EQ(source.position(), bytes.size());
    return header;
  }

 private:
  TempDir dir_;
};

}  // namespace

TEST_F(HeaderLayoutTest, SequenceHeaderWritesTwelveBytesThatReadBack) {
  SequenceHeader header;
  header.width = 352;
  header.height = 288;
  header.aspectRatioCode = 1;
  header.frameRateCode = 3;
  header.bitRate = 2900;
  header.vbvBufferSize = 20;
  header.constrainedParameters = true;
  const Bytes bytes = written(header);
  EXPECT_EQ(bytes, (Bytes{0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0x02, 0xD5, 0x20, 0xA4}));
  const SequenceHeader back = readBack<SequenceHeader>(bytes, [](SequenceHeader& h, BitReader& r) { return h.read(r); });
  EXPECT_TRUE(back.sameFormat(header));
  EXPECT_EQ(back.vbvBufferSize, 20u);
  EXPECT_TRUE(back.constrainedParameters);
  EXPECT_FALSE(back.loadIntraMatrix || back.loadNonIntraMatrix);
}

TEST_F(HeaderLayoutTest, SequenceHeaderReadsPastItsMatricesAndRefusesAZeroInThem) {
  struct Case {
    bool intra, nonIntra;
    int zeroAt;  // the entry that is 0, counting those of matrices loaded; -1 for none
  };
  const Case cases[] = {{true, false, -1}, {false, true, -1}, {true, true, -1},
                        {true, false, 0},  {true, true, 127}, {false, true, 30}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zeroAt);
    SequenceHeader header;
    header.width = 352;
    header.height = 240;
    Bytes bytes = written(header);
    // Its last byte ends in the two matrix flags.
    const uint8_t last = bytes.back();
    bytes.pop_back();
    BitPacker bits(&bytes);
    bits.put(6, last >> 2);
    int entry = 0;
    for (const bool load : {c.intra, c.nonIntra}) {
      bits.put(1, load ? 1 : 0);
      for (int k = 0; load && k < 64; ++k, ++entry) bits.put(8, entry == c.zeroAt ? 0 : 16);
    }
    bits.pad();
    for (const bool taking : {false, true}) {
      bool taken = true;
      const SequenceHeader back = readBack<SequenceHeader>(bytes, [&](SequenceHeader& h, BitReader& r) {
        taken = taking ? h.readTaken(r) : h.read(r);
        return true;
      });
      EXPECT_EQ(back.loadIntraMatrix, c.intra);
      EXPECT_EQ(back.loadNonIntraMatrix, c.nonIntra);
      EXPECT_EQ(taken, !taking || c.zeroAt < 0);
    }
  }
}

TEST_F(HeaderLayoutTest, GroupHeaderWritesEightBytesThatReadBack) {
  GroupHeader inserted;
  inserted.closed = true;
  EXPECT_EQ(written(inserted), (Bytes{0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x40}));
  GroupHeader header;
  header.dropFrame = true;
  header.hours = 23;
  header.minutes = 59;
  header.seconds = 58;
  header.pictures = 29;
  header.brokenLink = true;
  const GroupHeader back = readBack<GroupHeader>(written(header), [](GroupHeader& h, BitReader& r) { return h.read(r); });
  EXPECT_EQ(std::vector<uint32_t>({back.dropFrame, back.hours, back.minutes, back.seconds, back.pictures, back.closed,
                                   back.brokenLink}),
            std::vector<uint32_t>({1, 23, 59, 58, 29, 0, 1}));
}

TEST_F(HeaderLayoutTest, PictureHeaderOfEachTypeReadsBackAndTakesANewTemporalReference) {
  for (uint32_t type : {1u, 2u, 3u}) {
    PictureHeader header;
    header.temporalReference = 1023;
    header.codingType = type;
    header.vbvDelay = 0xFFFF;
    header.forwardFCode = type > 1 ? 3 : 0;
    header.backwardFCode = type > 2 ? 5 : 0;
    header.fullPelBackward = type > 2;
    Bytes bytes = written(header);
    EXPECT_EQ(bytes.size(), type == 1 ? 8u : 9u) << type;
    PictureHeader::setTemporalReference(bytes.data() + 4, 6);
    const PictureHeader back =
        readBack<PictureHeader>(bytes, [](PictureHeader& h, BitReader& r) { return h.read(r), true; });
    EXPECT_EQ(back.temporalReference, 6u);
    EXPECT_EQ(back.letter(), " IPB"[type]);
    EXPECT_EQ(back.vbvDelay, 0xFFFFu);
    EXPECT_EQ(back.forwardFCode, header.forwardFCode);
    EXPECT_EQ(back.backwardFCode, header.backwardFCode);
    EXPECT_EQ(back.fullPelBackward, header.fullPelBackward);
  }
}

TEST(GroupHeaderTimeCode, CountsPicturesAndLeavesOutDropFrameNumbers) {
  GroupHeader header;
  header.hours = 1;
  header.minutes = 2;
  header.seconds = 3;
  header.pictures = 4;
  EXPECT_EQ(header.timeCodeInPictures(25), ((60u + 2) * 60 + 3) * 25 + 4);
  header.dropFrame = true;
  // 62 minutes, of which 6 are tenth minutes that keep their numbers.
  EXPECT_EQ(header.timeCodeInPictures(30), ((60u + 2) * 60 + 3) * 30 + 4 - 2 * (62 - 6));
}
