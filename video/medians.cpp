#include "video/medians.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdlib>

namespace {

int middleOf(std::vector<int>* values) {
  assert(!values->empty());
  const auto middle = values->begin() + static_cast<std::ptrdiff_t>(values->size() / 2);
  std::nth_element(values->begin(), middle, values->end());
  return *middle;
}

}  // namespace

int median(std::vector<int> values) { return middleOf(&values); }

int medianWithSpread(std::vector<int>* values, int* spread) {
  const int m = middleOf(values);
  std::vector<int> distances(values->size());
  for (size_t i = 0; i < values->size(); ++i) distances[i] = std::abs((*values)[i] - m);
  *spread = middleOf(&distances);
  return m;
}
