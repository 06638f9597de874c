#include "source/segmented_file_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

// Width of the all-digit text after the last '.', or 0 when there is no '.',
// the text is empty, holds anything but digits, or is too long to be a number.
uint32_t numericExtensionWidth(const std::string& name, size_t* dot) {
  *dot = name.rfind('.');
  if (*dot == std::string::npos) return 0;
  const size_t width = name.size() - *dot - 1;
  if (width == 0 || width > SegmentedFileSource::kMaxNumberWidth) return 0;
  for (size_t i = *dot + 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
  }
  return static_cast<uint32_t>(width);
}

// Zeros handed out, a run at a time, for members that cannot be read.
constexpr uint32_t kZeroRun = 1 << 16;
const uint8_t kZeros[kZeroRun] = {};

bool allDigits(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

}  // namespace

SegmentedFileSource::SegmentedFileSource(const char* name) : name_(name) {
  size_t dot;
  numberWidth_ = numericExtensionWidth(name_, &dot);
  if (numberWidth_ > 0) {
    name_.erase(dot);
  } else {
    struct stat info;
    if (::stat(name_.c_str(), &info) != 0) numberWidth_ = kDefaultNumberWidth;
  }
  discover();
}

SegmentedFileSource::~SegmentedFileSource() = default;

std::string SegmentedFileSource::segmentName(uint32_t number) const {
  if (numberWidth_ == 0) return name_;
  std::string digits = std::to_string(number);
  if (digits.size() < numberWidth_) digits.insert(0, numberWidth_ - digits.size(), '0');
  return name_ + "." + digits;
}

std::vector<uint32_t> SegmentedFileSource::candidateNumbers() const {
  std::vector<uint32_t> numbers;
  if (numberWidth_ == 0) {
    numbers.push_back(0);
    return numbers;
  }
  // The members are the directory entries named <base>.<width digits>. One
  // listing finds them for any width, where probing every number would take
  // up to a billion lookups.
  const size_t slash = name_.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : name_.substr(0, slash);
  const std::string prefix = (slash == std::string::npos ? name_ : name_.substr(slash + 1)) + ".";
  DIR* listing = ::opendir(directory.c_str());
  if (listing != nullptr) {
    while (const dirent* entry = ::readdir(listing)) {
      const size_t length = std::strlen(entry->d_name);
      if (length != prefix.size() + numberWidth_) continue;
      if (prefix.compare(0, prefix.size(), entry->d_name, prefix.size()) != 0) continue;
      const char* digits = entry->d_name + prefix.size();
      if (!allDigits(digits, numberWidth_)) continue;
      numbers.push_back(static_cast<uint32_t>(std::strtoul(digits, nullptr, 10)));
    }
    ::closedir(listing);
    std::sort(numbers.begin(), numbers.end());
  } else if (numberWidth_ <= 4) {
    // A directory that can be searched but not listed: probe each number,
    // which stays quick for short widths.
    uint32_t limit = 1;
    for (uint32_t i = 0; i < numberWidth_; ++i) limit *= 10;
    for (uint32_t i = 0; i < limit; ++i) numbers.push_back(i);
  }
  return numbers;
}

void SegmentedFileSource::addSegment(uint32_t number, uint64_t& total) {
  const std::string file = segmentName(number);
  // Non-blocking, so that a FIFO of a member's name cannot stall discovery.
  const int handle = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (handle < 0) return;
  struct stat info;
  const bool usable = ::fstat(handle, &info) == 0 && S_ISREG(info.st_mode);
  ::close(handle);
  if (!usable) return;
  Segment segment;
  segment.number = number;
  segment.start = static_cast<uint32_t>(total);
  total += static_cast<uint64_t>(info.st_size);
  segment.end = static_cast<uint32_t>(total);
  segment.device = info.st_dev;
  segment.inode = info.st_ino;
  segment.mapped = false;
  segment.unreadable = false;
  segments_.push_back(segment);
}

void SegmentedFileSource::discover() {
  uint64_t total = 0;
  for (uint32_t number : candidateNumbers()) {
    if (segments_.size() == kMaxSegments) break;
    addSegment(number, total);
    if (total > UINT32_MAX) break;
  }
  if (total > UINT32_MAX) {
    tooLarge_ = true;
    segments_.clear();
  }
  currentSegment_ = 0;
  segmentFiles_.reset(new MappedFile[segments_.size()]);
  setSize(segments_.empty() ? 0 : segments_.back().end);
}

bool SegmentedFileSource::findSegment(uint32_t index, uint32_t* found) {
  if (segments_.empty()) return false;
  uint32_t c = currentSegment_;
  for (;;) {
    const Segment& segment = segments_[c];
    if (index < segment.start) {
      if (c == 0) return false;
      --c;
    } else if (index >= segment.end) {
      if (c + 1 >= segments_.size()) return false;
      ++c;
    } else {
      currentSegment_ = c;
      *found = c;
      return true;
    }
  }
}

ByteSource::Span SegmentedFileSource::memberSpan(uint32_t k, uint32_t index) {
  Segment& segment = segments_[k];
  MappedFile& file = segmentFiles_[k];
  const uint32_t length = segment.end - segment.start;
  if (!segment.mapped) {
    segment.mapped = true;
    // Mapped to its length at discovery: pages it lost since read as zeros.
    file.open(segmentName(segment.number).c_str(), length);
    segment.unreadable = length > 0 && file.view() == nullptr;
  }
  Span span;
  if (segment.unreadable) {
    const uint32_t offset = (index - segment.start) / kZeroRun * kZeroRun;
    span.data = kZeros;
    span.start = segment.start + offset;
    span.length = length - offset < kZeroRun ? length - offset : kZeroRun;
    return span;
  }
  span.data = file.view();
  span.start = segment.start;
  span.length = length;
  return span;
}

int SegmentedFileSource::byteAt(uint32_t index) {
  uint32_t k;
  if (!findSegment(index, &k)) return 0;
  const Span span = memberSpan(k, index);
  const uint32_t offset = index - span.start;
  return offset < span.length ? span.data[offset] : 0;
}

ByteSource::Span SegmentedFileSource::spanAt(uint32_t index) {
  uint32_t k;
  if (!findSegment(index, &k)) return Span();
  return memberSpan(k, index);
}

bool SegmentedFileSource::holdsFile(const char* name) const {
  struct stat info;
  if (::stat(name, &info) != 0) return false;
  for (const Segment& segment : segments_) {
    if (segment.device == info.st_dev && segment.inode == info.st_ino) return true;
  }
  return false;
}

uint64_t SegmentedFileSource::unreadableBytes() const {
  uint64_t total = 0;
  for (uint32_t k = 0; k < segments_.size(); ++k) {
    const Segment& segment = segments_[k];
    total += segment.unreadable ? segment.end - segment.start : segmentFiles_[k].zeroedBytes();
  }
  return total;
}
