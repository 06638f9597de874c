#include "video/video_rescuer.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <map>

#include "source/output_name.h"
#include "source/platform.h"
#include "video/macroblock_codes.h"
#include "video/video_format.h"

namespace {

// A broken slice keeps its macroblocks up to this many before the one it
// broke in.
constexpr uint32_t kFaultMargin = 1;
// A picture that keeps no more than this share of its macroblocks goes out
// as a repeat instead.
constexpr double kLeastKeptShare = 0.0;
// Pictures walked ahead of the one being written: at most this many, from
// no further on than this. Damage comes in bursts, a walk across a loss
// takes as long as writing a few hundred intact pictures, and the walks
// must be made before the writing reaches them: on the damaged hour-long
// image the writing waited 0.17 s for walks queued at most 8 and 64
// pictures ahead, 0.09 s at 8 and 512, 0.01 s at 16 and 2048.
constexpr size_t kWalksAhead = 16;
constexpr uint32_t kWalkAheadReach = 2048;

// The temporal reference of the picture shown at `slot` in the group whose
// first picture is shown at `groupStart`.
uint32_t temporalReferenceAt(int64_t slot, int64_t groupStart) {
  const auto modulus = static_cast<int64_t>(kTemporalReferenceModulus);
  return static_cast<uint32_t>(((slot - groupStart) % modulus + modulus) % modulus);
}

}  // namespace

VideoRescuer::VideoRescuer(ByteSource& video, const TimeStampList& stamps, ProgressCallback checking,
                           ProgressCallback writing, RepairReporter* reporter, const RangeList* suspect,
                           const RangeList* damaged)
    : video_(video),
      stamps_(stamps),
      checking_(checking),
      writing_(writing),
      reporter_(reporter),
      suspect_(suspect),
      damaged_(damaged),
      fixer_(video, writing),
      anchors_([this](uint32_t k, int distance, MotionField* motion) {
        const PictureSurvey::Picture& p = survey_->pictures()[k];
        PictureRecoder::Picture picture = recoderPicture(k);
        picture.anchors.distance = distance;
        motionWalker_->motionOf(video_, p.headerEnd, p.end, picture, motion);
      }) {}

void VideoRescuer::analyze() {
  fixer_.probe();
  // The size as the header written states it (an estimate may not fit its
  // fields), and an aspect ratio decoders take.
  format_ = fixer_.format();
  format_.width &= (1u << kWidthBits) - 1;
  format_.height &= (1u << kHeightBits) - 1;
  if (!isAspectRatioCode(format_.aspectRatioCode)) format_.aspectRatioCode = kSquarePixelsAspectRatioCode;
  survey_ = std::make_unique<PictureSurvey>(video_, format_, checking_, reporter_, suspect_);
  survey_->survey();
  timeline_ = std::make_unique<PictureTimeline>(*survey_, stamps_, fixer_.format().frameRateCode);
  chooser_ = std::make_unique<PictureChooser>(*survey_, *timeline_);
  timeline_->place();
  if (!timeline_->checked() && !survey_->pictures().empty() && reporter_ != nullptr) reporter_->timelineUnchecked();
  damagedPairs_.clear();
  if (damaged_ != nullptr) damagedPairs_.assign(damaged_->pairs(), damaged_->pairs() + 2 * size_t{damaged_->count()});
  chooser_->choose(survey_->mpeg2() ? nullptr : reporter_);
}

bool VideoRescuer::clean(const PresentationSpan& recording) const {
  int64_t lead = 0;
  int64_t trail = 0;
  timeline_->padding(recording, &lead, &trail);
  // The end may fall short of the recording's by what clean muxing leaves.
  const double trailTicks = static_cast<double>(trail) * timeline_->ticksPerSlot();
  return survey_->clean() && !chooser_->anyLost() && lead == 0 && trailTicks <= static_cast<double>(kEndToleranceTicks);
}

