// The shared operations read through spans where a source hands them out.
// Whatever the spans, they must give what reading byte by byte gives.

#include <gtest/gtest.h>

#include <random>

#include "source/byte_source.h"
#include "source/start_code.h"
#include "tests/support/temp_dir.h"

namespace {

// Bytes handed out through byteAt() only, or also as spans of `spanLength`
// bytes, each in an allocation of its own (so that reading past a span is
// caught by the address sanitizer), with a gap of unspanned bytes every
// `gapEvery` spans (those bytes are read through byteAt()). A recycling
// source hands out every span in one buffer, ending the spans handed out
// before and spoiling their bytes, as a source that releases memory would.
class ChunkedSource : public ByteSource {
 public:
  ChunkedSource(const Bytes& bytes, uint32_t spanLength, uint32_t gapEvery, bool recycling = false)
      : bytes_(bytes), spanLength_(spanLength), gapEvery_(gapEvery), recycled_(recycling ? spanLength : 0) {
    setSize(static_cast<uint32_t>(bytes_.size()));
    for (size_t start = 0; spanLength_ != 0 && start < bytes_.size(); start += spanLength_) {
      const size_t end = std::min(bytes_.size(), start + spanLength_);
      chunks_.emplace_back(bytes_.begin() + static_cast<std::ptrdiff_t>(start),
                           bytes_.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }
  int byteAt(uint32_t index) override { return index < bytes_.size() ? bytes_[index] : 0; }
  Span spanAt(uint32_t index) override {
    Span span;
    if (spanLength_ == 0 || index >= size()) return span;
    const uint32_t chunk = index / spanLength_;
    if (gapEvery_ != 0 && chunk % gapEvery_ == gapEvery_ - 1) return span;
    span.start = chunk * spanLength_;
    span.length = static_cast<uint32_t>(chunks_[chunk].size());
    span.data = chunks_[chunk].data();
    if (!recycled_.empty()) {
      expireSpans();
      std::fill(recycled_.begin(), recycled_.end(), 0xEE);
      std::copy(chunks_[chunk].begin(), chunks_[chunk].end(), recycled_.begin());
      span.data = recycled_.data();
    }
    return span;
  }

 private:
  const Bytes& bytes_;
  uint32_t spanLength_;
  uint32_t gapEvery_;
  std::vector<Bytes> chunks_;
  Bytes recycled_;
};

// Data rich in zeros, start codes and sync prefixes.
Bytes patternedData(uint32_t seed, size_t size) {
  std::mt19937 random(seed);
  const uint8_t alphabet[] = {0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xB3, 0x42};
  Bytes bytes(size);
  for (uint8_t& byte : bytes) byte = alphabet[random() % sizeof alphabet];
  return bytes;
}

// Every scan and read from every start position, through `spanned`,
// compared with `plain`.
void expectSameAsByteByByte(ByteSource& plain, ByteSource& spanned) {
  const uint8_t startCode[] = {0x00, 0x00, 0x01};
  const uint8_t sync[] = {0x00, 0xFF, 0xFF, 0xFF};
  for (uint32_t from = 0; from <= plain.size() + 1; ++from) {
    SCOPED_TRACE(from);
    plain.seek(from);
    spanned.seek(from);
    EXPECT_EQ(spanned.peekU32(), plain.peekU32());
    EXPECT_EQ(spanned.peekU16(), plain.peekU16());
    plain.skipTo(0xFF);
    spanned.skipTo(0xFF);
    EXPECT_EQ(spanned.position(), plain.position());
    plain.seek(from);
    spanned.seek(from);
    EXPECT_EQ(nextStartCode(spanned), nextStartCode(plain));
    EXPECT_EQ(spanned.position(), plain.position());
    plain.seek(from);
    spanned.seek(from);
    plain.skipToSequence(sync, sizeof sync);
    spanned.skipToSequence(sync, sizeof sync);
    EXPECT_EQ(spanned.position(), plain.position());
    plain.seek(from);
    spanned.seek(from);
    plain.skipToSequence(startCode, 1);
    spanned.skipToSequence(startCode, 1);
    EXPECT_EQ(spanned.position(), plain.position());
  }
  // Runs hand out every byte, past the end as zeros.
  for (uint32_t from = 0; from < plain.size(); from += 7) {
    plain.seek(from);
    spanned.seek(from);
    Bytes expected;
    for (uint32_t i = 0; i < 40; ++i) expected.push_back(static_cast<uint8_t>(plain.readU8()));
    Bytes got;
    spanned.readRuns(40, [&got](const uint8_t* bytes, uint32_t length) { got.insert(got.end(), bytes, bytes + length); });
    EXPECT_EQ(got, expected) << from;
    EXPECT_EQ(spanned.position(), plain.position());
  }
}

}  // namespace

TEST(ByteSourceSpans, ScansAndReadsMatchByteByByteReadingForAnySpans) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    const Bytes bytes = patternedData(seed, 300);
    ChunkedSource plain(bytes, 0, 0);
    for (uint32_t spanLength : {1u, 2u, 3u, 5u, 16u, 17u, 64u, 1000u}) {
      for (uint32_t gapEvery : {0u, 3u}) {
        for (bool recycling : {false, true}) {
          SCOPED_TRACE(testing::Message() << "seed " << seed << " span " << spanLength << " gap " << gapEvery
                                          << (recycling ? " recycling" : ""));
          ChunkedSource spanned(bytes, spanLength, gapEvery, recycling);
          expectSameAsByteByByte(plain, spanned);
        }
      }
    }
  }
}

TEST(ByteSourceSpans, SequenceMustLieWhollyInsideTheData) {
  const Bytes bytes = {0x42, 0x00, 0x00, 0x01};
  ChunkedSource source(bytes, 2, 0);
  const uint8_t startCode[] = {0x00, 0x00, 0x01, 0xB3};
  source.skipToSequence(startCode, 4);
  EXPECT_EQ(source.position(), 4u);
  source.seek(0);
  EXPECT_EQ(nextStartCode(source), NoStartCode);  // 00 00 01 with no code byte after it
  EXPECT_EQ(source.position(), 4u);
}
