#include "source/span_list_source.h"

#include <gtest/gtest.h>

#include <random>

#include "source/memory_source.h"
#include "source/patched_source.h"
#include "source/platform.h"
#include "source/range_view_source.h"
#include "source/segmented_file_source.h"
#include "tests/support/byte_by_byte_source.h"
#include "tests/support/temp_dir.h"

namespace {

Bytes numbered(size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 251);
  return bytes;
}

Bytes allOf(ByteSource& source) {
  Bytes got;
  source.seek(0);
  source.readRuns(source.size(), [&got](const uint8_t* bytes, uint32_t n) { got.insert(got.end(), bytes, bytes + n); });
  return got;
}

}  // namespace

TEST(SpanListSource, ReadsTheBytesOfAPatchedViewInPlaceInAnyOrder) {
  const Bytes bytes = numbered(20000);
  MemorySource memory(bytes.data(), bytes.size());
  // Patches side by side and alone; ranges of one byte and more, one
  // ending on a patch.
  PatchedSource patched(memory, {{10, 0x01}, {11, 0x80}, {700, 0xFF}, {5000, 0x10}, {19999, 0x42}});
  RangeList ranges;
  for (const auto& [start, end] : {std::pair{0u, 1u}, {5u, 12u}, {30u, 701u}, {900u, 5001u}, {7000u, 20000u}}) {
    ranges.append(start, end);
  }
  RangeViewSource view(patched, ranges);
  const Bytes expected = allOf(view);

  const std::unique_ptr<SpanListSource> gathered = SpanListSource::gather(view);
  ASSERT_NE(gathered, nullptr);
  EXPECT_EQ(allOf(*gathered), expected);
  std::mt19937 random(3);
  for (int k = 0; k < 2000; ++k) {
    const uint32_t at = random() % (gathered->size() - 3);
    gathered->seek(at);
    ASSERT_EQ(gathered->peekU32(), uint32_t{expected[at]} << 24 | uint32_t{expected[at + 1]} << 16 |
                                       uint32_t{expected[at + 2]} << 8 | expected[at + 3])
        << at;
  }
  EXPECT_EQ(gathered->spanAt(gathered->size() - 1).data, view.spanAt(view.size() - 1).data) << "copied";
}

TEST(SpanListSource, IsNotMadeWhereBytesLieInNoSpanOrSpansMayEnd) {
  const Bytes bytes = numbered(3000);
  ByteByByteSource byteByByte(bytes);
  EXPECT_EQ(SpanListSource::gather(byteByByte), nullptr);
  // A file of three windows: read through two at a time, they move on and
  // the spans end; with room for all three, they stay.
  TempDir folder;
  const auto granule = static_cast<uint32_t>(platform::allocationGranularity());
  const Bytes file = numbered(3 * size_t{granule} - 100);
  folder.write("movie.mpg", file);
  SegmentedFileSource moving(folder.file("movie.mpg").c_str(), {granule, 2});
  EXPECT_EQ(SpanListSource::gather(moving), nullptr);
  SegmentedFileSource staying(folder.file("movie.mpg").c_str(), {granule, 3});
  const std::unique_ptr<SpanListSource> gathered = SpanListSource::gather(staying);
  ASSERT_NE(gathered, nullptr);
  EXPECT_EQ(allOf(*gathered), file);
}
