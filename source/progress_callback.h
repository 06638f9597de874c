#ifndef ORVANTE_SOURCE_PROGRESS_CALLBACK_H_
#define ORVANTE_SOURCE_PROGRESS_CALLBACK_H_

#include <cstdint>

// ProgressCallback receives the progress of one long pass:
//   'S' with 0, 0   once, before the pass's work;
//   'P' with done, total   any number of times, done growing (the passes send
//                          the cursor position and the size of their source);
//   'E' with 0, 0   once, when the pass has finished.
// A pass that gives up before its work begins sends nothing at all.
//
// The display shows whole percentages. A pass that makes progress byte by
// byte may send 'P' only every kProgressStep(total) bytes instead of for
// each byte: every percentage is still shown, and the text is the same.
using ProgressCallback = void (*)(char event, uint32_t done, uint32_t total);

// A percentage spans at least total / 100 bytes; a step of total / 256 (at
// least 1) lands in each.
constexpr uint32_t kProgressStep(uint32_t total) { return total / 256 > 0 ? total / 256 : 1; }

#endif  // ORVANTE_SOURCE_PROGRESS_CALLBACK_H_