uint32_t VideoRescuer::framesUsed() const { return wroteRescue_ ? realWritten_ : fixer_.framesUsed(); }

uint64_t VideoRescuer::actualBitrate() const {
  if (!wroteRescue_) return fixer_.actualBitrate();
  if (ownWriter_ == nullptr) return 0;
  const uint32_t written = ownWriter_->picturesWritten();
  if (written == 0) return 0;
  return static_cast<uint64_t>(static_cast<long double>(ownWriter_->outputSize()) * 8 / written *
                               fixer_.format().frameRate);
}

uint64_t VideoRescuer::timeOf(int64_t slot) const {
  const int64_t ticks = std::llround(static_cast<double>(slot - recordingFirst_) * timeline_->ticksPerSlot());
  return ticks > 0 ? static_cast<uint64_t>(ticks) + recordingStart_ : recordingStart_;
}

void VideoRescuer::write(const std::string& baseName, const PresentationSpan& recording, bool recordingClean) {
  writeFailed_ = false;
  wroteRescue_ = false;
  leftOut_ = false;
  picturesRepeated_ = 0;
  picturesConcealed_ = 0;
  macroblocksConcealed_ = 0;
  realWritten_ = 0;

  if (!recordingClean && !rescuable() && !survey_->mpeg2()) {
    // Damaged, in pictures of no size a decoder can show (none, or more
    // rows than slice start codes reach): nothing that would decode.
    leftOut_ = true;
    return;
  }
  if (recordingClean || !rescuable()) {
    // A clean recording, or MPEG-2 video: the plain rewrite. A stream of
    // which it writes no picture is no output.
    if (survey_->picturesSeen() == 0) {
      leftOut_ = true;
      return;
    }
    fixer_.rewrite(baseName);
    writeFailed_ = fixer_.writeFailed();
    if (!writeFailed_ && fixer_.framesUsed() == 0) {
      platform::removeFile(videoFileName(baseName).c_str());
      leftOut_ = true;
    }
    return;
  }

  if (!hasPictures()) {
    // Not one picture can go out: no stream at all, rather than one that
    // no decoder opens.
    leftOut_ = true;
    return;
  }
  // A writer's thread beside the walks ahead on a machine of two contends
  // with them and with this one: the damaged hour-long image took 0.98 s
  // with it, 0.72 s without.
  const OutputFile::Writing writing =
      WalkAhead::takesTheLastProcessor() ? OutputFile::Writing::kOnThisThread : OutputFile::Writing::kWhereWorthwhile;
  ownWriter_ = std::make_unique<VideoStreamWriter>(format_, VideoStreamWriter::Fill::kWithinBuffer, writing);
  if (!ownWriter_->open(videoFileName(baseName))) {
    writeFailed_ = true;
    return;
  }
  writing_('S', 0, 0);
  writeInto(*ownWriter_, recording);
  if (!ownWriter_->finish()) {
    writeFailed_ = true;
    return;
  }
  writing_('E', 0, 0);
}

