#include "video/picture_timeline.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "video/video_format.h"

namespace {

// A base that only one stamp vouches for is trusted no further than this
// from where the group before leaves off: a wild stamp must not open a gap
// of hours. Five seconds of pictures covers the longest burst of lost
// sectors a rescue can be expected to bridge with confidence.
constexpr double kLoneStampReachSeconds = 5.0;

// A group's temporal references reach at most this far past its count of
// pictures: a larger one is damaged and must not stretch the group.
constexpr uint32_t kLostPicturesPerGroup = 64;

// The 33-bit stamp `value` unwrapped to the 64-bit value nearest `near`.
int64_t unwrap(uint64_t value, int64_t near) { return near + stampDifference(static_cast<uint64_t>(near), value); }

}  // namespace

PictureTimeline::PictureTimeline(const PictureSurvey& survey, const TimeStampList& stamps, uint32_t frameRateCode)
    : survey_(survey), stamps_(stamps), frameRateCode_(frameRateCode), ticksPerSlot_(ticksPerPicture(frameRateCode)) {}

void PictureTimeline::place() {
  const size_t count = survey_.pictures().size();
  stampSlots_.assign(count, kUnplaced);
  slots_.assign(count, kUnplaced);
  referenceSlots_.assign(count, kUnplaced);
  bases_.assign(survey_.groups().size(), 0);
  checked_ = false;
  if (ticksPerSlot_ > 0) matchStamps();
  placeGroups();

  // Each slot holds one picture: a later one that lands in a taken slot is
  // left unplaced.
  std::vector<std::pair<int64_t, uint32_t>> placed;
  for (uint32_t k = 0; k < count; ++k) {
    if (slots_[k] != kUnplaced) placed.emplace_back(slots_[k], k);
  }
  std::sort(placed.begin(), placed.end());
  for (size_t i = 1; i < placed.size(); ++i) {
    if (placed[i].first == placed[i - 1].first) slots_[placed[i].second] = kUnplaced;
  }
  firstSlot_ = 0;
  lastSlot_ = -1;
  placedCount_ = 0;
  for (size_t i = 0; i < placed.size(); ++i) {
    if (i == 0 || placed[i].first != placed[i - 1].first) ++placedCount_;
  }
  if (!placed.empty()) {
    firstSlot_ = placed.front().first;
    lastSlot_ = placed.back().first;
  }
}

void PictureTimeline::matchStamps() {
  const std::vector<PictureSurvey::Picture>& pictures = survey_.pictures();
  size_t j = 0;
  bool haveOrigin = false;
  int64_t last = 0;
  for (size_t s = 0; s < stamps_.count() && j < pictures.size(); ++s) {
    const TimeStamp& stamp = stamps_[s];
    // The packet ends at its declared end, or where the next one begins.
    uint64_t end = uint64_t{stamp.offset} + stamp.length;
    if (s + 1 < stamps_.count()) end = std::min<uint64_t>(end, stamps_[s + 1].offset);
    while (j < pictures.size() && pictures[j].start < stamp.offset) ++j;
    if (j == pictures.size()) break;
    // The stamp is the picture's when the picture, or the headers that lead
    // into it, begin in the packet.
    if (pictures[j].unitStart >= end) continue;
    const int64_t pts = haveOrigin ? unwrap(stamp.pts, last) : static_cast<int64_t>(stamp.pts % kTimeStampModulus);
    const int64_t dts = unwrap(stamp.dts, pts);
    last = pts;
    if (!haveOrigin) {
      origin_ = pts;
      haveOrigin = true;
    }
    stampSlots_[j] = std::llround(static_cast<double>(pts - origin_) / ticksPerSlot_);
    if (pictures[j].anchor() && dts != pts) {
      referenceSlots_[j] = std::llround(static_cast<double>(dts - origin_) / ticksPerSlot_);
    }
    checked_ = true;
    ++j;
  }
}

