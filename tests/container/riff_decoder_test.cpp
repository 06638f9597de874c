#include "container/riff_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "source/memory_source.h"
#include "source/range_view_source.h"
#include "tests/source/range_pairs.h"
#include "tests/support/byte_by_byte_source.h"
#include "tests/support/progress_events.h"
#include "tests/support/temp_dir.h"

namespace {

using Event = ProgressEvent;

std::vector<Event> events;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

constexpr uint32_t kSector = 2352;
constexpr uint32_t kPayload = 2324;
const Bytes kTrailer = {0x3A, 0x5C, 0x7E, 0x91};  // error detection code

// A sector payload of MPEG data: 00 00 01 BA, then bytes that are neither 00 nor FF.
Bytes mpegPayload(int seed = 0) {
  Bytes bytes = {0, 0, 1, 0xBA};
  while (bytes.size() < kPayload) bytes.push_back(static_cast<uint8_t>(0x20 + (bytes.size() * 3 + seed) % 0xC0));
  return bytes;
}
// A payload of other data: no start code at its head, and no zero at all.
Bytes dataPayload() { return Bytes(kPayload, 0x77); }

// The 44-byte header of a track read as a file.
const Bytes kRiffHeader = {'R', 'I', 'F', 'F', 0x24, 0x3C, 0x0B, 0x00, 'C', 'D', 'X', 'A', 'f', 'm', 't',
                           ' ', 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15, 0x55, 'X', 'A',
                           0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 'd', 'a', 't', 'a',
                           0x00, 0x3C, 0x0B, 0x00};

class RiffDecoderTest : public testing::Test {
 protected:
  // Appends a sector holding `payload` (padded to 2324 bytes); returns where the payload went.
  uint32_t addSector(Bytes payload, bool sync = true) {
    if (sync) {
      addBytes({0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
    } else {
      addBytes(Bytes(12, 0x55));
    }
    addBytes({0x00, 0x02, 0x16, 0x02, 0x01, 0x01, 0x62, 0x0F, 0x01, 0x01, 0x62, 0x0F});  // address, subheader
    payload.resize(kPayload, 0x66);
    const uint32_t at = addBytes(payload);
    addBytes(kTrailer);
    return at;
  }
  uint32_t addBytes(const Bytes& bytes) {
    const uint32_t at = static_cast<uint32_t>(image_.size());
    image_.insert(image_.end(), bytes.begin(), bytes.end());
    return at;
  }
  uint32_t size() const { return static_cast<uint32_t>(image_.size()); }

  // Decodes the first `length` bytes of the image (all by default).
  bool run(size_t length = SIZE_MAX) {
    events.clear();
    MemorySource source(image_.data(), std::min(length, image_.size()));
    RiffDecoder decoder(source, recordingInto(events));
    const bool found = decoder.decode();
    const RangeList& list = decoder.payloadRanges();
    ranges_ = pairsOf(list);
    total_ = list.total();
    RangeViewSource view(source, list);
    payload_.clear();
    for (uint32_t i = 0; i < view.size(); ++i) payload_.push_back(static_cast<uint8_t>(view.byteAt(i)));
    return found;
  }
  // Expects a failed decode that said and found nothing.
  void expectNoImage() {
    EXPECT_FALSE(run());
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(ranges_.empty());
  }

  Bytes image_;
  RangePairs ranges_;
  uint32_t total_ = 0;
  Bytes payload_;
};

}  // namespace

TEST_F(RiffDecoderTest, AdjacentSectorsGiveOneRangePerPayload) {
  for (uint32_t n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    image_.clear();
    Bytes expectedPayload;
    for (uint32_t i = 0; i < n; ++i) {
      addSector(mpegPayload(static_cast<int>(i)));
      expectedPayload = expectedPayload + mpegPayload(static_cast<int>(i));
    }
    ASSERT_TRUE(run());
    RangePairs expected;
    std::vector<Event> expectedEvents = {{'S', 0, 0}};
    for (uint32_t i = 0; i + 1 < n; ++i) {
      expected.emplace_back(24 + i * kSector, 24 + i * kSector + kPayload);
      expectedEvents.emplace_back('P', 24 + (i + 1) * kSector, n * kSector);
    }
    expected.emplace_back(24 + (n - 1) * kSector, n * kSector);  // the last keeps its trailer
    expectedEvents.emplace_back('E', 0, 0);
    EXPECT_EQ(ranges_, expected);
    EXPECT_EQ(total_, kPayload * n + 4);
    EXPECT_EQ(events, expectedEvents);
    EXPECT_EQ(payload_, expectedPayload + kTrailer);
  }
}

TEST_F(RiffDecoderTest, LeadingDataSectorsArePassedOverHoweverMany) {
  for (int i = 0; i < 15; ++i) addSector(dataPayload());
  const uint32_t first = addSector(mpegPayload());
  const uint32_t second = addSector(mpegPayload(1));
  ASSERT_TRUE(run());
  EXPECT_EQ(ranges_, (RangePairs{{first, first + kPayload}, {second, size()}}));
}

TEST_F(RiffDecoderTest, FirstSectorIsLookedForWithinTenSectorLengthsOfTheStart) {
  addBytes(Bytes(23519, 0));
  addSector(mpegPayload());
  ASSERT_TRUE(run());
  EXPECT_EQ(ranges_, (RangePairs{{23519 + 24, size()}}));

  image_.clear();
  addBytes(Bytes(23520, 0));
  addSector(mpegPayload());
  expectNoImage();
}

// Past a data sector at D the window starts again at D, so the first sector
// may lie up to 23519 bytes behind it, whatever came before.
TEST_F(RiffDecoderTest, DataSectorRestartsTheWindowAtItself) {
  for (const uint32_t distance : {23519u, 23520u}) {
    SCOPED_TRACE(distance);
    image_.clear();
    addBytes(Bytes(10000, 0));
    const uint32_t dataSector = addSector(dataPayload()) - 24;
    addBytes({0x00, 0xFF, 0xFF, 0xFF});  // a sync prefix that starts no sector
    addBytes(Bytes(dataSector + distance - size(), 0));
    const uint32_t first = addSector(mpegPayload());
    if (distance == 23519u) {
      ASSERT_TRUE(run());
      EXPECT_EQ(ranges_, (RangePairs{{first, size()}}));
    } else {
      expectNoImage();
    }
  }
}

TEST_F(RiffDecoderTest, NoImageWithoutAZeroByteOrAWholeSectorFromIt) {
  addBytes(Bytes(5000, 0x11));
  expectNoImage();

  image_.clear();
  addBytes(Bytes(100, 0x11));
  addSector(mpegPayload());
  image_.pop_back();
  expectNoImage();
}

TEST_F(RiffDecoderTest, FirstSectorMustBeFollowedByASyncOrTheEnd) {
  addSector(mpegPayload());
  addBytes(Bytes(100, 0x11));
  const uint32_t first = addSector(mpegPayload(1));
  const uint32_t second = addSector(mpegPayload(2));
  ASSERT_TRUE(run());
  EXPECT_EQ(first, kSector + 100 + 24);
  EXPECT_EQ(ranges_, (RangePairs{{first, first + kPayload}, {second, size()}}));
}

TEST_F(RiffDecoderTest, ForeignSectorsAddTheirPayloadButNotTheirFraming) {
  // A sector of other data where the next sector is due gives its payload;
  // one whose sync is damaged is no sector, and lengthens the range before.
  const uint32_t first = addSector(mpegPayload());
  const uint32_t data = addSector(dataPayload());
  addSector(mpegPayload(1), false);
  const uint32_t last = addSector(mpegPayload(2));
  ASSERT_TRUE(run());
  EXPECT_EQ(ranges_, (RangePairs{{first, first + kPayload}, {data, last - 28}, {last, size()}}));
  EXPECT_EQ(total_, 4 * kSector - 24 - 28 - 28);
}

TEST_F(RiffDecoderTest, EmptySectorsBetweenAndAfterTheDataAddOnlyTheirZeros) {
  // As a disc image holds a track whose stream has empty sectors in it and
  // after it: the payload reads as the stream with zeros between its packs,
  // without a byte of sector framing.
  const Bytes empty(kPayload, 0x00);
  addSector(mpegPayload());
  addSector(empty);
  addSector(empty);
  addSector(mpegPayload(1));
  addSector(empty);
  ASSERT_TRUE(run());
  EXPECT_EQ(payload_, mpegPayload() + empty + empty + mpegPayload(1) + empty + kTrailer);
}

TEST_F(RiffDecoderTest, SyncFollowedByAStartCodeInsideAPayloadIsABoundary) {
  Bytes payload = mpegPayload();
  const Bytes inner = Bytes{0x00, 0xFF, 0xFF, 0xFF} + Bytes(20, 0x44) + Bytes{0x00, 0x00, 0x01, 0xB3};
  std::copy(inner.begin(), inner.end(), payload.begin() + 1000);
  const uint32_t first = addSector(payload);
  const uint32_t second = addSector(mpegPayload(1));
  ASSERT_TRUE(run());
  const uint32_t innerSync = first + 1000;
  EXPECT_EQ(ranges_, (RangePairs{{first, innerSync - 4}, {innerSync + 24, second - 28}, {second, size()}}));
}

// A sync s bytes into a payload, with 00 00 01 24 bytes behind it: the range
// before that boundary would end at s - 4, which is no range for s <= 4.
TEST_F(RiffDecoderTest, BoundaryTooCloseBehindAPayloadStartAddsNoRange) {
  const std::vector<std::pair<uint32_t, RangePairs>> cases = {
      {3, {{51, 2348}, {2376, 4704}}},
      {4, {{52, 2348}, {2376, 4704}}},
      {5, {{24, 25}, {53, 2348}, {2376, 4704}}},
  };
  for (const auto& [s, expected] : cases) {
    SCOPED_TRACE(s);
    image_.clear();
    Bytes payload = Bytes{0x00, 0x00, 0x01, 0x4B, 0x4B} + Bytes(kPayload - 5, 0x4B);
    const Bytes inner = Bytes{0x00, 0xFF, 0xFF, 0xFF} + Bytes(20, 0x44) + Bytes{0x00, 0x00, 0x01, 0xBA};
    std::copy(inner.begin(), inner.end(), payload.begin() + s);
    addSector(payload);
    addSector(mpegPayload(1));
    ASSERT_TRUE(run());
    EXPECT_EQ(ranges_, expected);
  }
}

// An image large enough for the search of the second half of its memory to
// go to another thread, with syncs planted in payloads at and around where
// that half begins, one cut by the end of the data, sectors of other data
// and sectors whose sync is gone: the decoder finds the payload ranges it
// finds when it reads the image byte by byte by itself.
TEST_F(RiffDecoderTest, AnImageSearchedOnTwoThreadsGivesTheRangesOfOne) {
  constexpr uint32_t kSectors = 1000;  // 2.35 MB: more than twice what is shared
  const Bytes inner = Bytes{0x00, 0xFF, 0xFF, 0xFF} + Bytes(20, 0x44) + Bytes{0x00, 0x00, 0x01, 0xB3};
  for (int planted = -6; planted <= 6; planted += 3) {
    SCOPED_TRACE(planted);
    image_.clear();
    addBytes(kRiffHeader);
    for (uint32_t k = 0; k < kSectors; ++k) {
      if (k % 97 == 50) {
        addSector(dataPayload());
      } else {
        addSector(mpegPayload(static_cast<int>(k)), k % 131 != 7);
      }
    }
    addBytes({0x00, 0xFF, 0xFF});  // a sync cut by the end
    // The half read here ends halfway between the first payload and the end.
    const uint32_t first = static_cast<uint32_t>(kRiffHeader.size()) + 24;
    const uint32_t middle = first + (size() - first) / 2;
    const uint32_t at = static_cast<uint32_t>(static_cast<int>(middle) + planted);
    // Kept clear of the sectors' own framing: inside a payload.
    std::copy(inner.begin(), inner.end(), image_.begin() + at);
    ASSERT_TRUE(run());
    const RangePairs shared = ranges_;
    // Read byte by byte, the image is searched from end to end by the decoder alone.
    ByteByByteSource alone(image_);
    RiffDecoder decoder(alone, ProgressCallback());
    ASSERT_TRUE(decoder.decode());
    EXPECT_EQ(shared, pairsOf(decoder.payloadRanges()));
    // The planted sync counts: a range ends 4 bytes before it.
    EXPECT_NE(std::find_if(shared.begin(), shared.end(), [at](const auto& r) { return r.second == at - 4; }),
              shared.end());
  }
}

// Where the first sector is, by the rule, read a byte at a time: at each
// zero byte, within ten sector lengths of the last sector of other data (or
// of the start), the data must still hold a sector, the sync's first four
// bytes must begin there and again a sector on (or the data end there), and
// 00 00 01 must begin 24 bytes in. The payload's offset, if there is one.
std::pair<bool, uint32_t> firstSectorByTheRule(const Bytes& d) {
  const auto prefixAt = [&d](size_t at) {
    return at + 4 <= d.size() && d[at] == 0x00 && d[at + 1] == 0xFF && d[at + 2] == 0xFF && d[at + 3] == 0xFF;
  };
  size_t restart = 0;
  size_t at = 0;
  while (at - restart < 10 * kSector) {
    while (at < d.size() && d[at] != 0) ++at;
    if (d.size() - at < kSector) return {false, 0};
    if (prefixAt(at) && (at + kSector == d.size() || prefixAt(at + kSector))) {
      if (d[at + 24] == 0 && d[at + 25] == 0 && d[at + 26] == 1) return {true, static_cast<uint32_t>(at + 24)};
      if (at + kSector != d.size()) restart = at;
    }
    ++at;
  }
  return {false, 0};
}

// Images of zeros, other bytes, syncs of sectors of other data, lone sync
// prefixes and sectors of MPEG data, their edges around where the window
// ends and the data's last sector begins: the first sector is found where
// the rule finds it.
TEST_F(RiffDecoderTest, FirstSectorIsFoundWhereTheRuleFindsItInImagesOfEveryKind) {
  uint32_t seed = 12345;
  const auto random = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  size_t found = 0;
  for (int round = 0; round < 1500; ++round) {
    SCOPED_TRACE(round);
    image_.clear();
    const uint32_t pieces = 1 + random(8);
    for (uint32_t k = 0; k < pieces; ++k) {
      switch (random(6)) {
        case 0: addBytes(Bytes(random(3) == 0 ? random(8) : random(3 * kSector), 0x00)); break;
        case 1: addBytes(Bytes(random(2 * kSector), 0x5A)); break;
        case 2: addSector(dataPayload()); break;
        case 3: addBytes({0x00, 0xFF, 0xFF, 0xFF, 0x12}); break;
        case 4: addSector(mpegPayload(static_cast<int>(k))); break;
        default: addSector(Bytes(kPayload, 0x00)); break;
      }
    }
    if (random(3) == 0) addSector(mpegPayload(9));
    const std::pair<bool, uint32_t> expected = firstSectorByTheRule(image_);
    MemorySource source(image_.data(), image_.size());
    RiffDecoder decoder(source, ProgressCallback());
    const bool got = decoder.findFirstSector();
    ASSERT_EQ(got, expected.first) << "size " << image_.size();
    if (got) {
      EXPECT_EQ(source.position(), expected.second);
      ++found;
    }
  }
  // Both outcomes, often.
  EXPECT_GT(found, 300u);
  EXPECT_LT(found, 1200u);
  // Where the window ends: a lone zero, or the sector itself, on either side.
  for (uint32_t before = 10 * kSector - 4; before <= 10 * kSector + 1; ++before) {
    for (bool lone : {false, true}) {
      SCOPED_TRACE(testing::Message() << before << (lone ? " then a zero" : ""));
      image_.assign(before, 0x5A);
      if (lone) addBytes({0x00, 0x5A, 0x5A});
      addSector(mpegPayload());
      MemorySource source(image_.data(), image_.size());
      RiffDecoder decoder(source, ProgressCallback());
      EXPECT_EQ(decoder.findFirstSector(), firstSectorByTheRule(image_).first);
    }
  }
}

TEST_F(RiffDecoderTest, EveryPrefixOfAnImageFailsOrGivesTheSectorsItHolds) {
  addBytes(kRiffHeader);
  for (int i = 0; i < 3; ++i) addSector(mpegPayload(i));
  for (size_t length = 0; length <= image_.size(); ++length) {
    SCOPED_TRACE(length);
    const bool found = run(length);
    // The first sector ends at 2396; it counts once the data ends there or a sync follows.
    EXPECT_EQ(found, length == 2396 || length >= 2400);
    if (!found) {
      EXPECT_TRUE(events.empty());
      EXPECT_TRUE(ranges_.empty());
      continue;
    }
    // A later sector counts once its sync and the 00 00 01 behind it are in:
    // 4 bytes past its payload start. The header belongs to no range.
    std::vector<uint32_t> starts = {68};
    for (uint32_t next = 68 + kSector; next + 4 <= length; next += kSector) starts.push_back(next);
    RangePairs expected;
    for (size_t i = 0; i + 1 < starts.size(); ++i) expected.emplace_back(starts[i], starts[i + 1] - 28);
    expected.emplace_back(starts.back(), length);
    EXPECT_EQ(ranges_, expected);
    EXPECT_EQ(events.front(), Event('S', 0, 0));
    EXPECT_EQ(events.back(), Event('E', 0, 0));
  }
}
