#ifndef ORVANTE_SOURCE_SEGMENTED_FILE_SOURCE_H_
#define ORVANTE_SOURCE_SEGMENTED_FILE_SOURCE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "source/byte_source.h"
#include "source/page_ledger.h"
#include "source/platform.h"
#include "source/view_warmer.h"

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
// The members are sought in the name's folder; both '/' and '\' separate
// folders. At most kMaxSegments members are taken, the lowest-numbered. Gaps in the
// numbering are closed up. A member that is not a readable regular file is
// left out; an empty member takes part with length 0. Members that appear,
// change or vanish after construction are not seen.
//
// The members are read through bounded windows, mapped when first read: a
// window is windowSize bytes of one member from a multiple of windowSize
// (the member's last window is shorter), and at most windowCount of them
// are held at once; mapping one more releases the one used least recently,
// which ends every span handed out (ByteSource::expireSpans()). A window
// that cannot be mapped for want of address space releases the others
// first. The default budget keeps a whole input below 4 GiB mapped in a
// 64-bit process (nothing is mapped twice, which keeps reading again as
// cheap as reading once) and four windows, 256 MiB, in a 32-bit one. Where
// it can gain anything, a window is warmed as soon as it is mapped
// (ViewWarmer): a reader going through a window finds its pages in place.
//
// Each member is read to the length it had at discovery: bytes it gained
// since are not seen. Bytes that cannot be read read as 0 and are counted
// (unreadableBytes()), by whole units of platform::zeroUnit(): a unit whose
// read reports an I/O error or that vanished because the member got
// shorter, and every byte of a member that is gone, is no longer the file
// discovered, or cannot be mapped. A unit found unreadable once reads as 0
// for the rest of the source's life. A byte that no member holds reads as 0.
class SegmentedFileSource : public ByteSource {
 public:
  static constexpr uint32_t kMaxSegments = 1000;
  static constexpr uint32_t kMaxNumberWidth = 9;  // 10 digits no longer fit 32 bits
  static constexpr uint32_t kDefaultNumberWidth = 3;

  // How much of the members is mapped at once.
  struct WindowBudget {
    uint32_t windowSize;   // a multiple of platform::allocationGranularity()
    uint32_t windowCount;  // at least 1
  };
  static constexpr uint32_t kWindowSize = 64 << 20;
  // Enough windows for any input below 4 GiB: 64 whole ones, and a partial
  // one at the end of each member.
  static constexpr uint32_t kWindowsForAnyInput = (uint64_t{1} << 32) / kWindowSize + kMaxSegments;
  static constexpr WindowBudget kDefaultBudget = {kWindowSize, sizeof(void*) >= 8 ? kWindowsForAnyInput : 4};

  // REQUIRES: budget.windowSize is a multiple of
  // platform::allocationGranularity(), budget.windowCount >= 1.
  explicit SegmentedFileSource(const char* name, WindowBudget budget = kDefaultBudget);
  ~SegmentedFileSource() override;

  int byteAt(uint32_t index) override;
  Span spanAt(uint32_t index) override;
  // True once every window of every member that can be read is mapped: no
  // window is mapped again, so none is released.
  bool spansStay() override;

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
  uint64_t unreadableBytes() const { return unreadableBytes_; }

  // Windows held now; at most the budget's windowCount.
  uint32_t windowsHeld() const { return windowsHeld_; }

 private:
  static constexpr uint32_t kNoWindow = UINT32_MAX;

  struct Segment {
    uint32_t number;
    uint32_t start;  // offset of the member's first byte in the joined stream
    uint32_t end;    // offset one past its last byte
    platform::FileIdentity identity;
    uint32_t firstWindow;               // its first entry in windowOf_
    bool gone;                          // no longer the file discovered, or unmappable: reads as 0
    std::unique_ptr<PageLedger> ledger; // made when first read
  };
  struct Window {
    const uint8_t* data = nullptr;  // null: the slot is free
    uint32_t length = 0;
    uint32_t segment = 0;
    uint32_t index = 0;             // its number within the member
    uint64_t lastUse = 0;
  };

  void discover();
  std::vector<uint32_t> candidateNumbers() const;
  // Records member `number` when it is a readable regular file; adds its size
  // to `total`.
  void addSegment(uint32_t number, uint64_t& total);
  // The table index of the member holding `index`, walking from the member
  // found last; false when no member holds it.
  bool findSegment(uint32_t index, uint32_t* found);
  // The bytes of member k around `index` that are in memory: the window
  // holding it, or a run of zeros when it cannot be mapped.
  Span memberSpan(uint32_t k, uint32_t index);
  // Maps window w of member k into a free slot; false when it cannot be.
  bool mapWindow(uint32_t k, uint32_t w);
  // Releases the window used least recently; false when none is held.
  bool releaseOldestWindow();
  PageLedger& ledgerOf(Segment& segment);

  std::vector<Segment> segments_;
  std::string name_;
  uint32_t numberWidth_ = 0;
  uint32_t currentSegment_ = 0;
  bool tooLarge_ = false;

  const WindowBudget budget_;
  std::vector<Window> windows_;     // windowCount slots
  std::vector<uint32_t> windowOf_;  // per window of each member: its slot, or kNoWindow
  uint32_t windowsHeld_ = 0;
  std::unique_ptr<ViewWarmer> warmer_;  // made with the first window, where worthwhile
  uint64_t uses_ = 0;               // ticks of the window clock
  uint64_t unreadableBytes_ = 0;
};

#endif  // ORVANTE_SOURCE_SEGMENTED_FILE_SOURCE_H_
