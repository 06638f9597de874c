#include "source/byte_source.h"

#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ORVANTE_X86_SIMD 1
#endif

namespace {

constexpr size_t kNotFound = ByteSource::kNotFound;

// The first offset in [0, size - length] where `pattern` occurs, checked
// byte by byte from `from` on; kNotFound when there is none.
size_t findSequenceFrom(size_t from, const uint8_t* data, size_t size, const uint8_t* pattern, uint32_t length) {
  for (size_t i = from; i + length <= size; ++i) {
    if (data[i] != pattern[0]) continue;  // most positions end here, with no call
    uint32_t k = 1;
    while (k < length && data[i + k] == pattern[k]) ++k;
    if (k == length) return i;
  }
  return kNotFound;
}

#if defined(ORVANTE_X86_SIMD)
// Thirty-two candidate offsets at a time: each byte of the pattern compared
// at its own shift, the matches combined.
template <uint32_t kLength>
__attribute__((target("avx2"))) size_t findSequenceAvx2(const uint8_t* data, size_t size, const uint8_t* pattern) {
  __m256i want[kLength];
  for (uint32_t k = 0; k < kLength; ++k) want[k] = _mm256_set1_epi8(static_cast<char>(pattern[k]));
  size_t i = 0;
  for (; i + 32 + (kLength - 1) <= size; i += 32) {
    if (i % 64 == 0) ByteSource::fetchAhead(data + i);
    __m256i match = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i)), want[0]);
    for (uint32_t k = 1; k < kLength; ++k) {
      match = _mm256_and_si256(
          match, _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + k)), want[k]));
    }
    const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(match));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
  return findSequenceFrom(i, data, size, pattern, kLength);
}

// Sixty-four candidate offsets at a time, by the pattern's first and last
// bytes only; the bytes between are compared where both match. In a
// stream's data a four-byte pattern's ends come together once in 65536
// offsets or so, and two comparisons where there were four leave more of
// the time to reading: the sector sync is found in about three quarters of
// the time.
template <uint32_t kLength>
__attribute__((target("avx2"))) size_t findSequenceAvx2ByEnds(const uint8_t* data, size_t size,
                                                               const uint8_t* pattern) {
  static_assert(kLength >= 3, "a pattern with bytes between its ends");
  const __m256i first = _mm256_set1_epi8(static_cast<char>(pattern[0]));
  const __m256i last = _mm256_set1_epi8(static_cast<char>(pattern[kLength - 1]));
  size_t i = 0;
  for (; i + 64 + (kLength - 1) <= size; i += 64) {
    // Written out: a lambda would be compiled for the base instruction set.
    const uint8_t* at = data + i;
    ByteSource::fetchAhead(at);
    const __m256i low = _mm256_and_si256(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), first),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + kLength - 1)), last));
    const __m256i high = _mm256_and_si256(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32)), first),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32 + kLength - 1)), last));
    const __m256i both = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(both, both)) continue;
    uint64_t mask = uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(low))} |
                    uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(high))} << 32;
    for (; mask != 0; mask &= mask - 1) {
      const size_t found = i + static_cast<size_t>(__builtin_ctzll(mask));
      if (std::memcmp(data + found + 1, pattern + 1, kLength - 2) == 0) return found;
    }
  }
  return findSequenceFrom(i, data, size, pattern, kLength);
}

// The same sixteen at a time, with the instructions every x86-64 has (and
// a 32-bit x86 may lack: it is asked first).
template <uint32_t kLength>
__attribute__((target("sse2"))) size_t findSequenceSse2(const uint8_t* data, size_t size, const uint8_t* pattern) {
  __m128i want[kLength];
  for (uint32_t k = 0; k < kLength; ++k) want[k] = _mm_set1_epi8(static_cast<char>(pattern[k]));
  size_t i = 0;
  for (; i + 16 + (kLength - 1) <= size; i += 16) {
    if (i % 64 == 0) ByteSource::fetchAhead(data + i);
    __m128i match = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)), want[0]);
    for (uint32_t k = 1; k < kLength; ++k) {
      match = _mm_and_si128(
          match, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + k)), want[k]));
    }
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(match));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
  return findSequenceFrom(i, data, size, pattern, kLength);
}

template <uint32_t kLength>
size_t findSequenceFixed(const uint8_t* data, size_t size, const uint8_t* pattern) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    // Three-byte start codes are found as fast either way: reading is all
    // their time.
    if constexpr (kLength == 4) return findSequenceAvx2ByEnds<kLength>(data, size, pattern);
    return findSequenceAvx2<kLength>(data, size, pattern);
  }
#if defined(__i386__)
  static const bool sse2 = __builtin_cpu_supports("sse2");
  if (!sse2) return findSequenceFrom(0, data, size, pattern, kLength);
#endif
  return findSequenceSse2<kLength>(data, size, pattern);
}
#endif