void VideoRescuer::writeInto(VideoStreamWriter& writer, const PresentationSpan& recording) {
  assert(rescuable());
  writer_ = &writer;
  wroteRescue_ = true;
  if (recoder_ == nullptr) {
    const uint32_t height = survey_->macroblocks() / survey_->widthInMacroblocks();
    recoder_ = std::make_unique<PictureRecoder>(survey_->widthInMacroblocks(), height, kFaultMargin);
    motionWalker_ = std::make_unique<PictureRecoder>(survey_->widthInMacroblocks(), height, kFaultMargin);
    elements_ = std::make_unique<RescueElementWriter>(video_, format_, survey_->widthInMacroblocks(), height);
  }
  elements_->begin(&writer);
  // Walks ahead start with the stream's first picture.
  ahead_.reset();
  if (WalkAhead::worthwhile()) {
    ahead_ = std::make_unique<WalkAhead>(survey_->widthInMacroblocks(),
                                         survey_->macroblocks() / survey_->widthInMacroblocks(), kFaultMargin,
                                         kWalksAhead);
  }
  nextAhead_ = 0;
  anchors_.clear();
  lastIntra_ = intraBeforeLast_ = intraDcOf_ = kNone;
  // The rests of anchors whose heads were lost: the pictures they lie in
  // keep none of them.
  headless_ = HeadlessPictureFinder(*survey_, *timeline_, damagedPairs_).find(video_, forms(), chooser_->lostAnchorSlots());
  HeadlessPictureFinder::claim(headless_, &damagedPairs_);
  std::vector<uint32_t> firsts;
  std::vector<int64_t> starts;
  chooser_->outputGroups(&firsts, &starts);
  if (firsts.empty()) return;

  // Repeats before the first picture and after the last pad the video to
  // the recording's span.
  int64_t lead = 0;
  int64_t trail = 0;
  timeline_->padding(recording, &lead, &trail);
  recordingStart_ = 0;
  if (recording.known) {
    const int64_t firstTicks = timeline_->ticksAt(timeline_->firstSlot() - lead);
    if (firstTicks > static_cast<int64_t>(recording.start)) {
      recordingStart_ = static_cast<uint64_t>(firstTicks) - recording.start;
    }
  }
  recordingFirst_ = timeline_->firstSlot() - lead;
  recordingEnd_ = timeline_->lastSlot() + 1 + trail;
  useBackward_ = true;
  starts[0] = recordingFirst_;  // the first group covers the recording's start
  // Repeats before the first picture shown go out as groups of the first I
  // picture and repeats of it: pictures shown ahead of a stream's first I
  // picture that look back at nothing upset decoders' time keeping.
  bool firstGroup = true;
  const int64_t firstShown = chooser_->firstShownSlot(firsts[0]);
  if (firstShown > recordingFirst_) {
    writeIntraRepeats(firsts[0], recordingFirst_, firstShown, false);
    starts[0] = firstShown;
    firstGroup = false;
  }
  for (size_t i = 0; i < firsts.size() && !writer_->output().failed(); ++i) {
    const int64_t end = i + 1 < firsts.size() ? starts[i + 1] : recordingEnd_;
    writeGroup(firsts[i], starts[i], end, firstGroup && i == 0);
  }
  ahead_.reset();  // its thread and recoders are done with
}

void VideoRescuer::writeGroup(uint32_t first, int64_t start, int64_t end, bool firstGroup) {
  const PictureSurvey::Group& group = survey_->groups()[survey_->pictures()[first].group];
  const bool opensInputGroup = group.firstPicture == first;
  std::map<int64_t, uint32_t> shown;
  std::vector<std::pair<int64_t, uint32_t>> anchors;
  chooser_->groupPictures(first, start, end, &shown, &anchors);
  const bool backward = useBackward_;  // no anchor before: leading pictures look ahead

  // A sequence header of the input goes out as it stands; the first group
  // without one gets the writer's inserted headers.
  const bool copiedSequence = opensInputGroup && group.sequenceStart != group.sequenceEnd;
  if (copiedSequence) elements_->sequenceHeader(group);
  bool closed = true;  // the writer's inserted group header is closed
  if (!firstGroup || copiedSequence) {
    const bool hasHeader = opensInputGroup && group.headerStart != group.headerEnd;
    // Leading pictures that look back at the group before make it open;
    // with no anchor before, the leading pictures look only at the group's
    // own I picture, and the group is closed: decoders skip the leading
    // pictures of an open group that starts the stream.
    const bool leading = start < anchors.front().first;
    closed = backward || (!leading && (!hasHeader || group.header.closed));
    elements_->groupHeader(hasHeader ? &group : nullptr, closed, copiedSequence);
  }

  // Coding order: each anchor, then the B pictures shown before it. Those
  // before the first anchor look only backward when nothing comes before the
  // group or the group is closed.
  int64_t previous = start - 1;
  for (const auto& [slot, k] : anchors) {
    if (k == PictureChooser::kLostAnchor) {
      if (!writeHeadless(slot, start)) writeRepeat('P', false, slot, start, true);
    } else {
      writePicture(k, slot, start, false);
    }
    const bool lookBackward = previous < start && (backward || closed);
    for (int64_t s = previous + 1; s < slot; ++s) {
      const auto found = shown.find(s);
      if (found != shown.end()) {
        writePicture(found->second, s, start, lookBackward);
      } else {
        writeRepeat('B', lookBackward, s, start, true);
      }
    }
    previous = slot;
  }
  // After the last anchor, repeats of it, up to where temporal references
  // run out; from there, groups that repeat the I picture.
  const int64_t repeatsEnd = std::min(end, start + kTemporalReferenceModulus);
  for (int64_t slot = previous + 1; slot < repeatsEnd; ++slot) writeRepeat('P', false, slot, start);
  writeIntraRepeats(first, std::max(previous + 1, repeatsEnd), end, true);
  useBackward_ = false;
}

