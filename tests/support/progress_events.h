#ifndef ORVANTE_TESTS_SUPPORT_PROGRESS_EVENTS_H_
#define ORVANTE_TESTS_SUPPORT_PROGRESS_EVENTS_H_

#include <cstdint>
#include <tuple>
#include <vector>

#include "source/progress_callback.h"

// One progress event as a pass sent it: the letter, done, total.
using ProgressEvent = std::tuple<char, uint32_t, uint32_t>;

// A callback that appends each event to `events`, which must outlive it.
inline ProgressCallback recordingInto(std::vector<ProgressEvent>& events) {
  return ProgressCallback(
      [](void* context, char event, uint32_t done, uint32_t total) {
        static_cast<std::vector<ProgressEvent>*>(context)->emplace_back(event, done, total);
      },
      &events);
}

#endif  // ORVANTE_TESTS_SUPPORT_PROGRESS_EVENTS_H_
