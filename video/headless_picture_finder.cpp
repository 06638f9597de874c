#include "video/headless_picture_finder.h"

#include <algorithm>
#include <iterator>

#include "source/range_list.h"
#include "source/start_code.h"
#include "video/macroblock_codes.h"
#include "video/video_format.h"

namespace {

// A rest shorter than this holds too few macroblocks to be worth a
// picture of its own.
constexpr uint32_t kLeastRest = 512;  // bytes
// A rest that keeps less than this share of the picture's macroblocks
// goes out as a repeat after all.
constexpr double kLeastShare = 0.25;

}  // namespace

std::map<int64_t, HeadlessPictureFinder::Rest> HeadlessPictureFinder::find(
    ByteSource& video, const std::vector<PictureChooser::Form>& forms, const std::vector<int64_t>& lost) const {
  std::vector<std::pair<int64_t, uint32_t>> kept;  // slot, picture
  for (uint32_t k = 0; k < survey_.pictures().size(); ++k) {
    if (survey_.pictures()[k].anchor() && forms[k] != PictureChooser::Form::kLeftOut) kept.emplace_back(timeline_.slot(k), k);
  }
  std::sort(kept.begin(), kept.end());
  std::map<int64_t, Rest> rests;
  for (size_t i = 0; i < lost.size(); ++i) {
    const int64_t slot = lost[i];
    const auto next = std::upper_bound(kept.begin(), kept.end(), std::make_pair(slot, UINT32_MAX));
    if (next == kept.begin()) continue;
    const int64_t before = std::prev(next)->first;
    const int64_t after = next != kept.end() ? next->first : INT64_MAX;
    if ((i > 0 && lost[i - 1] > before) || (i + 1 < lost.size() && lost[i + 1] < after)) continue;
    Rest rest;
    if (restAfter(video, std::prev(next)->second, &rest)) rests.emplace(slot, std::move(rest));
  }
  return rests;
}

bool HeadlessPictureFinder::restAfter(ByteSource& video, uint32_t after, Rest* rest) const {
  const std::vector<PictureSurvey::Picture>& pictures = survey_.pictures();
  // The first picture after the anchor that is shown after it; the lost
  // one lay just before it.
  uint32_t shown = after + 1;
  while (shown < pictures.size() && (timeline_.slot(shown) == PictureTimeline::kUnplaced ||
                                     timeline_.slot(shown) <= timeline_.slot(after))) {
    ++shown;
  }
  const PictureSurvey::Picture& p = pictures[shown - 1];
  if (p.whole || p.sliceCount == 0) return false;
  // The last damaged range that ends inside one of its slices, with none
  // after it: the picture ends in data that is whole.
  const uint32_t end = survey_.slices()[p.firstSlice + p.sliceCount - 1].end;
  const size_t ends =
      static_cast<size_t>(std::upper_bound(damaged_.begin(), damaged_.end(), end - 1) - damaged_.begin());
  if (ends % 2 != 0 || ends == 0) return false;
  const uint32_t from = damaged_[ends - 1];
  rest->slices.clear();
  for (uint32_t s = p.firstSlice; s < p.firstSlice + p.sliceCount; ++s) {
    const PictureSurvey::Slice& slice = survey_.slices()[s];
    if (rest->slices.empty() && !(slice.start + kStartCodeSize < from && from < slice.end)) continue;
    rest->slices.push_back({slice.start, slice.end});
  }
  if (rest->slices.empty() || end - from < kLeastRest) return false;
  rest->from = from;
  // The P pictures around it: the one after it first, which lies nearer.
  uint32_t next = shown;
  while (next < pictures.size() && !pictures[next].anchor()) ++next;
  rest->quantiser = 0;
  rest->fCodes.clear();
  for (uint32_t k : {next, after}) {
    if (k >= pictures.size() || pictures[k].codingType != kPredictiveCoded) continue;
    if (rest->fCodes.empty() || rest->fCodes[0] != pictures[k].forwardFCode) rest->fCodes.push_back(pictures[k].forwardFCode);
    // The quantiser its first slice starts with, right after its header.
    const uint32_t at = pictures[k].headerEnd + kStartCodeSize;
    if (rest->quantiser == 0 && at < video.size()) rest->quantiser = video.byteAt(at) >> (8 - kQuantiserScaleBits);
  }
  for (uint32_t f = kMinFCode; f <= kMaxFCode; ++f) {
    if (std::find(rest->fCodes.begin(), rest->fCodes.end(), f) == rest->fCodes.end()) rest->fCodes.push_back(f);
  }
  return rest->quantiser != 0;
}

void HeadlessPictureFinder::claim(const std::map<int64_t, Rest>& rests, std::vector<uint32_t>* damaged) {
  if (rests.empty()) return;
  std::vector<std::pair<uint32_t, uint32_t>> found;
  for (const auto& [slot, rest] : rests) found.emplace_back(rest.from, rest.slices.back().end);
  std::sort(found.begin(), found.end());
  RangeList known, claimed, both;
  for (size_t k = 0; k + 1 < damaged->size(); k += 2) known.append((*damaged)[k], (*damaged)[k + 1]);
  for (const auto& [start, end] : found) claimed.appendJoined(start, end);
  RangeList::unionOf(known, claimed, &both);
  damaged->assign(both.pairs(), both.pairs() + 2 * size_t{both.count()});
}

bool HeadlessPictureFinder::recode(ByteSource& video, const Rest& rest, const ConcealmentPlanner::Anchors& anchors,
                                   PictureRecoder& recoder, std::vector<uint8_t>* out,
                                   PictureRecoder::Result* result) const {
  // Nothing before the rest is kept: it is another picture's.
  const std::vector<uint32_t> head = {rest.slices.front().start + kStartCodeSize, rest.from};
  PictureRecoder::Picture picture;
  picture.codingType = picture.writeAs = kPredictiveCoded;
  picture.damaged = &head;
  picture.headless = true;
  picture.headlessQuantiser = rest.quantiser;
  picture.anchors = anchors;
  std::vector<uint8_t> tried;
  for (uint32_t f : rest.fCodes) {
    picture.forwardFCode = f;
    tried.clear();
    recoder.recode(video, rest.slices, picture, &tried, result);
    if (result->repeated || result->kept < kLeastShare * survey_.macroblocks()) continue;
    out->insert(out->end(), tried.begin(), tried.end());
    return true;
  }
  return false;
}
