#include "driver/joined_recordings.h"

#include <algorithm>
#include <cassert>

namespace {

// Appends to `out` what view offsets [from, to) of a view over `ranges`
// stand for, as ranges of the view's source.
void cutRanges(const RangeList& ranges, uint32_t from, uint32_t to, RangeList* out) {
  uint32_t offset = 0;
  for (uint32_t k = 0; k < ranges.count() && offset < to; ++k) {
    const uint32_t start = ranges.pairs()[2 * k];
    const uint32_t length = ranges.pairs()[2 * k + 1] - start;
    const uint32_t low = std::max(offset, from);
    const uint32_t high = std::min(offset + length, to);
    if (low < high) out->appendJoined(start + (low - offset), start + (high - offset));
    offset += length;
  }
}

// The stamps whose offsets lie in [from, to), counted from `from`.
void cutStamps(const TimeStampList& stamps, uint32_t from, uint32_t to, TimeStampList* out) {
  for (size_t k = 0; k < stamps.count(); ++k) {
    TimeStamp stamp = stamps[k];
    if (stamp.offset < from || stamp.offset >= to) continue;
    stamp.offset -= from;
    out->append(stamp);
  }
}

// Where view offset `offset` of `ranges` lies in their source.
uint32_t sourceOffset(const RangeList& ranges, uint32_t offset) {
  for (uint32_t k = 0; k < ranges.count(); ++k) {
    const uint32_t start = ranges.pairs()[2 * k];
    const uint32_t length = ranges.pairs()[2 * k + 1] - start;
    if (offset < length) return start + offset;
    offset -= length;
  }
  return UINT32_MAX;
}

}  // namespace

JoinedRecordings::JoinedRecordings(const RangeList& video, const RangeList& audio, const TimeStampList& videoStamps,
                                   const TimeStampList& audioStamps, const RangeList* videoSuspect,
                                   const std::vector<uint32_t>& starts) {
  assert(std::is_sorted(starts.begin(), starts.end()));
  assert(starts.empty() || (starts.front() > 0 && starts.back() < video.total()));
  std::vector<uint32_t> videoBounds = {0};
  videoBounds.insert(videoBounds.end(), starts.begin(), starts.end());
  videoBounds.push_back(video.total());
  // The audio of each recording: the packets that begin before its next
  // recording's first video byte.
  std::vector<uint32_t> audioBounds = {0};
  uint32_t range = 0;
  uint32_t audioOffset = 0;
  for (size_t j = 1; j + 1 < videoBounds.size(); ++j) {
    const uint32_t limit = sourceOffset(video, videoBounds[j]);
    for (; range < audio.count() && audio.pairs()[2 * range] < limit; ++range) {
      audioOffset += audio.pairs()[2 * range + 1] - audio.pairs()[2 * range];
    }
    audioBounds.push_back(audioOffset);
  }
  audioBounds.push_back(static_cast<uint32_t>(audio.total()));

  for (size_t j = 0; j + 1 < videoBounds.size(); ++j) {
    auto part = std::make_unique<Part>();
    cutRanges(video, videoBounds[j], videoBounds[j + 1], &part->video);
    cutRanges(audio, audioBounds[j], audioBounds[j + 1], &part->audio);
    cutStamps(videoStamps, videoBounds[j], videoBounds[j + 1], &part->videoStamps);
    cutStamps(audioStamps, audioBounds[j], audioBounds[j + 1], &part->audioStamps);
    part->suspectKnown = videoSuspect != nullptr;
    if (videoSuspect != nullptr) {
      // The suspect ranges are view offsets of the video: cut as a view of
      // offsets 0.. of one range, counted from the part's start.
      for (uint32_t k = 0; k < videoSuspect->count(); ++k) {
        const uint32_t low = std::max(videoSuspect->pairs()[2 * k], videoBounds[j]);
        const uint32_t high = std::min(videoSuspect->pairs()[2 * k + 1], videoBounds[j + 1]);
        if (low < high) part->videoSuspect.appendJoined(low - videoBounds[j], high - videoBounds[j]);
      }
    }
    parts_.push_back(std::move(part));
  }
}
