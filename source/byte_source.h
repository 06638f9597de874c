#ifndef ORVANTE_SOURCE_BYTE_SOURCE_H_
#define ORVANTE_SOURCE_BYTE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

// ByteSource is a random-access sequence of bytes of fixed size with one
// cursor. A concrete source supplies byteAt() and sets its size once in its
// constructor; cursor movement, scans and big-endian reads are shared here.
// A source whose bytes lie in memory also hands out contiguous spans of them
// (spanAt()), through which the shared operations read without a call per
// byte; they give the same results either way.
//
// Indexes and sizes are 32-bit: a source holds less than 4 GiB. A source and
// its cursor belong to one user at a time, and every source is used from one
// thread at a time; what one thread reads while another reads other sources
// is read through a SpanListSource, which reads no other source.
//
// Cursor rules: seek() and skip() clamp the cursor to size(); the reads do
// not clamp, so callers keep every read within the data. Peeks may look past
// the end, where every concrete source reads 0.
//
// How long a span lives. A span handed out by spanAt() stays valid while
// spanGeneration() keeps the value it had when the span was handed out. A
// source whose memory can go away while it lives (SegmentedFileSource maps
// bounded windows and releases the oldest) calls expireSpans() first, which
// ends every span handed out until then, by every source; nothing else ends
// them. Any read of any source (byteAt(), spanAt(), the shared operations)
// may do so: a caller that keeps a span across such a read checks the
// generation before it uses the span again. readRuns() hands its sink bytes
// that stay valid until the sink returns, provided the sink reads no source.
//
// The shared operations keep the span read last and the one before it.
// Every source is on one list of the live sources from construction to
// destruction, and expireSpans() empties the kept spans of all of them
// before the memory goes: a view read again long after other views have
// moved the windows on fetches its spans anew, and can never read bytes
// that are gone. This costs nothing on the paths that read: measured with
// bench/pass_benchmark.cpp (medians of 7 runs), every pass takes the time it
// took before within 2%, and the run on the hour-long image the same time;
// a kept span checked against the generation at each use instead cost a
// tenth of the time of the demultiplexer's benchmarks.
class ByteSource {
 public:
  // Bytes [start, start + length) of the source, lying contiguously in
  // memory at data. An empty span (length 0) holds nothing.
  struct Span {
    const uint8_t* data = nullptr;
    uint32_t start = 0;
    uint32_t length = 0;
  };

  ByteSource();
  virtual ~ByteSource();

  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // Returns the byte at `index`, zero-extended to 0..255, or 0 when the
  // source holds no byte there. Neither looks at nor moves the cursor.
  virtual int byteAt(uint32_t index) = 0;

  // A span of bytes lying contiguously in memory that holds `index`, valid
  // as long as the span generation stays the same (see above); empty when
  // the source has none there (past the end, or bytes that are not in
  // memory). Neither looks at nor moves the cursor. The base class hands out
  // none.
  virtual Span spanAt(uint32_t index);

  // Whether every span handed out so far stays valid as long as the source
  // lives, whatever is read from now on: none of the memory of its spans can
  // go away. The base class says no.
  virtual bool spansStay() { return false; }

  // Changes whenever spans handed out may have ended; see above.
  static uint64_t spanGeneration() { return spanGeneration_; }

