#include "source/span_list_source.h"

#include <algorithm>

std::unique_ptr<SpanListSource> SpanListSource::gather(ByteSource& from) {
  const uint64_t generation = ByteSource::spanGeneration();
  std::vector<Span> spans;
  for (uint32_t at = 0; at < from.size();) {
    const Span span = from.spanAt(at);
    if (span.length == 0 || at - span.start >= span.length) return nullptr;  // not in memory
    const uint32_t skipped = at - span.start;
    uint32_t length = span.length - skipped;
    if (length > from.size() - at) length = from.size() - at;
    spans.push_back({span.data + skipped, at, length});
    at += length;
  }
  // Spans that ended while they were gathered, or may end later, are no use.
  if (ByteSource::spanGeneration() != generation || !from.spansStay()) return nullptr;
  return std::unique_ptr<SpanListSource>(new SpanListSource(std::move(spans), from.size()));
}

SpanListSource::SpanListSource(std::vector<Span> spans, uint32_t size) : spans_(std::move(spans)) { setSize(size); }

ByteSource::Span SpanListSource::spanAt(uint32_t index) {
  if (index >= size()) return Span();
  // Reads in order mostly stay in the span found last, or go on to the next.
  for (size_t k = found_; k < spans_.size() && k <= found_ + 1; ++k) {
    if (index >= spans_[k].start && index - spans_[k].start < spans_[k].length) {
      found_ = k;
      return spans_[k];
    }
  }
  const auto after = std::upper_bound(spans_.begin(), spans_.end(), index,
                                      [](uint32_t i, const Span& span) { return i < span.start; });
  found_ = static_cast<size_t>(after - spans_.begin()) - 1;
  return spans_[found_];
}

int SpanListSource::byteAt(uint32_t index) {
  const Span span = spanAt(index);
  return span.length == 0 ? 0 : span.data[index - span.start];
}