// The offset of the first full occurrence of `pattern` (1 to 4 bytes) in
// `data`, or kNotFound.
size_t findSequence(const uint8_t* data, size_t size, const uint8_t* pattern, uint32_t length) {
#if defined(ORVANTE_X86_SIMD)
  switch (length) {
    case 1: return findSequenceFixed<1>(data, size, pattern);
    case 2: return findSequenceFixed<2>(data, size, pattern);
    case 3: return findSequenceFixed<3>(data, size, pattern);
    case 4: return findSequenceFixed<4>(data, size, pattern);
    default: break;
  }
#endif
  return findSequenceFrom(0, data, size, pattern, length);
}

}  // namespace

ByteSource::ByteSource() : nextLive_(firstLive_) {
  if (firstLive_ != nullptr) firstLive_->previousLive_ = this;
  firstLive_ = this;
}

ByteSource::~ByteSource() {
  if (previousLive_ != nullptr) previousLive_->nextLive_ = nextLive_;
  if (nextLive_ != nullptr) nextLive_->previousLive_ = previousLive_;
  if (firstLive_ == this) firstLive_ = nextLive_;
}

void ByteSource::expireSpans() {
  ++spanGeneration_;
  for (ByteSource* source = firstLive_; source != nullptr; source = source->nextLive_) {
    source->span_ = Span();
    source->previousSpan_ = Span();
  }
}

ByteSource::Span ByteSource::spanAt(uint32_t) { return Span(); }

bool ByteSource::holdSpan(uint32_t index) {
  if (index - span_.start < span_.length) return true;
  if (index >= size_) return false;
  // Parsers step back and forth across one boundary (a packet header, then
  // what follows its payload): the span held before is kept at hand.
  if (index - previousSpan_.start < previousSpan_.length) {
    std::swap(span_, previousSpan_);
    return true;
  }
  const Span span = spanAt(index);  // may empty the spans kept
  if (index - span.start >= span.length) return false;
  previousSpan_ = span_;
  span_ = span;
  return true;
}

int ByteSource::slowByteAt(uint32_t index) {
  if (holdSpan(index)) return span_.data[index - span_.start];
  return byteAt(index);
}

uint32_t ByteSource::slowPeekU32() {
  const uint32_t b0 = cachedByteAt(position_);
  const uint32_t b1 = cachedByteAt(position_ + 1);
  const uint32_t b2 = cachedByteAt(position_ + 2);
  const uint32_t b3 = cachedByteAt(position_ + 3);
  return (b0 << 24) + (b1 << 16) + (b2 << 8) + b3;
}

void ByteSource::skipTo(int b) {
  const int wanted = b & 0xFF;
  while (position_ < size_) {
    if (!holdSpan(position_)) {
      if (byteAt(position_) == wanted) return;
      ++position_;
      continue;
    }
    const uint32_t offset = position_ - span_.start;
    uint32_t length = span_.length - offset;
    if (length > size_ - position_) length = size_ - position_;
    const uint8_t* from = span_.data + offset;
    const void* found = std::memchr(from, wanted, length);
    if (found != nullptr) {
      position_ += static_cast<uint32_t>(static_cast<const uint8_t*>(found) - from);
      return;
    }
    position_ += length;
  }
}

bool ByteSource::matchesAt(uint32_t index, const uint8_t* pattern, uint32_t length) {
  for (uint32_t k = 0; k < length; ++k) {
    if (cachedByteAt(index + k) != pattern[k]) return false;
  }
  return true;
}

size_t ByteSource::findInMemory(const uint8_t* data, size_t size, const uint8_t* pattern, uint32_t length) {
  return findSequence(data, size, pattern, length);
}

void ByteSource::skipToSequence(const uint8_t* pattern, uint32_t length) {
  while (position_ < size_) {
    if (size_ - position_ < length) break;  // no room for the pattern
    if (!holdSpan(position_)) {
      // Bytes that are not in memory, one position at a time.
      if (matchesAt(position_, pattern, length)) return;
      ++position_;
      continue;
    }
    const uint32_t offset = position_ - span_.start;
    uint32_t available = span_.length - offset;
    if (available > size_ - position_) available = size_ - position_;
    if (available >= length) {
      const size_t found = findSequence(span_.data + offset, available, pattern, length);
      if (found != kNotFound) {
        position_ += static_cast<uint32_t>(found);
        return;
      }
      // Only an occurrence that runs on into the next span is left.
      position_ += available - (length - 1);
      available = length - 1;
    }
    // The last bytes of this span and the first of the next, side by side,
    // read in that order so that the span held moves on just once.
    uint8_t joined[8];
    const uint8_t* tail = span_.data + (position_ - span_.start);
    for (uint32_t k = 0; k < available; ++k) joined[k] = tail[k];
    uint32_t count = available;
    for (uint32_t k = 0; k + 1 < length && position_ + count < size_; ++k, ++count) {
      joined[count] = static_cast<uint8_t>(cachedByteAt(position_ + count));
    }
    const size_t found = findSequenceFrom(0, joined, count, pattern, length);
    if (found != kNotFound && found < available) {
      position_ += static_cast<uint32_t>(found);
      return;
    }
    position_ += available;
  }
  position_ = size_;
}
