#ifndef ORVANTE_TESTS_SOURCE_RANGE_PAIRS_H_
#define ORVANTE_TESTS_SOURCE_RANGE_PAIRS_H_

#include <cstdint>
#include <utility>
#include <vector>

#include "source/range_list.h"

// A range list as (start, end) pairs, which tests write, compare and print.
using RangePairs = std::vector<std::pair<uint32_t, uint32_t>>;

inline RangePairs pairsOf(const RangeList& list) {
  RangePairs pairs;
  for (uint32_t k = 0; k < list.count(); ++k) pairs.emplace_back(list.pairs()[2 * k], list.pairs()[2 * k + 1]);
  return pairs;
}

// Appends `pairs` to `list`, in order.
inline void appendPairs(const RangePairs& pairs, RangeList* list) {
  for (const auto& [start, end] : pairs) list->append(start, end);
}

#endif  // ORVANTE_TESTS_SOURCE_RANGE_PAIRS_H_
