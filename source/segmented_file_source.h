#ifndef ORVANTE_SOURCE_SEGMENTED_FILE_SOURCE_H_
#define ORVANTE_SOURCE_SEGMENTED_FILE_SOURCE_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "source/byte_source.h"
#include "source/mapped_file.h"

// SegmentedFileSource joins a set of numbered files (movie.000, movie.001,
// ...) into one stream, each segment's bytes following those of the segment
// with the next lower number; a single file is a set of one.
//
// The set is discovered once, in the constructor, from the given name:
//   - a name whose text after its last '.' is 1 to 9 digits names a set
//     numbered with that many digits, and the base name is the name without
//     that extension (movie.001 gives movie, width 3);
//   - any other name that exists is a single file and its own base name;
//   - any other name that does not exist is the base of a 3-digit set.
// At most kMaxSegments members are taken, the lowest-numbered. Gaps in the
// numbering are closed up. A member that is not a readable regular file is
// left out; an empty member takes part with length 0. Members that appear,
// change or vanish after construction are not seen.
//
// Each member is mapped when it is first read and stays mapped while the
// source lives, so spans handed out stay valid. Each member is read to the
// length it had at discovery: bytes it gained since are not seen, and bytes
// that cannot be read read as 0 and are counted (unreadableBytes()): pages
// of a member that report an I/O error or that vanished because it got
// shorter (see MappedFile), and every byte of a member that was removed or
// cannot be mapped. A byte that no member holds reads as 0.
class SegmentedFileSource : public ByteSource {
 public:
  static constexpr uint32_t kMaxSegments = 1000;
  static constexpr uint32_t kMaxNumberWidth = 9;  // 10 digits no longer fit 32 bits
  static constexpr uint32_t kDefaultNumberWidth = 3;

  explicit SegmentedFileSource(const char* name);
  ~SegmentedFileSource() override;

  int byteAt(uint32_t index) override;
  Span spanAt(uint32_t index) override;

  // The given name without its numeric extension; lives as long as the source.
  const char* baseName() const { return name_.c_str(); }
  // Digits of the member number suffix; 0 when the member is the name itself.
  uint32_t numberWidth() const { return numberWidth_; }
  // The file name of the member with that number.
  std::string segmentName(uint32_t number) const;

  // Number of members found, 0 to kMaxSegments.
  uint32_t segmentCount() const { return static_cast<uint32_t>(segments_.size()); }
  // REQUIRES: k < segmentCount(). The number of the k-th member, ascending.
  uint32_t segmentNumber(uint32_t k) const { return segments_[k].number; }

  // True when the members together hold 4 GiB or more, which 32-bit offsets
  // cannot describe. The source is then empty: size() is 0.
  bool tooLarge() const { return tooLarge_; }

  // True when `name` leads to one of the members' files, through any
  // symbolic or hard link.
  bool holdsFile(const char* name) const;

  // Bytes read so far as zeros because they could not be read, each counted
  // once; 0 for a source that read without a fault.
  uint64_t unreadableBytes() const;

 private:
  struct Segment {
    uint32_t number;
    uint32_t start;  // offset of the member's first byte in the joined stream
    uint32_t end;    // offset one past its last byte
    dev_t device;
    ino_t inode;
    bool mapped;     // its mapping was attempted
    bool unreadable; // it could not be mapped: every byte reads as 0
  };

  void discover();
  std::vector<uint32_t> candidateNumbers() const;
  // Records member `number` when it is a readable regular file; adds its size
  // to `total`.
  void addSegment(uint32_t number, uint64_t& total);
  // The table index of the member holding `index`, walking from the member
  // found last; false when no member holds it.
  bool findSegment(uint32_t index, uint32_t* found);
  // The bytes of member k around `index` that are in memory: its mapping,
  // or a run of zeros when it has none.
  Span memberSpan(uint32_t k, uint32_t index);

  std::vector<Segment> segments_;
  std::string name_;
  uint32_t numberWidth_ = 0;
  uint32_t currentSegment_ = 0;
  std::unique_ptr<MappedFile[]> segmentFiles_;  // one per member
  bool tooLarge_ = false;
};

#endif  // ORVANTE_SOURCE_SEGMENTED_FILE_SOURCE_H_
