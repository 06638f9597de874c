#ifndef ORVANTE_SOURCE_RANGE_LIST_H_
#define ORVANTE_SOURCE_RANGE_LIST_H_

#include <cstdint>

// RangeList is an ordered list of half-open byte ranges [start, end) of some
// source, kept as a flat array of (start, end) pairs in the order appended,
// together with the sum of their lengths. It neither sorts, merges nor checks
// the ranges. The array grows by half as much again when it is full, so that
// it holds at most half as many pairs more than count().
//
// A list is owned by value and never copied. pairs() stays valid until the
// next append() or clear(), which may move the array.
class RangeList {
 public:
  RangeList();
  ~RangeList();

  RangeList(const RangeList&) = delete;
  RangeList& operator=(const RangeList&) = delete;

  // REQUIRES: start <= end. Adds [start, end) at the end of the list. Should
  // the array not grow, the list is left as it was.
  void append(uint32_t start, uint32_t end);
  // REQUIRES: start <= end. Adds [start, end) as append() does, joined to
  // the last range when that reaches `start`: the last range then ends at
  // the later of both ends. For ranges added in the order of their starts.
  void appendJoined(uint32_t start, uint32_t end);
  // Empties the list; an empty list is left untouched.
  void clear();
  // REQUIRES: a and b increasing, neither overlapping itself; out is
  // neither. Makes `out` the ranges of both in order, those that overlap or
  // touch joined.
  static void unionOf(const RangeList& a, const RangeList& b, RangeList* out);

  // start0, end0, start1, end1, ...: 2 * count() values.
  const uint32_t* pairs() const { return pairs_; }
  uint32_t count() const { return count_; }
  // Sum of end - start over all pairs, modulo 2^32.
  uint32_t total() const { return total_; }

 private:
  uint32_t* pairs_;
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;  // pairs the array has room for
  uint32_t total_ = 0;
};

#endif  // ORVANTE_SOURCE_RANGE_LIST_H_
