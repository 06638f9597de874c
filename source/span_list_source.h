#ifndef ORVANTE_SOURCE_SPAN_LIST_SOURCE_H_
#define ORVANTE_SOURCE_SPAN_LIST_SOURCE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "source/byte_source.h"

// SpanListSource reads the bytes of another source where they lie in
// memory, through the spans that source handed out, gathered once: reading
// it calls no other source. So a pass can read it on a thread of its own
// while the source it was gathered from, and the sources under that, are
// read on another: the threads share memory that nobody writes, and no
// source.
//
// It is made only where the spans stay valid as long as the source they
// came from lives (ByteSource::spansStay()); that source must outlive it.
// It is used from one thread at a time: the thread that made it hands it
// over (and back) with the start (and the end) of the thread that uses it.
class SpanListSource : public ByteSource {
 public:
  // A source over the bytes of `from`, the same at the same offsets; null
  // where some byte of `from` lies in no span, or where its spans may end
  // (from.spansStay() is false once they are gathered).
  static std::unique_ptr<SpanListSource> gather(ByteSource& from);

  int byteAt(uint32_t index) override;
  Span spanAt(uint32_t index) override;
  bool spansStay() override { return true; }

 private:
  SpanListSource(std::vector<Span> spans, uint32_t size);

  const std::vector<Span> spans_;  // in order, each from the end of the one before
  size_t found_ = 0;               // the span found last
};

#endif  // ORVANTE_SOURCE_SPAN_LIST_SOURCE_H_