void VideoRescuer::writeIntraRepeats(uint32_t intra, int64_t start, int64_t end, bool groupHeaders) {
  const auto modulus = static_cast<int64_t>(kTemporalReferenceModulus);
  const PictureSurvey::Group& group = survey_->groups()[survey_->pictures()[intra].group];
  if (!groupHeaders && group.sequenceStart != group.sequenceEnd) {
    // The stream starts here: with the I picture's own sequence header,
    // whose quantiser matrices it may need.
    elements_->sequenceHeader(group);
    groupHeaders = true;
  }
  for (int64_t groupStart = start; groupStart < end; groupStart += modulus) {
    if (groupHeaders) elements_->groupHeader(nullptr, true, false);
    groupHeaders = true;
    writePicture(intra, groupStart, groupStart, false, true);
    ++picturesRepeated_;
    if (reporter_ != nullptr) reporter_->repaired(RepairReporter::Repair::kPictureRepeated, timeOf(groupStart));
    const int64_t groupEnd = std::min(end, groupStart + modulus);
    for (int64_t slot = groupStart + 1; slot < groupEnd; ++slot) writeRepeat('P', false, slot, groupStart);
  }
}

PictureRecoder::Picture VideoRescuer::recoderPicture(uint32_t k) const {
  const PictureSurvey::Picture& p = survey_->pictures()[k];
  PictureRecoder::Picture picture;
  picture.codingType = p.codingType;
  picture.forwardFCode = p.forwardFCode;
  picture.backwardFCode = p.backwardFCode;
  picture.fullPel[0] = p.fullPelForward;
  picture.fullPel[1] = p.fullPelBackward;
  picture.writeAs = forms()[k] == Form::kIntraAsP ? kPredictiveCoded : p.codingType;
  picture.damaged = damagedPairs_.empty() ? nullptr : &damagedPairs_;
  return picture;
}

void VideoRescuer::slicesOf(uint32_t k, std::vector<PictureRecoder::Slice>* slices) const {
  const PictureSurvey::Picture& p = survey_->pictures()[k];
  slices->clear();
  for (uint32_t s = p.firstSlice; s < p.firstSlice + p.sliceCount; ++s) {
    const PictureSurvey::Slice& slice = survey_->slices()[s];
    slices->push_back({slice.start, slice.end});
  }
}

bool VideoRescuer::walkedWhenWritten(const PictureSurvey::Picture& p) {
  return !p.whole || (p.codingType == kIntraCoded && p.walked);
}

