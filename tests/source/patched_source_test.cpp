#include "source/patched_source.h"

#include <gtest/gtest.h>

#include <vector>

#include "source/memory_source.h"
#include "tests/support/temp_dir.h"

TEST(PatchedSource, ReadsThePatchedBytesThroughEveryPath) {
  Bytes bytes(5000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  const Bytes original = bytes;
  // Patches at the ends, side by side and alone.
  const std::vector<PatchedSource::Patch> patches = {{0, 0x01}, {100, 0xFF}, {101, 0x80}, {2500, 0x10}, {4999, 0x42}};
  Bytes expected = bytes;
  for (const PatchedSource::Patch& patch : patches) expected[patch.offset] ^= patch.mask;

  MemorySource memory(bytes.data(), bytes.size());
  PatchedSource patched(memory, patches);
  ASSERT_EQ(patched.size(), bytes.size());
  Bytes byByte;
  for (uint32_t i = 0; i < patched.size(); ++i) byByte.push_back(static_cast<uint8_t>(patched.byteAt(i)));
  EXPECT_EQ(byByte, expected);
  // Spans never run across a patched byte; runs read from any start give
  // the patched bytes.
  for (const uint32_t start : {0u, 1u, 99u, 100u, 102u, 2499u, 4998u}) {
    SCOPED_TRACE(start);
    const ByteSource::Span span = patched.spanAt(start);
    ASSERT_GT(span.length, 0u);
    EXPECT_LE(span.start, start);
    for (uint32_t i = 0; i < span.length; ++i) EXPECT_EQ(span.data[i], expected[span.start + i]);
    Bytes run;
    patched.seek(start);
    patched.readRuns(patched.size() - start, [&run](const uint8_t* data, uint32_t n) { run.insert(run.end(), data, data + n); });
    EXPECT_TRUE(std::equal(run.begin(), run.end(), expected.begin() + start));
  }
  patched.seek(99);
  EXPECT_EQ(patched.peekU32(), uint32_t{expected[99]} << 24 | uint32_t{expected[100]} << 16 |
                                   uint32_t{expected[101]} << 8 | expected[102]);
  EXPECT_EQ(bytes, original) << "the source was written";
}
