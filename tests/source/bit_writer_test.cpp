#include "source/bit_writer.h"

#include <gtest/gtest.h>

#include "source/output_file.h"
#include "tests/support/temp_dir.h"

namespace {

// A bit writer on a file in a fresh folder; written() closes the file and
// reads it back.
class BitWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(file_.open(dir_.file("bits"))); }
  Bytes written() {
    EXPECT_TRUE(file_.close());
    return dir_.read("bits");
  }

  TempDir dir_;
  OutputFile file_;
  BitWriter writer_{file_};
};

}  // namespace

TEST_F(BitWriterTest, PacksFieldsMostSignificantBitFirstAndPadsTheLastByte) {
  writer_.writeBits(12, 0x160);
  writer_.writeBits(12, 0x120);
  writer_.writeBits(4, 1);
  writer_.flush();
  EXPECT_EQ(written(), (Bytes{0x16, 0x01, 0x20, 0x10}));
}

TEST_F(BitWriterTest, PadsASingleBitToAWholeByte) {
  writer_.writeBits(1, 1);
  writer_.flush();
  EXPECT_EQ(written(), (Bytes{0x80}));
}

TEST_F(BitWriterTest, FlushPutsNothingWhenNoBitIsPending) {
  writer_.flush();
  writer_.writeBits(8, 0xC3);
  writer_.flush();
  writer_.flush();
  EXPECT_EQ(written(), (Bytes{0xC3}));
}

TEST_F(BitWriterTest, StartsAfreshAfterAFlush) {
  writer_.writeBits(3, 0x7);
  writer_.flush();
  writer_.writeBits(25, 0x1FFFFFF);
  writer_.writeBits(7, 0);
  EXPECT_EQ(written(), (Bytes{0xE0, 0xFF, 0xFF, 0xFF, 0x80}));
}

TEST_F(BitWriterTest, WritesTheSequenceHeaderThatGoesBeforeARepairedStream) {
  for (int byte : {0x00, 0x00, 0x01, 0xB3}) file_.put(byte);
  const uint32_t fields[][2] = {{12, 352}, {12, 288}, {4, 1}, {4, 3}, {18, 2900}, {1, 1}, {10, 20}, {1, 1}};
  for (const auto& field : fields) writer_.writeBits(field[0], field[1]);
  writer_.flush();
  EXPECT_EQ(written(), (Bytes{0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0x02, 0xD5, 0x20, 0xA4}));
}