  // Asks the processor for the memory a page on from `at`, for a loop that
  // reads a span's bytes in order. The processor fetches ahead of what is
  // read within a page, but not across into the next, so without the hint
  // each page begins with a wait for memory: a scan for start codes over
  // the hour-long image in memory took 0.06 s with it, 0.09 s without (half
  // a page ahead gained less, two pages no more). The address may lie past
  // the data: it is worked out as a number, and the hint reads nothing and
  // cannot fault.
  static void fetchAhead(const uint8_t* at) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(at) + kFetchAhead));
  }
  static constexpr uintptr_t kFetchAhead = 4096;

  uint32_t position() const { return position_; }
  uint32_t size() const { return size_; }
  // size() - position(), unsigned.
  uint32_t remaining() const { return size_ - position_; }

  // Moves the cursor to p, or to size() when p is beyond it.
  void seek(uint32_t p) { position_ = p > size_ ? size_ : p; }
  // Moves the cursor n bytes on, stopping at size().
  void skip(uint32_t n) {
    // Counted in 64 bits so that a large n cannot wrap past the end.
    const uint64_t target = uint64_t{position_} + n;
    position_ = target > size_ ? size_ : static_cast<uint32_t>(target);
  }
  // Moves the cursor to the first index at or after it whose byte equals the
  // low 8 bits of b, or to size() when there is none.
  void skipTo(int b);
  // REQUIRES: 1 <= length <= 4. Moves the cursor to the first index at or
  // after it where the data holds the `length` bytes of `pattern`, or to
  // size() when there is none.
  void skipToSequence(const uint8_t* pattern, uint32_t length);
  // The first offset of the `size` bytes at `data` where the `length` bytes
  // of `pattern` begin, as skipToSequence() finds them; kNotFound when
  // there is none.
  static size_t findInMemory(const uint8_t* data, size_t size, const uint8_t* pattern, uint32_t length);
  static constexpr size_t kNotFound = ~size_t{0};

  // Big-endian values of the bytes at the cursor; the cursor stays.
  int peekU8() { return cachedByteAt(position_); }
  uint16_t peekU16() {
    const uint32_t offset = position_ - span_.start;
    if (offset < span_.length && span_.length - offset >= 2) {
      return static_cast<uint16_t>(span_.data[offset] << 8 | span_.data[offset + 1]);
    }
    return static_cast<uint16_t>(cachedByteAt(position_) * 256 + cachedByteAt(position_ + 1));
  }
  uint32_t peekU32() {
    const uint32_t offset = position_ - span_.start;
    if (offset < span_.length && span_.length - offset >= 4) {
      const uint8_t* p = span_.data + offset;
      return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    }
    return slowPeekU32();
  }

  // The peeks above, then the cursor moves on by the width read (unclamped).
  int readU8() {
    const int value = peekU8();
    position_ += 1;
    return value;
  }
  uint16_t readU16() {
    const uint16_t value = peekU16();
    position_ += 2;
    return value;
  }

  // Hands the bytes [position(), position() + count) to `sink` in order, as
  // calls sink(const uint8_t* bytes, uint32_t length), and moves the cursor
  // past them as count readU8() calls would (unclamped). Bytes past the end
  // are handed out as zeros.
  template <typename Sink>
  void readRuns(uint32_t count, Sink&& sink);

 protected:
  // Sets the size; called once by the concrete source's constructor.
  void setSize(uint32_t n) { size_ = n; }
  // Ends every span handed out so far, by any source, and empties the spans
  // every live source keeps. A source calls it before memory it handed out
  // spans of goes away.
  static void expireSpans();

 private:
  int cachedByteAt(uint32_t index) {
    const uint32_t offset = index - span_.start;
    if (offset < span_.length) return span_.data[offset];
    return slowByteAt(index);
  }
  // Looks for a span holding `index` and keeps it; falls back to byteAt().
  int slowByteAt(uint32_t index);
  uint32_t slowPeekU32();
  // Makes span_ hold `index` when the source has a span there.
  bool holdSpan(uint32_t index);
  // Whether the bytes at `index` are those of `pattern`.
  bool matchesAt(uint32_t index, const uint8_t* pattern, uint32_t length);

  inline static uint64_t spanGeneration_ = 0;
  inline static ByteSource* firstLive_ = nullptr;  // the list of live sources

  uint32_t position_ = 0;
  uint32_t size_ = 0;
  Span span_;          // the span read last
  Span previousSpan_;  // the one held before it
  ByteSource* previousLive_ = nullptr;
  ByteSource* nextLive_ = nullptr;
};

template <typename Sink>
void ByteSource::readRuns(uint32_t count, Sink&& sink) {
  uint8_t byte;
  while (count > 0) {
    if (holdSpan(position_)) {
      const uint32_t offset = position_ - span_.start;
      const uint32_t run = span_.length - offset < count ? span_.length - offset : count;
      sink(span_.data + offset, run);
      position_ += run;
      count -= run;
    } else {
      byte = static_cast<uint8_t>(byteAt(position_));
      sink(&byte, 1);
      position_ += 1;
      count -= 1;
    }
  }
}

#endif  // ORVANTE_SOURCE_BYTE_SOURCE_H_
