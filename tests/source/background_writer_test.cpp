#include "source/background_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

// What the store function was given, write by write; read only after the
// writer has waited or ended.
struct Stored {
  uint64_t offset;
  std::vector<uint8_t> bytes;
};

constexpr size_t kSize = 64;

// Fills the buffer of write `n` with bytes that tell it apart.
size_t fill(uint8_t* buffer, size_t n) {
  const size_t count = 1 + n * 7 % kSize;
  for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<uint8_t>(n * 31 + i);
  return count;
}

// Hands in `writes` buffers; the n-th at offset 1000 * n.
void handAll(BackgroundWriter& writer, size_t writes) {
  for (size_t n = 0; n < writes; ++n) {
    uint8_t* buffer = writer.take();
    writer.hand(buffer, fill(buffer, n), 1000 * n);
  }
}

void expectStoredInOrder(const std::vector<Stored>& stored, size_t writes) {
  ASSERT_EQ(stored.size(), writes);
  uint8_t expected[kSize];
  for (size_t n = 0; n < writes; ++n) {
    const size_t count = fill(expected, n);
    EXPECT_EQ(stored[n].offset, 1000 * n);
    EXPECT_EQ(stored[n].bytes, std::vector<uint8_t>(expected, expected + count)) << n;
  }
}

}  // namespace

// Writes are made in the order handed in, each with its own bytes, whether
// the store keeps up with the owner or the owner waits for buffers.
TEST(BackgroundWriter, StoresEveryBufferInOrderWhileTheOwnerFillsTheNext) {
  struct Case {
    size_t buffers;
    size_t writes;
    bool slowStore;
  };
  for (const Case c : {Case{2, 1, false}, Case{2, 500, false}, Case{4, 500, false}, Case{2, 40, true},
                       Case{5, 40, true}}) {
    SCOPED_TRACE(testing::Message() << c.buffers << " buffers, " << c.writes << " writes");
    std::vector<Stored> stored;
    BackgroundWriter writer(
        [&stored, &c](const uint8_t* bytes, size_t count, uint64_t offset) {
          if (c.slowStore) std::this_thread::sleep_for(std::chrono::microseconds(300));
          stored.push_back({offset, std::vector<uint8_t>(bytes, bytes + count)});
          return true;
        },
        kSize, c.buffers);
    handAll(writer, c.writes);
    EXPECT_TRUE(writer.wait());
    EXPECT_FALSE(writer.failed());
    expectStoredInOrder(stored, c.writes);
    // Waiting again, with nothing queued, returns at once.
    EXPECT_TRUE(writer.wait());
  }
}

// After the first write that fails, the writes queued after it are dropped,
// and the failure stays.
TEST(BackgroundWriter, WritesAfterAFailedOneAreDropped) {
  std::vector<Stored> stored;
  size_t calls = 0;
  BackgroundWriter writer(
      [&stored, &calls](const uint8_t* bytes, size_t count, uint64_t offset) {
        if (++calls == 4) return false;
        stored.push_back({offset, std::vector<uint8_t>(bytes, bytes + count)});
        return true;
      },
      kSize, 3);
  handAll(writer, 20);
  EXPECT_FALSE(writer.wait());
  EXPECT_TRUE(writer.failed());
  EXPECT_EQ(calls, 4u);
  expectStoredInOrder(stored, 3);
  handAll(writer, 2);
  EXPECT_FALSE(writer.wait());
  EXPECT_EQ(calls, 4u);
}

// Ending the writer makes the writes still queued first.
TEST(BackgroundWriter, EndingMakesTheWritesStillQueued) {
  std::vector<Stored> stored;
  {
    BackgroundWriter writer(
        [&stored](const uint8_t* bytes, size_t count, uint64_t offset) {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          stored.push_back({offset, std::vector<uint8_t>(bytes, bytes + count)});
          return true;
        },
        kSize, 6);
    handAll(writer, 30);
  }
  expectStoredInOrder(stored, 30);
}
