#include "video/picture_chooser.h"

#include <algorithm>
#include <cassert>
#include <map>

#include "video/video_format.h"

namespace {

constexpr int64_t kUnplaced = PictureTimeline::kUnplaced;
// An I picture with holes goes out as an I picture, opening a group, once
// its group would otherwise reach this many slots: its pictures must stay
// within what temporal references number.
constexpr int64_t kLongestGroup = kTemporalReferenceModulus - 64;

}  // namespace

PictureChooser::PictureChooser(const PictureSurvey& survey, const PictureTimeline& timeline)
    : survey_(survey), timeline_(timeline) {}

int64_t PictureChooser::anchorSpacing() const {
  const std::vector<PictureSurvey::Picture>& pictures = survey_.pictures();
  std::map<int64_t, uint32_t> distances;
  bool bPictures = false;
  int64_t previous = kUnplaced;
  uint32_t previousGroup = UINT32_MAX;
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    if (pictures[k].codingType == kBidirectionallyCoded) bPictures = true;
    if (!pictures[k].anchor()) continue;
    const int64_t slot = timeline_.slot(k);
    if (slot != kUnplaced && previous != kUnplaced && pictures[k].group == previousGroup && pictures[k].intact &&
        slot > previous) {
      ++distances[slot - previous];
    }
    previous = slot;
    previousGroup = pictures[k].group;
  }
  int64_t spacing = bPictures ? 3 : 1;
  uint32_t votes = 0;
  for (const auto& [distance, count] : distances) {
    if (count > votes) {
      spacing = distance;
      votes = count;
    }
  }
  return spacing;
}

void PictureChooser::lostAnchors(uint32_t from, uint32_t to, int64_t spacing, std::vector<int64_t>* slots) const {
  if (from == kNone) return;
  const int64_t first = timeline_.slot(from);
  const int64_t last = timeline_.slot(to);
  if (last - first < 2) return;
  // Where the stamps say the reference of `to` showed, and anchors as far
  // apart as they usually are before it; never where a picture stands.
  int64_t nearest = timeline_.referenceSlot(to);
  if (nearest == kUnplaced || nearest <= first || nearest >= last) {
    if (last - first <= spacing) return;
    nearest = last - spacing;
  }
  std::vector<int64_t> found;
  for (int64_t slot = nearest; slot > first; slot -= spacing) {
    if (!std::binary_search(placedSlots_.begin(), placedSlots_.end(), slot)) found.push_back(slot);
  }
  slots->insert(slots->end(), found.rbegin(), found.rend());
}

void PictureChooser::choose(RepairReporter* reporter) {
  const std::vector<PictureSurvey::Picture>& pictures = survey_.pictures();
  const std::vector<PictureSurvey::Group>& groups = survey_.groups();
  forms_.assign(pictures.size(), Form::kLeftOut);
  lostAnchorSlots_.clear();
  placedSlots_.clear();
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    if (timeline_.slot(k) != kUnplaced) placedSlots_.push_back(timeline_.slot(k));
  }
  std::sort(placedSlots_.begin(), placedSlots_.end());
  usable_.assign(pictures.size(), false);
  const int64_t spacing = std::max<int64_t>(anchorSpacing(), 1);
  const auto slotOf = [this](int64_t k) { return timeline_.slot(static_cast<uint32_t>(k)); };
  uint32_t newest = kNone;  // the two newest anchors kept
  uint32_t older = kNone;
  int64_t groupSlot = 0;          // where the output group of the newest I picture as it is begins
  bool closedIntra = false;       // the newest anchor is an I picture that opens a closed group
  uint32_t keptCount = 0;
  std::vector<uint32_t> waiting;  // B pictures after the newest anchor
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    const PictureSurvey::Picture& p = pictures[k];
    const int64_t slot = slotOf(k);
    const bool fit = p.decodable && slot != kUnplaced;
    usable_[k] = fit;
    if (!fit) continue;
    Form form = Form::kLeftOut;
    if (p.anchor()) {
      if (newest != kNone && slot <= slotOf(newest)) continue;
      if (p.codingType == kIntraCoded) {
        const bool asP = !p.intact && newest != kNone && slot - groupSlot < kLongestGroup;
        form = asP ? Form::kIntraAsP : Form::kAsItIs;
        if (!asP) groupSlot = slot;
        const PictureSurvey::Group& group = groups[p.group];
        closedIntra = group.headerStart != group.headerEnd && group.header.closed;
      } else {
        // A P picture needs an anchor before it, within its group's reach.
        if (newest == kNone || slot - groupSlot >= kTemporalReferenceModulus - 1) continue;
        form = Form::kAsItIs;
        closedIntra = false;
      }
      const size_t lostBefore = lostAnchorSlots_.size();
      lostAnchors(newest, k, spacing, &lostAnchorSlots_);
      // B pictures shown after the newest anchor looked ahead to one that
      // was lost: they go out when a repeat stands in for it.
      for (const uint32_t b : waiting) {
        const int64_t bSlot = slotOf(b);
        if (std::any_of(lostAnchorSlots_.begin() + static_cast<std::ptrdiff_t>(lostBefore), lostAnchorSlots_.end(),
                        [bSlot](int64_t lost) { return lost > bSlot; })) {
          forms_[b] = Form::kAsItIs;
          ++keptCount;
        }
      }
      waiting.clear();
      older = newest;
      newest = k;
    } else {
      // A B picture between the two newest anchors; those before a closed
      // group's I picture look backward only, and need no anchor before.
      if (newest != kNone && slot > slotOf(newest)) waiting.push_back(k);
      if (newest == kNone || slot >= slotOf(newest)) continue;
      const bool afterOlder = older != kNone && slot > slotOf(older);
      if (!afterOlder && !(closedIntra && older == kNone)) continue;
      form = Form::kAsItIs;
    }
    forms_[k] = form;
    ++keptCount;
  }

  // Lost: a picture left out, or a slot between the first and the last that
  // no picture kept fills.
  const int64_t slots = timeline_.lastSlot() - timeline_.firstSlot() + 1;
  anyLost_ = keptCount != pictures.size() || (slots > 0 && static_cast<int64_t>(keptCount) != slots);
  if (reporter == nullptr) return;
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    if (forms_[k] != Form::kLeftOut) continue;
    reporter->dropped(usable_[k] ? RepairReporter::Drop::kReferenceLost : RepairReporter::Drop::kBrokenPicture,
                      pictures[k].start, pictures[k].end - pictures[k].start);
  }
}

