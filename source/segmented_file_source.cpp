#include "source/segmented_file_source.h"

#include <algorithm>
#include <cassert>
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

SegmentedFileSource::SegmentedFileSource(const char* name, WindowBudget budget)
    : name_(name), budget_(budget), windows_(budget.windowCount) {
  assert(budget.windowCount >= 1 && budget.windowSize > 0);
  assert(budget.windowSize % platform::allocationGranularity() == 0);
  size_t dot;
  numberWidth_ = numericExtensionWidth(name_, &dot);
  if (numberWidth_ > 0) {
    name_.erase(dot);
  } else {
    platform::FileFacts facts;
    if (!platform::examine(name_.c_str(), &facts)) numberWidth_ = kDefaultNumberWidth;
  }
  discover();
}

SegmentedFileSource::~SegmentedFileSource() {
  while (releaseOldestWindow()) {
  }
}

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
  // Both '/' and '\\' separate folders.
  const size_t slash = name_.find_last_of("/\\");
  const std::string directory =
      slash == std::string::npos ? std::string(".") : slash == 0 ? name_.substr(0, 1) : name_.substr(0, slash);
  const std::string prefix = (slash == std::string::npos ? name_ : name_.substr(slash + 1)) + ".";
  std::vector<std::string> entries;
  if (platform::listFolder(directory, &entries)) {
    for (const std::string& entry : entries) {
      if (entry.size() != prefix.size() + numberWidth_) continue;
      if (entry.compare(0, prefix.size(), prefix) != 0) continue;
      const char* digits = entry.c_str() + prefix.size();
      if (!allDigits(digits, numberWidth_)) continue;
      numbers.push_back(static_cast<uint32_t>(std::strtoul(digits, nullptr, 10)));
    }
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
  // Opened without waiting, so that a FIFO of a member's name cannot stall
  // discovery.
  platform::FileFacts facts;
  const platform::Handle file = platform::openForReading(segmentName(number).c_str(), &facts);
  if (file == platform::kNoHandle) return;
  platform::closeFile(file);
  if (!facts.regular) return;
  Segment segment;
  segment.number = number;
  segment.start = static_cast<uint32_t>(total);
  total += facts.size;
  segment.end = static_cast<uint32_t>(total);
  segment.identity = facts.identity;
  segment.firstWindow = 0;
  segment.gone = false;
  segments_.push_back(std::move(segment));
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
  for (Segment& segment : segments_) {
    segment.firstWindow = static_cast<uint32_t>(windowOf_.size());
    const uint32_t length = segment.end - segment.start;
    const uint64_t windows = (uint64_t{length} + budget_.windowSize - 1) / budget_.windowSize;
    windowOf_.resize(windowOf_.size() + static_cast<size_t>(windows), kNoWindow);
  }
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

PageLedger& SegmentedFileSource::ledgerOf(Segment& segment) {
  if (!segment.ledger) {
    segment.ledger = std::make_unique<PageLedger>(segment.end - segment.start, platform::zeroUnit(), &unreadableBytes_);
  }
  return *segment.ledger;
}

bool SegmentedFileSource::releaseOldestWindow() {
  Window* oldest = nullptr;
  for (Window& window : windows_) {
    if (window.data != nullptr && (oldest == nullptr || window.lastUse < oldest->lastUse)) oldest = &window;
  }
  if (oldest == nullptr) return false;
  expireSpans();  // before its bytes go
  if (warmer_) warmer_->forget(oldest->data);
  platform::unmapView(oldest->data, oldest->length);
  windowOf_[segments_[oldest->segment].firstWindow + oldest->index] = kNoWindow;
  *oldest = Window();
  --windowsHeld_;
  return true;
}

bool SegmentedFileSource::mapWindow(uint32_t k, uint32_t w) {
  Segment& segment = segments_[k];
  if (segment.gone) return false;
  if (windowsHeld_ == budget_.windowCount) releaseOldestWindow();
  // The file of that name now must be the one discovered; one that is gone
  // or was replaced reads as zeros.
  platform::FileFacts facts;
  const platform::Handle file = platform::openForReading(segmentName(segment.number).c_str(), &facts);
  if (file == platform::kNoHandle || !facts.regular || !(facts.identity == segment.identity)) {
    if (file != platform::kNoHandle) platform::closeFile(file);
    segment.gone = true;
    return false;
  }
  const uint64_t offset = uint64_t{w} * budget_.windowSize;
  const uint32_t memberLength = segment.end - segment.start;
  const auto length = static_cast<uint32_t>(std::min<uint64_t>(budget_.windowSize, memberLength - offset));
  const uint8_t* view;
  // Address space may run short (in a 32-bit process): the other windows
  // make room.
  while ((view = platform::mapView(file, offset, length, &ledgerOf(segment))) == nullptr && releaseOldestWindow()) {
  }
  platform::closeFile(file);
  if (view == nullptr) {
    segment.gone = true;  // not even alone: it cannot be mapped at all
    return false;
  }
  for (uint32_t slot = 0; slot < windows_.size(); ++slot) {
    Window& window = windows_[slot];
    if (window.data != nullptr) continue;
    window.data = view;
    window.length = length;
    window.segment = k;
    window.index = w;
    windowOf_[segment.firstWindow + w] = slot;
    ++windowsHeld_;
    if (!warmer_ && ViewWarmer::worthwhile()) warmer_ = std::make_unique<ViewWarmer>();
    if (warmer_) warmer_->warm(view, length);
    return true;
  }
  assert(false);  // a slot was made free above
  return false;
}

ByteSource::Span SegmentedFileSource::memberSpan(uint32_t k, uint32_t index) {
  Segment& segment = segments_[k];
  const uint32_t offset = index - segment.start;
  const uint32_t w = offset / budget_.windowSize;
  uint32_t slot = windowOf_[segment.firstWindow + w];
  if (slot == kNoWindow && mapWindow(k, w)) slot = windowOf_[segment.firstWindow + w];
  Span span;
  if (slot == kNoWindow) {
    // Zeros in place of what cannot be mapped, a run at a time, counted.
    const uint32_t runStart = offset / kZeroRun * kZeroRun;
    const uint32_t memberLength = segment.end - segment.start;
    span.data = kZeros;
    span.start = segment.start + runStart;
    span.length = std::min(kZeroRun, memberLength - runStart);
    ledgerOf(segment).markRange(runStart, span.length);
    return span;
  }
  Window& window = windows_[slot];
  window.lastUse = ++uses_;
  span.data = window.data;
  span.start = segment.start + w * budget_.windowSize;
  span.length = window.length;
  return span;
}

bool SegmentedFileSource::spansStay() {
  for (size_t k = 0; k < segments_.size(); ++k) {
    if (segments_[k].gone) continue;  // read as zeros, mapped never again
    const size_t end = k + 1 < segments_.size() ? segments_[k + 1].firstWindow : windowOf_.size();
    for (size_t w = segments_[k].firstWindow; w < end; ++w) {
      if (windowOf_[w] == kNoWindow) return false;
    }
  }
  return true;
}

int SegmentedFileSource::byteAt(uint32_t index) {
  uint32_t k;
  if (!findSegment(index, &k)) return 0;
  const Span span = memberSpan(k, index);
  return span.data[index - span.start];
}

ByteSource::Span SegmentedFileSource::spanAt(uint32_t index) {
  uint32_t k;
  if (!findSegment(index, &k)) return Span();
  return memberSpan(k, index);
}

bool SegmentedFileSource::holdsFile(const char* name) const {
  platform::FileFacts facts;
  if (!platform::examine(name, &facts)) return false;
  for (const Segment& segment : segments_) {
    if (segment.identity == facts.identity) return true;
  }
  return false;
}
