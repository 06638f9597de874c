#ifndef ORVANTE_SOURCE_PROGRESS_CALLBACK_H_
#define ORVANTE_SOURCE_PROGRESS_CALLBACK_H_

#include <cstdint>

// ProgressCallback receives the progress of one long pass:
//   'S' with 0, 0   once, before the pass's work;
//   'P' with done, total   any number of times, done growing (the passes send
//                          the cursor position and the size of their source);
//   'E' with 0, 0   once, when the pass has finished.
// A pass that gives up before its work begins sends nothing at all.
using ProgressCallback = void (*)(char event, uint32_t done, uint32_t total);

#endif  // ORVANTE_SOURCE_PROGRESS_CALLBACK_H_
