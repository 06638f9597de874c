#include "source/patched_source.h"

#include <algorithm>
#include <cassert>

PatchedSource::PatchedSource(ByteSource& source, const std::vector<Patch>& patches) : source_(source) {
  setSize(source.size());
  offsets_.reserve(patches.size());
  values_.reserve(patches.size());
  for (const Patch& patch : patches) {
    assert(patch.offset < source.size());
    assert(offsets_.empty() || patch.offset > offsets_.back());
    offsets_.push_back(patch.offset);
    values_.push_back(static_cast<uint8_t>(source.byteAt(patch.offset) ^ patch.mask));
  }
}

int PatchedSource::byteAt(uint32_t index) {
  const auto at = std::lower_bound(offsets_.begin(), offsets_.end(), index);
  if (at != offsets_.end() && *at == index) return values_[static_cast<size_t>(at - offsets_.begin())];
  return source_.byteAt(index);
}

ByteSource::Span PatchedSource::spanAt(uint32_t index) {
  const auto at = std::lower_bound(offsets_.begin(), offsets_.end(), index);
  const auto k = static_cast<size_t>(at - offsets_.begin());
  if (at != offsets_.end() && *at == index) return Span{&values_[k], index, 1};
  Span span = source_.spanAt(index);
  if (span.length == 0) return span;
  // Only what lies between the patches on either side of `index`.
  if (k > 0 && span.start <= offsets_[k - 1]) {
    const uint32_t cut = offsets_[k - 1] + 1 - span.start;
    span.data += cut;
    span.start += cut;
    span.length -= cut;
  }
  if (at != offsets_.end() && span.start + span.length > *at) span.length = *at - span.start;
  return span;
}
