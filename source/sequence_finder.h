#ifndef ORVANTE_SOURCE_SEQUENCE_FINDER_H_
#define ORVANTE_SOURCE_SEQUENCE_FINDER_H_

#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

// SequenceFinder finds, on a thread of its own, every place where a short
// byte sequence begins in a stretch of memory, while its owner reads what
// lies before the stretch; the owner then goes from place to place with
// next() instead of reading the stretch itself. A scan for the sectors'
// syncs reads the whole of a disc image at the memory's pace: two threads
// at it read faster than one.
//
// The finder does not own the memory, which must stay as it is until the
// search is joined (by next() or the destructor). Only the owner's thread
// calls the object.
class SequenceFinder {
 public:
  // Starts looking for the `length` bytes of `pattern` (1 to 4, copied) in
  // the `size` bytes at `data`, which stand for offsets from `start` on.
  // The places looked at are those where the pattern lies wholly in the
  // bytes given: [start, end()).
  // REQUIRES: 1 <= length <= 4; size >= length; start + size fits in 32 bits.
  SequenceFinder(const uint8_t* data, uint32_t start, uint32_t size, const uint8_t* pattern, uint32_t length);
  // Waits for the search.
  ~SequenceFinder();

  SequenceFinder(const SequenceFinder&) = delete;
  SequenceFinder& operator=(const SequenceFinder&) = delete;

  // Whether a machine has a processor to spare for the search.
  static bool worthwhile();

  uint32_t start() const { return start_; }
  uint32_t end() const { return end_; }
  // The first place at or after `from` where the pattern begins, or end()
  // when there is none before it; waits for the search the first time.
  // REQUIRES: start() <= from <= end(); from not below the one asked before.
  uint32_t next(uint32_t from);

 private:
  void find();

  const uint8_t* const data_;
  const uint32_t start_;
  const uint32_t end_;
  uint8_t pattern_[4] = {0, 0, 0, 0};
  const uint32_t length_;
  std::vector<uint32_t> places_;  // written by the search until joined
  size_t taken_ = 0;              // places_ before this index lie before what was asked
  uint32_t lastAsked_ = 0;
  bool joined_ = false;
  std::thread thread_;  // last: starts once the rest is set; none where none could be had
};

#endif  // ORVANTE_SOURCE_SEQUENCE_FINDER_H_