void VideoRescuer::walkAhead(uint32_t k, bool walks) {
  if (ahead_ == nullptr) return;
  const std::vector<PictureSurvey::Picture>& pictures = survey_->pictures();
  nextAhead_ = std::max(nextAhead_, k + 1);
  while (!ahead_->full() && nextAhead_ < pictures.size() && nextAhead_ - k <= kWalkAheadReach) {
    const uint32_t j = nextAhead_++;
    const PictureSurvey::Picture& p = pictures[j];
    if (forms()[j] == Form::kLeftOut || !walkedWhenWritten(p)) continue;
    if (p.whole) {
      PictureRecoder::slicesBetween(video_, p.headerEnd, p.end, &aheadSlices_);
    } else {
      slicesOf(j, &aheadSlices_);
    }
    ahead_->queue(j, video_, aheadSlices_, recoderPicture(j));
  }
  if (walks) ahead_->take(k, *recoder_);
}

void VideoRescuer::writePicture(uint32_t k, int64_t slot, int64_t groupStart, bool backward, bool repeat) {
  const PictureSurvey::Picture& p = survey_->pictures()[k];
  writing_('P', p.start, video_.size());
  const uint32_t reference = temporalReferenceAt(slot, groupStart);
  walkAhead(k, walkedWhenWritten(p));
  // An I picture that parses may still hold a DC value flipped unseen,
  // unless its sectors' error codes vouch for it (the survey then took it
  // as written).
  const bool levelled = p.whole && walkedWhenWritten(p) &&
                        recoder_->levelsDc(video_, p.headerEnd, p.end, recoderPicture(k), &sliceList_,
                                           [this, k]() { return intraBeforeDc(k); });
  if (p.whole && !levelled) {
    elements_->inputPicture(p, reference);
    if (!repeat) ++realWritten_;
    if (p.anchor()) anchors_.push(slot, k, p.codingType == kIntraCoded);
    if (p.codingType == kIntraCoded) intraWritten(k);
    return;
  }
  // The macroblocks that parse, and the holes concealed from what is known
  // around them.
  PictureRecoder::Picture picture = recoderPicture(k);
  const bool anchor = p.anchor();
  if (anchor) {
    anchors_.forward(slot, false, &picture.anchors);
  } else if (!backward) {
    anchors_.between(slot, false, &picture.anchors);
  }
  picture.anchors.forwardUsable = !backward;
  if (!levelled) slicesOf(k, &sliceList_);
  slices_.clear();
  PictureRecoder::Result result;
  recoder_->recode(video_, sliceList_, picture, &slices_, &result, [this, k]() { return intraBeforeDc(k); });
  if (p.codingType == kIntraCoded) intraWritten(k);
  if (!repeat && anchors_.written() > 0 && result.kept <= kLeastKeptShare * survey_->macroblocks()) {
    // Too little of it survived to help: a repeat stands in its place. With
    // nothing before it to repeat, it goes out concealed from itself.
    writeRepeat(picture.writeAs == kBidirectionallyCoded ? 'B' : 'P', backward, slot, groupStart, true);
    return;
  }
  elements_->recodedPicture(p, reference, picture.writeAs, result.forwardFCode, slices_);
  if (!repeat) ++realWritten_;
  if (anchor) {
    anchors_.push(slot, k, p.codingType == kIntraCoded);
    anchors_.setMotion(std::move(result.motion));
  }
  // Macroblocks levelled count as concealed: what they show is a guess.
  const uint32_t concealed = result.concealed + result.levelled;
  if (!repeat && concealed > 0) reportConcealed(slot, concealed);
}

void VideoRescuer::intraWritten(uint32_t k) {
  if (k == lastIntra_) return;
  intraBeforeLast_ = lastIntra_;
  lastIntra_ = k;
}

