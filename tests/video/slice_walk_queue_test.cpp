#include "video/slice_walk_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/container/demuxed_streams.h"
#include "tests/video/slice_index.h"

// Whatever the number of workers, the walks come back as walking each slice
// in turn gives them, in the order the slices went in.
TEST(SliceWalkQueue, GivesTheWalksOfEverySliceInOrderWithAnyNumberOfWorkers) {
  const Bytes stream = testRecording("bare.m1v");
  const std::vector<IndexedSlice> slices = indexSlices(stream);
  ASSERT_GT(slices.size(), 100u);
  // A broken copy of every third slice, so that faults come back too.
  std::vector<Bytes> data;
  for (size_t k = 0; k < slices.size(); ++k) {
    Bytes bytes(stream.begin() + static_cast<std::ptrdiff_t>(slices[k].dataStart()),
                stream.begin() + static_cast<std::ptrdiff_t>(slices[k].end));
    if (k % 3 == 0 && bytes.size() > 20) bytes[bytes.size() / 2] ^= 0x5A;
    data.push_back(bytes);
  }
  for (const unsigned workers : {0u, 1u, 3u}) {
    SliceWalkQueue queue(workers);
    // Many rounds, so that batches are handed over and the workers wait.
    constexpr int kRounds = 12;
    for (int round = 0; round < kRounds; ++round) {
      for (size_t k = 0; k < slices.size(); ++k) {
        queue.add(slices[k].context, slices[k].verticalPosition, data[k].data(), data[k].size());
      }
    }
    queue.finish();
    size_t faults = 0;
    for (int round = 0; round < kRounds; ++round) {
      for (size_t k = 0; k < slices.size(); ++k) {
        const SliceWalk expected = SliceWalker(slices[k].context).walk(slices[k].verticalPosition, data[k].data(), data[k].size());
        const SliceWalk& got = queue.walk(round * slices.size() + k);
        ASSERT_EQ(got.fault, expected.fault) << workers << " workers, slice " << k;
        ASSERT_EQ(got.firstMacroblock, expected.firstMacroblock);
        ASSERT_EQ(got.lastMacroblock, expected.lastMacroblock);
        faults += got.fault != SliceFault::kNone ? 1 : 0;
      }
    }
    EXPECT_GT(faults, 0u);
  }
}
