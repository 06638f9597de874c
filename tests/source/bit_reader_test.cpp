#include "source/bit_reader.h"

#include <gtest/gtest.h>

#include <memory>

#include "source/memory_source.h"
#include "tests/support/temp_dir.h"

namespace {

// A bit reader over bytes held by the test, with the source it moves.
class BitReaderTest : public ::testing::Test {
 protected:
  BitReader& over(Bytes bytes, uint32_t start = 0) {
    bytes_ = std::move(bytes);
    source_ = std::make_unique<MemorySource>(bytes_.data(), bytes_.size());
    source_->seek(start);
    reader_ = std::make_unique<BitReader>(*source_);
    return *reader_;
  }
  uint32_t position() const { return source_->position(); }

 private:
  Bytes bytes_;
  std::unique_ptr<MemorySource> source_;
  std::unique_ptr<BitReader> reader_;
};

Bytes countingBytes(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

}  // namespace

TEST_F(BitReaderTest, ReadsFieldsAcrossByteBoundariesMostSignificantBitFirst) {
  BitReader& reader = over({0xB3, 0x0A, 0x01, 0x2C});
  EXPECT_EQ(reader.readBits(12), 0xB30u);
  EXPECT_EQ(reader.readBits(12), 0xA01u);
  EXPECT_EQ(position(), 3u);
  EXPECT_EQ(reader.readBits(8), 0x2Cu);
  EXPECT_FALSE(reader.overrun());
}

TEST_F(BitReaderTest, ReadsSingleBitsInOrder) {
  BitReader& reader = over({0xA5});
  const uint32_t expected[] = {1, 0, 1, 0, 0, 1, 0, 1};
  for (uint32_t bit : expected) EXPECT_EQ(reader.readBits(1), bit);
  EXPECT_FALSE(reader.overrun());
}

TEST_F(BitReaderTest, ReadsTheWidestFieldFromTheLastBitOfAByte) {
  BitReader& reader = over({0x01, 0xDE, 0xAD, 0xBE, 0xEF});
  EXPECT_EQ(reader.readBits(7), 0u);
  // The last bit of 0x01, then DE AD BE.
  EXPECT_EQ(reader.readBits(25), 0x1DEADBEu);
  EXPECT_EQ(reader.readBits(8), 0xEFu);
  EXPECT_FALSE(reader.overrun());
}

TEST_F(BitReaderTest, ReadsZerosPastTheEndAndKeepsTheOverrun) {
  BitReader& reader = over({0xFF, 0xFF});
  EXPECT_EQ(reader.readBits(16), 0xFFFFu);
  EXPECT_FALSE(reader.overrun());
  EXPECT_EQ(reader.readBits(1), 0u);
  EXPECT_TRUE(reader.overrun());
  reader.alignToByte();
  EXPECT_TRUE(reader.overrun());
  // A field that only starts within the data overruns as well.
  BitReader& straddling = over({0xFF, 0xFF}, 1);
  EXPECT_EQ(straddling.readBits(4), 0xFu);
  EXPECT_EQ(straddling.readBits(8), 0xF0u);
  EXPECT_TRUE(straddling.overrun());
}

TEST_F(BitReaderTest, SkipsWholeBytesAndKeepsTheBitOffset) {
  const Bytes bytes = countingBytes(80);
  BitReader& reader = over(bytes, 2);
  reader.readBits(3);
  reader.skipBits(512);
  EXPECT_EQ(position(), 66u);
  // The low five bits of the byte 64 on, then the top three of the next.
  EXPECT_EQ(reader.readBits(8), static_cast<uint32_t>(((bytes[66] << 3) | (bytes[67] >> 5)) & 0xFF));
}

TEST_F(BitReaderTest, AlignsToTheNextByteOnlyWhenInsideOne) {
  BitReader& inside = over(countingBytes(8), 1);
  inside.readBits(9);
  inside.alignToByte();
  EXPECT_EQ(position(), 3u);
  BitReader& onBoundary = over(countingBytes(8), 1);
  onBoundary.readBits(16);
  onBoundary.alignToByte();
  EXPECT_EQ(position(), 3u);
  EXPECT_EQ(onBoundary.readBits(8), countingBytes(8)[3]);
}

TEST_F(BitReaderTest, SkippingPastTheEndNeverOverruns) {
  BitReader& reader = over({1, 2, 3});
  reader.skipBits(5);
  reader.skipBits(1000);
  EXPECT_EQ(position(), 3u);
  EXPECT_FALSE(reader.overrun());
  reader.alignToByte();
  EXPECT_FALSE(reader.overrun());
}