bool PictureChooser::opensGroup(uint32_t k) const {
  return forms_[k] == Form::kAsItIs && survey_.pictures()[k].codingType == kIntraCoded;
}

bool PictureChooser::anyGroup() const {
  for (uint32_t k = 0; k < forms_.size(); ++k) {
    if (opensGroup(k)) return true;
  }
  return false;
}

void PictureChooser::outputGroups(std::vector<uint32_t>* firsts, std::vector<int64_t>* starts) const {
  const std::vector<PictureSurvey::Picture>& pictures = survey_.pictures();
  firsts->clear();
  starts->clear();
  int64_t lastAnchorSlot = kUnplaced;
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    if (opensGroup(k)) {
      const int64_t slot = timeline_.slot(k);
      const auto lost = std::lower_bound(lostAnchorSlots_.begin(), lostAnchorSlots_.end(), slot);
      if (lost != lostAnchorSlots_.begin()) lastAnchorSlot = std::max(lastAnchorSlot, *(lost - 1));
      int64_t start = timeline_.groupBase(pictures[k].group);
      if (lastAnchorSlot != kUnplaced) start = std::max(start, lastAnchorSlot + 1);
      firsts->push_back(k);
      starts->push_back(std::min(start, slot));
    }
    if (forms_[k] != Form::kLeftOut && pictures[k].anchor()) lastAnchorSlot = timeline_.slot(k);
  }
}

int64_t PictureChooser::firstShownSlot(uint32_t intra) const {
  assert(opensGroup(intra));
  const std::vector<PictureSurvey::Picture>& pictures = survey_.pictures();
  int64_t first = timeline_.slot(intra);
  for (uint32_t k = intra + 1; k < pictures.size(); ++k) {
    if (forms_[k] == Form::kLeftOut) continue;
    if (pictures[k].anchor()) break;
    first = std::min(first, timeline_.slot(k));
  }
  return first;
}

void PictureChooser::groupPictures(uint32_t first, int64_t start, int64_t end, std::map<int64_t, uint32_t>* shown,
                                   std::vector<std::pair<int64_t, uint32_t>>* anchors) const {
  assert(opensGroup(first));
  const std::vector<PictureSurvey::Picture>& pictures = survey_.pictures();
  shown->clear();
  anchors->clear();
  for (uint32_t k = first; k < pictures.size(); ++k) {
    if (k != first && opensGroup(k)) break;
    const int64_t slot = timeline_.slot(k);
    if (forms_[k] == Form::kLeftOut || slot < start || slot >= end) continue;
    (*shown)[slot] = k;
    if (pictures[k].anchor()) anchors->emplace_back(slot, k);
  }
  for (auto lost = std::upper_bound(lostAnchorSlots_.begin(), lostAnchorSlots_.end(), timeline_.slot(first));
       lost != lostAnchorSlots_.end() && *lost < end; ++lost) {
    if (shown->count(*lost) == 0) anchors->emplace_back(*lost, kLostAnchor);
  }
  std::sort(anchors->begin(), anchors->end());
}