const PictureRecoder::DcField* VideoRescuer::intraBeforeDc(uint32_t k) {
  const uint32_t before = k == lastIntra_ ? intraBeforeLast_ : lastIntra_;
  if (before == kNone) return nullptr;
  if (intraDcOf_ != before) {
    const PictureSurvey::Picture& p = survey_->pictures()[before];
    if (p.whole) {
      PictureRecoder::slicesBetween(video_, p.headerEnd, p.end, &dcSlices_);
    } else {
      slicesOf(before, &dcSlices_);
    }
    // A whole picture that was not checked for flipped DC bits went out as
    // it stands, damaged ranges and all.
    const bool asItStands = p.whole && !walkedWhenWritten(p);
    PictureRecoder::Picture picture = recoderPicture(before);
    if (p.whole) picture.damaged = nullptr;
    motionWalker_->dcOf(video_, dcSlices_, picture, asItStands, &intraDc_);
    intraDcOf_ = before;
  }
  return &intraDc_;
}

bool VideoRescuer::writeMovedRepeat(char letter, int64_t slot, int64_t groupStart) {
  PictureRecoder::Picture picture;
  picture.codingType = picture.writeAs = letter == 'B' ? kBidirectionallyCoded : kPredictiveCoded;
  picture.forwardFCode = kMaxFCode;
  picture.backwardFCode = letter == 'B' ? kMaxFCode : 0;
  const MotionField* along = letter == 'P' ? anchors_.forward(slot, true, &picture.anchors)
                                           : anchors_.between(slot, true, &picture.anchors);
  if (along == nullptr) return false;
  sliceList_.clear();
  slices_.clear();
  PictureRecoder::Result result;
  recoder_->recode(video_, sliceList_, picture, &slices_, &result);
  if (result.repeated) return false;
  writeRecoded(letter, slot, groupStart, picture.backwardFCode, &result);
  return true;
}

void VideoRescuer::writeRecoded(char letter, int64_t slot, int64_t groupStart, uint32_t backwardFCode,
                                PictureRecoder::Result* result) {
  elements_->ownPicture(letter == 'B' ? kBidirectionallyCoded : kPredictiveCoded, temporalReferenceAt(slot, groupStart),
                        result->forwardFCode, backwardFCode, slices_);
  if (letter != 'P') return;
  anchors_.push(slot, AnchorHistory::kNoPicture, false);
  anchors_.setMotion(std::move(result->motion));
}

bool VideoRescuer::writeHeadless(int64_t slot, int64_t groupStart) {
  const auto found = headless_.find(slot);
  if (found == headless_.end()) return false;
  PictureRecoder::Picture picture;
  anchors_.forward(slot, false, &picture.anchors);
  slices_.clear();
  PictureRecoder::Result result;
  const HeadlessPictureFinder finder(*survey_, *timeline_, damagedPairs_);
  if (!finder.recode(video_, found->second, picture.anchors, *recoder_, &slices_, &result)) return false;
  writeRecoded('P', slot, groupStart, 0, &result);
  reportConcealed(slot, result.concealed);
  return true;
}

void VideoRescuer::reportConcealed(int64_t slot, uint32_t macroblocks) {
  ++picturesConcealed_;
  macroblocksConcealed_ += macroblocks;
  if (reporter_ == nullptr) return;
  const uint64_t time = timeOf(slot);
  reporter_->repaired(RepairReporter::Repair::kPictureConcealed, time);
  for (uint32_t m = 0; m < macroblocks; ++m) reporter_->repaired(RepairReporter::Repair::kMacroblockConcealed, time);
}

void VideoRescuer::writeRepeat(char letter, bool backward, int64_t slot, int64_t groupStart, bool alongMotion) {
  ++picturesRepeated_;
  if (reporter_ != nullptr) reporter_->repaired(RepairReporter::Repair::kPictureRepeated, timeOf(slot));
  if (alongMotion && !backward && writeMovedRepeat(letter, slot, groupStart)) return;
  elements_->repeat(letter == 'B' ? kBidirectionallyCoded : kPredictiveCoded, temporalReferenceAt(slot, groupStart),
                    backward);
  if (letter == 'P') anchors_.push(slot, AnchorHistory::kNoPicture, false);
}
