#include "source/byte_source.h"

#include <gtest/gtest.h>

#include "source/memory_source.h"
#include "tests/support/temp_dir.h"

namespace {

// A source over bytes held by the test.
class Over {
 public:
  explicit Over(Bytes bytes) : bytes_(std::move(bytes)), source_(bytes_.data(), bytes_.size()) {}
  ByteSource& operator*() { return source_; }
  ByteSource* operator->() { return &source_; }

 private:
  Bytes bytes_;
  MemorySource source_;
};

}  // namespace

TEST(ByteSource, SeekAndSkipClampAtTheEnd) {
  Over source({1, 2, 3, 4, 5});
  source->seek(3);
  EXPECT_EQ(source->position(), 3u);
  EXPECT_EQ(source->remaining(), 2u);
  source->seek(99);
  EXPECT_EQ(source->position(), 5u);
  EXPECT_EQ(source->remaining(), 0u);
  source->seek(1);
  source->skip(3);
  EXPECT_EQ(source->position(), 4u);
  source->skip(2);
  EXPECT_EQ(source->position(), 5u);
  source->seek(4);
  source->skip(0xFFFFFFFFu);  // must not wrap round to the start
  EXPECT_EQ(source->position(), 5u);
}

TEST(ByteSource, SkipToStopsOnTheByteOrAtTheEnd) {
  Over source({7, 0, 9, 0x80, 9});
  source->skipTo(0);
  EXPECT_EQ(source->position(), 1u);
  source->skipTo(0);  // already on a zero: stays
  EXPECT_EQ(source->position(), 1u);
  source->skipTo(0x180);  // only the low 8 bits count
  EXPECT_EQ(source->position(), 3u);
  source->skipTo(0x55);
  EXPECT_EQ(source->position(), 5u);
  Over none({1, 2, 3});
  none->skipTo(0);
  EXPECT_EQ(none->position(), 3u);
}

TEST(ByteSource, PeeksAreBigEndianAndZeroExtended) {
  Over startCode({0x00, 0x00, 0x01, 0xBA});
  EXPECT_EQ(startCode->peekU32(), 0x000001BAu);
  Over ones({0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(ones->peekU32(), 0xFFFFFFFFu);
  EXPECT_EQ(ones->peekU8(), 255);
  EXPECT_EQ(ones->peekU16(), 0xFFFFu);
  Over pair({0x12, 0x34});
  EXPECT_EQ(pair->peekU16(), 0x1234u);
  EXPECT_EQ(pair->position(), 0u);
}

TEST(ByteSource, PeeksPastTheEndReadZeros) {
  Over source({0xAB, 0xCD});
  source->seek(1);
  EXPECT_EQ(source->peekU32(), 0xCD000000u);
  source->seek(2);
  EXPECT_EQ(source->peekU32(), 0u);
  EXPECT_EQ(source->peekU8(), 0);
}

TEST(ByteSource, ReadsAdvanceByTheirWidthWithoutClamping) {
  Over source({0x12, 0x34, 0x56});
  EXPECT_EQ(source->readU16(), 0x1234u);
  EXPECT_EQ(source->position(), 2u);
  EXPECT_EQ(source->readU8(), 0x56);
  EXPECT_EQ(source->readU8(), 0);  // past the end: reads 0, and the cursor still moves
  EXPECT_EQ(source->position(), 4u);
}

TEST(MemorySource, NewSourceStartsAtZero) {
  MemorySource empty(nullptr, 0);
  EXPECT_EQ(empty.position(), 0u);
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.byteAt(0), 0);
  EXPECT_EQ(empty.peekU32(), 0u);
}
