#ifndef ORVANTE_SOURCE_MAPPED_FILE_H_
#define ORVANTE_SOURCE_MAPPED_FILE_H_

#include <cstddef>
#include <cstdint>

// MappedFile holds one file mapped whole, read-only, from its first byte, or
// nothing. The mapping keeps the file itself: no descriptor stays open, so
// any number of files can be held at once. One record can be moved from
// file to file with open(). The view stays valid until the next open() or
// close().
//
// Nothing is reported: a file that is missing, empty or cannot be mapped
// leaves the record without a view (view() is null, viewLength() 0).
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();

  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Releases what the record holds, then maps the named file.
  void open(const char* name);
  // Releases the view; the record is empty afterwards. Closing an empty
  // record does nothing.
  void close();

  // First byte of the mapped file, or null when nothing is mapped.
  const uint8_t* view() const { return view_; }
  // Number of bytes the view covers; 0 when nothing is mapped.
  size_t viewLength() const { return viewLength_; }

 private:
  const uint8_t* view_ = nullptr;
  size_t viewLength_ = 0;
};

#endif  // ORVANTE_SOURCE_MAPPED_FILE_H_
