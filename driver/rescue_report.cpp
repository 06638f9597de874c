#include "driver/rescue_report.h"

#include <cinttypes>
#include <cstdio>

#include "source/time_stamp_list.h"

namespace {

// Repairs closer than this make one place.
constexpr uint64_t kPlaceGapTicks = kTicksPerSecond;

constexpr const char* kLabels[] = {"Pictures repeated:       ", "Audio frames of silence: ",
                                   "Pictures concealed:      ", "Macroblocks concealed:   "};

}  // namespace

void RescueReport::dropped(Drop, uint32_t, uint32_t) { ++drops_; }

bool RescueReport::empty() const {
  if (drops_ > 0 || correctedSectors_ > 0) return false;
  for (const Places& kind : places_) {
    if (kind.total > 0) return false;
  }
  return true;
}

void RescueReport::corrected(uint32_t, uint32_t bits) {
  correctedBits_ += bits;
  ++correctedSectors_;
}

void RescueReport::repaired(Repair kind, uint64_t time) {
  Places& kind_places = places_[index(kind)];
  ++kind_places.total;
  std::vector<Place>& places = kind_places.places;
  // Repairs come in stream order, give or take the pictures shown before
  // an anchor that is written first: a place grows at either end.
  if (!places.empty()) {
    Place& place = places.back();
    if (time + kPlaceGapTicks >= place.first && time <= place.last + kPlaceGapTicks) {
      if (time < place.first) place.first = time;
      if (time > place.last) place.last = time;
      ++place.count;
      return;
    }
  }
  places.push_back({time, time, 1});
}

std::string RescueReport::timeText(uint64_t ticks) {
  const uint64_t hundredths = ticks / (kTicksPerSecond / 100);
  char text[32];
  std::snprintf(text, sizeof text, "%02" PRIu64 ":%02" PRIu64 ".%02" PRIu64, hundredths / 6000, hundredths / 100 % 60,
                hundredths % 100);
  return text;
}

std::vector<std::string> RescueReport::lines() const {
  std::vector<std::string> lines;
  lines.push_back("Rescue:");
  bool any = correctedSectors_ > 0;
  if (any) {
    lines.push_back("Sector bits corrected:   " + std::to_string(correctedBits_) + " in " +
                    std::to_string(correctedSectors_) + (correctedSectors_ == 1 ? " sector" : " sectors"));
  }
  static_assert(sizeof kLabels / sizeof kLabels[0] == kKinds, "one label per kind of repair");
  for (size_t k = 0; k < kKinds; ++k) {
    const Places& kind = places_[k];
    if (kind.total == 0) continue;
    any = true;
    std::string line = kLabels[k] + std::to_string(kind.total) + " at ";
    const size_t shown = kind.places.size() < kPlacesShown ? kind.places.size() : kPlacesShown;
    for (size_t i = 0; i < shown; ++i) {
      const Place& place = kind.places[i];
      if (i > 0) line += ", ";
      line += timeText(place.first);
      if (place.count > 1) line += " (" + std::to_string(place.count) + ")";
    }
    if (kind.places.size() > shown) line += " and " + std::to_string(kind.places.size() - shown) + " more places";
    lines.push_back(line);
  }
  if (!any) lines.push_back(drops_ == 0 ? "Nothing needed repair." : "Damaged data was left out; nothing needed to be put in its place.");
  if (videoLeftOut_) lines.push_back("Video left out: not one picture could be decoded.");
  if (videoNotRescued_) lines.push_back("Video not rescued: the rescue handles MPEG-1 video only.");
  if (audioLeftOut_) {
    lines.push_back(audioFrameAlone_ ? "Audio left out: one whole frame alone, which players do not open."
                                     : "Audio left out: not one whole frame was found.");
  }
  if (timelineUnchecked_) {
    lines.push_back("Timeline not checked: no time stamps or time codes tell how much was lost.");
  }
  return lines;
}