void PictureTimeline::placeGroups() {
  const std::vector<PictureSurvey::Picture>& pictures = survey_.pictures();
  const std::vector<PictureSurvey::Group>& groups = survey_.groups();

  // Time codes stand in for stamps in a stream that has none, when they
  // count up from group to group.
  const uint32_t rate = timeCodeRate(frameRateCode_);
  bool useTimeCodes = !checked_ && rate > 0;
  int64_t previousCode = -1;
  uint32_t withCode = 0;
  for (const PictureSurvey::Group& group : groups) {
    if (group.headerStart == group.headerEnd) continue;
    const auto code = static_cast<int64_t>(group.header.timeCodeInPictures(rate));
    if (code <= previousCode) useTimeCodes = false;
    previousCode = code;
    ++withCode;
  }
  if (withCode < 2) useTimeCodes = false;
  if (useTimeCodes) checked_ = true;

  const int64_t loneReach = ticksPerSlot_ > 0 ? std::llround(kLoneStampReachSeconds * kTicksPerSecond / ticksPerSlot_) : 0;
  const LossBound bound{slotsIn(kLongestLossTicks), slotsIn(kLossAllowanceTicks)};
  int64_t expected = 0;     // where the group before leaves off
  int64_t firstCode = -1;   // the time code of the first group that has one
  int64_t codeBase = 0;     // and that group's base
  int64_t clockShift = 0;   // how far the stamps' clock jumped, in slots
  int64_t placed = 0;       // pictures of the groups before
  int64_t bridged = 0;      // slots those groups left free between them
  for (uint32_t g = 0; g < groups.size(); ++g) {
    const uint32_t first = groups[g].firstPicture;
    const uint32_t last = g + 1 < groups.size() ? groups[g + 1].firstPicture : static_cast<uint32_t>(pictures.size());
    // The base each stamped picture asks for, and how many ask for it.
    std::map<int64_t, uint32_t> votes;
    uint32_t span = 0;
    // What may still be bridged: the loss allowed beyond what survived.
    const int64_t allowed = bound.allowed(placed, bridged);
    const uint32_t longest = last - first + static_cast<uint32_t>(std::min<int64_t>(kLostPicturesPerGroup, allowed));
    for (uint32_t k = first; k < last; ++k) {
      if (pictures[k].temporalReference < longest) span = std::max(span, pictures[k].temporalReference + 1);
      if (stampSlots_[k] != kUnplaced) ++votes[stampSlots_[k] - clockShift - pictures[k].temporalReference];
    }
    int64_t base = expected;
    uint32_t support = 0;
    for (const auto& [candidate, count] : votes) {
      const bool better = count > support ||
                          (count == support && std::llabs(candidate - expected) < std::llabs(base - expected));
      if (better) {
        base = candidate;
        support = count;
      }
    }
    if (support == 1 && std::llabs(base - expected) > loneReach && g > 0) base = expected;
    const bool coded = support == 0 && useTimeCodes && groups[g].headerStart != groups[g].headerEnd;
    if (coded) {
      const auto code = static_cast<int64_t>(groups[g].header.timeCodeInPictures(rate));
      if (firstCode < 0) {
        firstCode = code;
        codeBase = expected;
      }
      base = codeBase + (code - firstCode);
    }
    // A gap longer than a loss can be, or than what survived allows, is a
    // jump of the clock: the group goes on where the one before left off,
    // and later groups are placed on the clock as it runs after the jump.
    if (g > 0 && (base - expected > allowed || expected - base > bound.longest)) {
      if (coded) {
        codeBase -= base - expected;
      } else {
        clockShift += base - expected;
      }
      base = expected;
    }
    // Time runs forward: a group that would go back is where the last one
    // left off.
    if (g > 0 && base < bases_[g - 1] + 1) base = expected;
    bases_[g] = base;
    if (g > 0) bridged += std::max<int64_t>(base - expected, 0);
    bridged += std::max<int64_t>(static_cast<int64_t>(span) - (last - first), 0);
    placed += last - first;
    for (uint32_t k = first; k < last; ++k) {
      if (referenceSlots_[k] != kUnplaced) referenceSlots_[k] -= clockShift;
      // A picture's own stamp may disagree with its group: a stamp has more
      // bits to be damaged than a temporal reference, and the group's vote
      // stands. A reference beyond any the group can hold is damaged.
      if (pictures[k].temporalReference >= longest) continue;
      slots_[k] = base + pictures[k].temporalReference;
    }
    expected = base + std::max<uint32_t>(span, 1);
  }
}

int64_t PictureTimeline::slotsIn(uint64_t ticks) const {
  return ticksPerSlot_ > 0 ? std::llround(static_cast<double>(ticks) / ticksPerSlot_) : 0;
}

int64_t PictureTimeline::ticksAt(int64_t slot) const {
  return origin_ + static_cast<int64_t>(std::llround(static_cast<double>(slot) * ticksPerSlot_));
}

PresentationSpan PictureTimeline::span() const {
  PresentationSpan span;
  if (!checked_ || ticksPerSlot_ <= 0 || lastSlot_ < firstSlot_) return span;
  const int64_t start = ticksAt(firstSlot_);
  const int64_t end = ticksAt(lastSlot_ + 1);
  if (start < 0) return span;
  span.start = static_cast<uint64_t>(start);
  span.end = static_cast<uint64_t>(end);
  span.known = true;
  return span;
}

void PictureTimeline::padding(const PresentationSpan& recording, int64_t* lead, int64_t* trail) const {
  *lead = 0;
  *trail = 0;
  const PresentationSpan own = span();
  const double ticks = ticksPerSlot_;
  if (!recording.known || !own.known || ticks <= 0) return;
  const LossBound bound{slotsIn(kLongestLossTicks), slotsIn(kLossAllowanceTicks)};
  const int64_t placed = placedCount_;
  const int64_t free = freeSlots();
  *lead = std::clamp<int64_t>(std::llround((static_cast<double>(own.start) - static_cast<double>(recording.start)) / ticks),
                              0, bound.allowed(placed, free));
  *trail = std::clamp<int64_t>(std::llround((static_cast<double>(recording.end) - static_cast<double>(own.end)) / ticks),
                               0, bound.allowed(placed, free + *lead));
}
