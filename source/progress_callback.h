#ifndef ORVANTE_SOURCE_PROGRESS_CALLBACK_H_
#define ORVANTE_SOURCE_PROGRESS_CALLBACK_H_

#include <cassert>
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
//
// A ProgressCallback is a small value: a function and the context it is
// called with, copied freely. It does not own the context, which must outlive
// every call. A default-constructed callback ignores every event.
class ProgressCallback {
 public:
  using Function = void (*)(void* context, char event, uint32_t done, uint32_t total);

  constexpr ProgressCallback() = default;
  // Each event becomes function(context, event, done, total).
  // REQUIRES: function != nullptr.
  constexpr ProgressCallback(Function function, void* context) : function_(function), context_(context) {
    assert(function != nullptr);
  }

  void operator()(char event, uint32_t done, uint32_t total) const { function_(context_, event, done, total); }

 private:
  static void ignore(void*, char, uint32_t, uint32_t) {}

  Function function_ = ignore;
  void* context_ = nullptr;
};

// A percentage spans at least total / 100 bytes; a step of total / 256 (at
// least 1) lands in each.
constexpr uint32_t kProgressStep(uint32_t total) { return total / 256 > 0 ? total / 256 : 1; }

#endif  // ORVANTE_SOURCE_PROGRESS_CALLBACK_H_
