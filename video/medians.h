#ifndef ORVANTE_VIDEO_MEDIANS_H_
#define ORVANTE_VIDEO_MEDIANS_H_

#include <vector>

// Medians of the differences the rescue levels and moves by: robust against
// the few values that damage or the picture's own edges throw far off.

// The median of `values` (the upper one of an even count).
// REQUIRES: values is not empty.
int median(std::vector<int> values);

// The median of `values` (reordered), and in `spread` the median of their
// distances from it. REQUIRES: values is not empty.
int medianWithSpread(std::vector<int>* values, int* spread);

#endif  // ORVANTE_VIDEO_MEDIANS_H_
