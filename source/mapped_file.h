#ifndef ORVANTE_SOURCE_MAPPED_FILE_H_
#define ORVANTE_SOURCE_MAPPED_FILE_H_

#include <cstddef>
#include <cstdint>

// MappedFile holds the first bytes of one file mapped read-only, or nothing.
// The mapping keeps the file itself: no descriptor stays open, so any number
// of files can be held at once. One record can be moved from file to file
// with open(). The view stays valid until the next open() or close().
//
// Reading the view never fails. A page of it that cannot be read (the
// medium reports an I/O error, or the file got shorter than the view since
// it was mapped) reads as zeros from the moment it is first touched, and
// stays so while the view lives; zeroedBytes() counts the bytes of such
// pages. Reads through the view may rely on nothing more: the bytes of a
// page that a shrinking file cut through (past its new end, within its last
// page) read as zeros without being counted, as the system gives them.
//
// Nothing is reported at opening: a file that is missing, empty or cannot be
// mapped leaves the record without a view (view() is null, viewLength() 0).
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();

  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Releases what the record holds, then maps the named file: its first
  // `length` bytes (pages past its end read as zeros, counted), or the
  // whole file when `length` is 0.
  void open(const char* name, uint64_t length = 0);
  // Releases the view; the record is empty afterwards. Closing an empty
  // record does nothing.
  void close();

  // First byte of the view, or null when nothing is mapped.
  const uint8_t* view() const { return view_; }
  // Number of bytes the view covers; 0 when nothing is mapped.
  size_t viewLength() const { return viewLength_; }
  // Bytes of the view that read as zeros because they could not be read,
  // counted by whole pages (the last one up to viewLength()) since open().
  uint64_t zeroedBytes() const { return zeroedBytes_; }

 private:
  const uint8_t* view_ = nullptr;
  size_t viewLength_ = 0;
  uint64_t zeroedBytes_ = 0;  // written by the fault handler
};

#endif  // ORVANTE_SOURCE_MAPPED_FILE_H_
