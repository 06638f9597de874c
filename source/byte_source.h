#ifndef ORVANTE_SOURCE_BYTE_SOURCE_H_
#define ORVANTE_SOURCE_BYTE_SOURCE_H_

#include <cstdint>

// ByteSource is a random-access sequence of bytes of fixed size with one
// cursor. A concrete source supplies byteAt() and sets its size once in its
// constructor; cursor movement, scans and big-endian reads are shared here.
//
// Indexes and sizes are 32-bit: a source holds less than 4 GiB. A source and
// its cursor belong to one user at a time.
//
// Cursor rules: seek() and skip() clamp the cursor to size(); the reads do
// not clamp, so callers keep every read within the data. Peeks may look past
// the end, where every concrete source reads 0.
class ByteSource {
 public:
  ByteSource() = default;
  virtual ~ByteSource();

  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // Returns the byte at `index`, zero-extended to 0..255, or 0 when the
  // source holds no byte there. Neither looks at nor moves the cursor.
  virtual int byteAt(uint32_t index) = 0;

  uint32_t position() const { return position_; }
  uint32_t size() const { return size_; }
  // size() - position(), unsigned.
  uint32_t remaining() const { return size_ - position_; }

  // Moves the cursor to p, or to size() when p is beyond it.
  void seek(uint32_t p);
  // Moves the cursor n bytes on, stopping at size().
  void skip(uint32_t n);
  // Moves the cursor to the first index at or after it whose byte equals the
  // low 8 bits of b, or to size() when there is none.
  void skipTo(int b);

  // Big-endian values of the bytes at the cursor; the cursor stays.
  int peekU8();
  uint16_t peekU16();
  uint32_t peekU32();

  // The peeks above, then the cursor moves on by the width read (unclamped).
  int readU8();
  uint16_t readU16();

 protected:
  // Sets the size; called once by the concrete source's constructor.
  void setSize(uint32_t n) { size_ = n; }

 private:
  uint32_t position_ = 0;
  uint32_t size_ = 0;
};

#endif  // ORVANTE_SOURCE_BYTE_SOURCE_H_
