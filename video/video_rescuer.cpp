#include "video/video_rescuer.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <map>

#include "source/output_name.h"
#include "source/platform.h"
#include "source/start_code.h"
#include "video/group_header.h"
#include "video/picture_header.h"
#include "video/repeat_slice_writer.h"
#include "video/slice_walker.h"
#include "video/video_format.h"

namespace {

// Temporal references count modulo 1024.
constexpr int64_t kTemporalReferenceModulus = 1024;
// A repeat picture does not ask the decoder to wait: VBV delay all ones.
constexpr uint32_t kVariableVbvDelay = 0xFFFF;
// Repeat pictures need no motion: the smallest range.
constexpr uint32_t kRepeatFCode = 1;

constexpr int64_t kUnplaced = PictureTimeline::kUnplaced;

// The temporal reference of the picture shown at `slot` in the group whose
// first picture is shown at `groupStart`.
uint32_t temporalReferenceAt(int64_t slot, int64_t groupStart) {
  const auto modulus = static_cast<int64_t>(kTemporalReferenceModulus);
  return static_cast<uint32_t>(((slot - groupStart) % modulus + modulus) % modulus);
}

}  // namespace

VideoRescuer::VideoRescuer(ByteSource& video, const TimeStampList& stamps, ProgressCallback checking,
                           ProgressCallback writing, RepairReporter* reporter, const RangeList* suspect)
    : video_(video),
      stamps_(stamps),
      checking_(checking),
      writing_(writing),
      reporter_(reporter),
      suspect_(suspect),
      fixer_(video, writing) {}

void VideoRescuer::analyze() {
  fixer_.probe();
  survey_ = std::make_unique<PictureSurvey>(video_, fixer_.format(), checking_, reporter_, suspect_);
  survey_->survey();
  timeline_ = std::make_unique<PictureTimeline>(*survey_, stamps_, fixer_.format().frameRateCode);
  timeline_->place();
  if (!timeline_->checked() && !survey_->pictures().empty() && reporter_ != nullptr) reporter_->timelineUnchecked();
  choosePictures();
}

bool VideoRescuer::clean(const PresentationSpan& recording) const {
  int64_t lead = 0;
  int64_t trail = 0;
  padding(recording, &lead, &trail);
  // The end may fall short of the recording's by what clean muxing leaves.
  const double trailTicks = static_cast<double>(trail) * timeline_->ticksPerSlot();
  return survey_->clean() && !anyLost_ && lead == 0 && trailTicks <= static_cast<double>(kEndToleranceTicks);
}

void VideoRescuer::padding(const PresentationSpan& recording, int64_t* lead, int64_t* trail) const {
  *lead = 0;
  *trail = 0;
  const PresentationSpan own = timeline_->span();
  const double ticks = timeline_->ticksPerSlot();
  if (!recording.known || !own.known || ticks <= 0) return;
  // Padding is loss bridged like any other: each end no longer than a loss
  // can be, both within what is left of the allowance.
  const int64_t longest = timeline_->slotsIn(kLongestLossTicks);
  const int64_t allowed = std::max<int64_t>(
      timeline_->slotsIn(kLossAllowanceTicks) + timeline_->placedCount() - timeline_->freeSlots(), 0);
  *lead = std::clamp<int64_t>(std::llround((static_cast<double>(own.start) - static_cast<double>(recording.start)) / ticks),
                              0, std::min(longest, allowed));
  *trail = std::clamp<int64_t>(std::llround((static_cast<double>(recording.end) - static_cast<double>(own.end)) / ticks),
                               0, std::min(longest, allowed - *lead));
}

int64_t VideoRescuer::anchorSpacing() const {
  const std::vector<PictureSurvey::Picture>& pictures = survey_->pictures();
  std::map<int64_t, uint32_t> distances;
  bool bPictures = false;
  int64_t previous = kUnplaced;
  uint32_t previousGroup = UINT32_MAX;
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    if (pictures[k].codingType == kBidirectionallyCoded) bPictures = true;
    if (!pictures[k].anchor()) continue;
    const int64_t slot = timeline_->slot(k);
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

void VideoRescuer::choosePictures() {
  // An I picture with a broken or missing slice is left out, with what is
  // predicted from it, and its time filled with repeats of what was shown
  // before. Only when that leaves no I picture at all are such I pictures
  // kept, their holes mid-grey.
  std::vector<bool> usable;
  choosePictures(false, &usable);
  if (std::find(kept_.begin(), kept_.end(), true) == kept_.end()) choosePictures(true, &usable);
  if (reporter_ == nullptr || survey_->mpeg2()) return;
  const std::vector<PictureSurvey::Picture>& pictures = survey_->pictures();
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    if (kept_[k]) continue;
    reporter_->dropped(usable[k] ? RepairReporter::Drop::kReferenceLost : RepairReporter::Drop::kBrokenPicture,
                       pictures[k].start, pictures[k].end - pictures[k].start);
  }
}

void VideoRescuer::choosePictures(bool damagedIntraPictures, std::vector<bool>* usable) {
  const std::vector<PictureSurvey::Picture>& pictures = survey_->pictures();
  const std::vector<PictureSurvey::Group>& groups = survey_->groups();
  kept_.assign(pictures.size(), false);
  usable->assign(pictures.size(), false);
  const int64_t spacing = anchorSpacing();
  const auto slotOf = [this](int64_t k) { return timeline_->slot(static_cast<uint32_t>(k)); };
  // Whether anchor k is predicted from anchor `from`, the one kept last: its
  // decoding time names a slot between them when an anchor was lost there.
  // A decoding time that names no slot between them is damaged, and says
  // nothing; nor does one that is missing. Then k may lie no further from
  // `from` than anchors usually do.
  const auto predictedFrom = [&](uint32_t k, int64_t from) {
    const int64_t reference = timeline_->referenceSlot(k);
    if (reference == slotOf(from)) return true;
    if (reference != kUnplaced && reference > slotOf(from) && reference < slotOf(k)) return false;
    return slotOf(k) - slotOf(from) <= spacing;
  };

  int64_t newest = -1;     // the two newest anchors kept
  int64_t older = -1;
  bool chain = false;      // the newest anchor and all it is predicted from were kept
  bool leadingOk = false;  // the B pictures before the newest I have their forward anchor
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    const PictureSurvey::Picture& p = pictures[k];
    const int64_t slot = slotOf(k);
    const bool fit =
        p.decodable && slot != kUnplaced && (p.intact || p.codingType != kIntraCoded || damagedIntraPictures);
    bool keep = false;
    if (p.codingType == kIntraCoded) {
      keep = fit && (newest < 0 || slot > slotOf(newest));
      if (keep) {
        leadingOk = chain && newest >= 0 && predictedFrom(k, newest);
        older = newest;
        newest = k;
        chain = true;
      } else {
        chain = false;
      }
    } else if (p.codingType == kPredictiveCoded) {
      keep = fit && chain && newest >= 0 && slot > slotOf(newest) && predictedFrom(k, newest);
      if (keep) {
        older = newest;
        newest = k;
      } else {
        chain = false;
      }
    } else if (fit && chain && newest >= 0 && slot < slotOf(newest)) {
      const PictureSurvey::Picture& anchor = pictures[static_cast<uint32_t>(newest)];
      const PictureSurvey::Group& group = groups[anchor.group];
      const bool closed = group.headerStart != group.headerEnd && group.header.closed;
      if (anchor.codingType == kIntraCoded && closed) {
        keep = true;  // leading B pictures of a closed group look backward only
      } else {
        keep = older >= 0 && slot > slotOf(older) && (anchor.codingType != kIntraCoded || leadingOk);
      }
    }
    kept_[k] = keep;
    (*usable)[k] = fit;
  }

  // Lost: a picture left out, or a slot between the first and the last that
  // no picture kept fills.
  uint32_t keptCount = 0;
  for (bool keep : kept_) keptCount += keep ? 1 : 0;
  const int64_t slots = timeline_->lastSlot() - timeline_->firstSlot() + 1;
  anyLost_ = keptCount != pictures.size() || (slots > 0 && static_cast<int64_t>(keptCount) != slots);
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
  slicesReplaced_ = 0;
  realWritten_ = 0;

  if (recordingClean || !rescuable()) {
    // A clean recording, or a stream that gives no size to check slices or
    // make repeats in, or one whose slices are not MPEG-1's: the plain
    // rewrite. A stream of which it writes no picture is no output.
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
  ownWriter_ = std::make_unique<VideoStreamWriter>(fixer_.format(), VideoStreamWriter::Fill::kWithinBuffer);
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

bool VideoRescuer::hasPictures() const {
  const std::vector<PictureSurvey::Picture>& pictures = survey_->pictures();
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    if (kept_[k] && pictures[k].codingType == kIntraCoded) return true;
  }
  return false;
}

void VideoRescuer::writeInto(VideoStreamWriter& writer, const PresentationSpan& recording) {
  assert(rescuable());
  writer_ = &writer;
  wroteRescue_ = true;
  // The pictures that open the output's groups: every I picture kept.
  const std::vector<PictureSurvey::Picture>& pictures = survey_->pictures();
  std::vector<uint32_t> firsts;
  for (uint32_t k = 0; k < pictures.size(); ++k) {
    if (kept_[k] && pictures[k].codingType == kIntraCoded) firsts.push_back(k);
  }
  if (firsts.empty()) return;

  // Repeats before the first picture and after the last pad the video to
  // the recording's span.
  int64_t lead = 0;
  int64_t trail = 0;
  padding(recording, &lead, &trail);
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
  // Where each group begins: at the first slot of its I picture's group, but
  // after the last anchor kept before it; the first at the recording's start.
  std::vector<int64_t> starts(firsts.size());
  int64_t lastAnchorSlot = kUnplaced;
  size_t next = 0;
  for (uint32_t k = 0; k < pictures.size() && next < firsts.size(); ++k) {
    if (k == firsts[next]) {
      const int64_t slot = timeline_->slot(k);
      int64_t start = timeline_->groupBase(pictures[k].group);
      if (lastAnchorSlot != kUnplaced) start = std::max(start, lastAnchorSlot + 1);
      starts[next] = next == 0 ? recordingFirst_ : std::min(start, slot);
      ++next;
    }
    if (kept_[k] && pictures[k].anchor()) lastAnchorSlot = timeline_->slot(k);
  }
  // Repeats before the first picture shown go out as groups of the first I
  // picture and repeats of it: pictures shown ahead of a stream's first I
  // picture that look back at nothing upset decoders' time keeping.
  bool firstGroup = true;
  const int64_t firstShown = firstShownSlot(firsts[0]);
  if (firstShown > recordingFirst_) {
    writeIntraRepeats(firsts[0], recordingFirst_, firstShown, false);
    starts[0] = firstShown;
    firstGroup = false;
  }
  for (size_t i = 0; i < firsts.size() && !writer_->output().failed(); ++i) {
    const int64_t end = i + 1 < firsts.size() ? starts[i + 1] : recordingEnd_;
    writeGroup(firsts[i], starts[i], end, firstGroup && i == 0);
  }
}

int64_t VideoRescuer::firstShownSlot(uint32_t intra) const {
  // The I picture, or the leading B pictures of its closed group kept with it.
  const std::vector<PictureSurvey::Picture>& pictures = survey_->pictures();
  int64_t first = timeline_->slot(intra);
  for (uint32_t k = intra + 1; k < pictures.size(); ++k) {
    if (!kept_[k]) continue;
    if (pictures[k].codingType == kIntraCoded) break;
    first = std::min(first, timeline_->slot(k));
  }
  return first;
}

void VideoRescuer::writeGroup(uint32_t first, int64_t start, int64_t end, bool firstGroup) {
  const std::vector<PictureSurvey::Picture>& pictures = survey_->pictures();
  const PictureSurvey::Picture& intra = pictures[first];
  const PictureSurvey::Group& group = survey_->groups()[intra.group];
  const bool opensGroup = group.firstPicture == first;

  // The kept pictures of the group, by slot: from its I picture up to the
  // next I picture kept.
  std::map<int64_t, uint32_t> shown;
  std::vector<int64_t> anchors;
  for (uint32_t k = first; k < pictures.size(); ++k) {
    if (k != first && kept_[k] && pictures[k].codingType == kIntraCoded) break;
    const int64_t slot = timeline_->slot(k);
    if (!kept_[k] || slot < start || slot >= end) continue;
    shown[slot] = k;
    if (pictures[k].anchor()) anchors.push_back(slot);
  }
  const bool backward = useBackward_;  // no anchor before: leading repeats look ahead

  // A sequence header of the input goes out as it stands; the first group
  // without one gets the writer's inserted headers.
  OutputFile& output = writer_->output();
  bool copiedSequence = false;
  bool closed = true;  // the writer's inserted group header is closed
  if (opensGroup && group.sequenceStart != group.sequenceEnd) {
    writer_->beforeSequenceHeader();
    copy(group.sequenceStart, group.sequenceEnd);
    writer_->afterSequenceHeader();
    copiedSequence = true;
  }
  if (!(firstGroup && !copiedSequence)) {
    const bool hasHeader = opensGroup && group.headerStart != group.headerEnd;
    GroupHeader header = hasHeader ? group.header : GroupHeader();
    // Leading pictures that look back at the group before make it open;
    // with no anchor before, the leading repeats look only at the group's
    // own I picture, and the group is closed: decoders skip the leading
    // pictures of an open group that starts the stream.
    const bool leading = start < anchors.front();
    closed = backward || (!leading && (!hasHeader || header.closed));
    if (!copiedSequence) writer_->beforeGroupHeader();
    if (hasHeader && closed == header.closed) {
      copy(group.headerStart, group.headerEnd);
    } else {
      header.closed = closed;
      header.write(output);
    }
    writer_->afterGroupHeader();
  }

  // Coding order: each anchor, then the B pictures shown before it. Those
  // before the first anchor look only backward when nothing comes before the
  // group or the group is closed.
  int64_t previous = start - 1;
  for (int64_t anchor : anchors) {
    writePicture(shown[anchor], anchor, start, false);
    const bool lookBackward = previous < start && (backward || closed);
    for (int64_t slot = previous + 1; slot < anchor; ++slot) {
      const auto found = shown.find(slot);
      if (found != shown.end()) {
        writePicture(found->second, slot, start, lookBackward);
      } else {
        writeRepeat('B', lookBackward, slot, start);
      }
    }
    previous = anchor;
  }
  // After the last anchor, repeats of it, up to where temporal references
  // run out; from there, groups that repeat the I picture.
  const int64_t repeatsEnd = std::min(end, start + static_cast<int64_t>(kTemporalReferenceModulus));
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
    writer_->beforeSequenceHeader();
    copy(group.sequenceStart, group.sequenceEnd);
    writer_->afterSequenceHeader();
    groupHeaders = true;
  }
  for (int64_t groupStart = start; groupStart < end; groupStart += modulus) {
    if (groupHeaders) {
      writer_->beforeGroupHeader();
      GroupHeader header;
      header.closed = true;
      header.write(writer_->output());
      writer_->afterGroupHeader();
    }
    groupHeaders = true;
    writePicture(intra, groupStart, groupStart, false, true);
    ++picturesRepeated_;
    if (reporter_ != nullptr) reporter_->repaired(RepairReporter::Repair::kPictureRepeated, timeOf(groupStart));
    const int64_t groupEnd = std::min(end, groupStart + modulus);
    for (int64_t slot = groupStart + 1; slot < groupEnd; ++slot) writeRepeat('P', false, slot, groupStart);
  }
}

void VideoRescuer::writePicture(uint32_t k, int64_t slot, int64_t groupStart, bool backward, bool repeat) {
  const PictureSurvey::Picture& p = survey_->pictures()[k];
  writing_('P', p.start, video_.size());
  writer_->beforePicture(p.letter());
  OutputFile& output = writer_->output();
  // The header, renumbered where the group's pictures now stand.
  buffer_.clear();
  video_.seek(p.start);
  video_.readRuns(p.headerEnd - p.start, [this](const uint8_t* bytes, uint32_t n) { buffer_.insert(buffer_.end(), bytes, bytes + n); });
  const uint32_t reference = temporalReferenceAt(slot, groupStart);
  if (reference != p.temporalReference) PictureHeader::setTemporalReference(buffer_.data() + kStartCodeSize, reference);
  output.write(buffer_.data(), buffer_.size());
  if (!repeat) ++realWritten_;
  if (p.whole) {
    copy(p.headerEnd, p.end);
    return;
  }
  // The slices that parse; macroblocks none covers repeat the reference.
  // A slice that runs on over rows must end with a row unless it ends the
  // picture: decoders that share a picture's rows among threads start a
  // thread at a row where a slice starts, and lose count when a slice from
  // the rows before runs into it. Such a slice is cut after its last whole
  // row, or left out when it completes none.
  const uint32_t macroblocks = survey_->macroblocks();
  const uint32_t width = survey_->widthInMacroblocks();
  const int64_t replacedAt = repeat ? kUnplaced : slot;  // a repeat's slices replace nothing
  uint32_t nextMacroblock = 0;
  for (uint32_t s = p.firstSlice; s < p.firstSlice + p.sliceCount; ++s) {
    const PictureSurvey::Slice& slice = survey_->slices()[s];
    uint32_t last = slice.lastMacroblock;
    uint32_t cutBits = 0;  // 0: copied whole
    const bool runsOver = slice.firstMacroblock / width != last / width;
    if (runsOver && last % width != width - 1 && last + 1 != macroblocks) {
      if (slice.rowEndMacroblock == SliceWalk::kNoRowEnd || slice.rowEndMacroblock < slice.firstMacroblock) continue;
      last = slice.rowEndMacroblock;
      cutBits = slice.rowEndBits;
    }
    if (slice.firstMacroblock > nextMacroblock) {
      writeRepeatSlices(p.codingType, backward, nextMacroblock, slice.firstMacroblock - 1, replacedAt);
    }
    if (cutBits == 0) {
      copy(slice.start, slice.end);
    } else {
      copyCut(slice.start, cutBits);
    }
    nextMacroblock = last + 1;
  }
  if (nextMacroblock < macroblocks) writeRepeatSlices(p.codingType, backward, nextMacroblock, macroblocks - 1, replacedAt);
}

void VideoRescuer::copyCut(uint32_t sliceStart, uint32_t bits) {
  // The start code and the whole bytes of the cut; the bits of the last
  // byte past the cut become zeros, the slice's end.
  const uint32_t bytes = kStartCodeSize + (bits + 7) / 8;
  buffer_.clear();
  video_.seek(sliceStart);
  video_.readRuns(bytes, [this](const uint8_t* data, uint32_t n) { buffer_.insert(buffer_.end(), data, data + n); });
  if (bits % 8 != 0) buffer_.back() = static_cast<uint8_t>(buffer_.back() & (0xFF00 >> (bits % 8)));
  writer_->output().write(buffer_.data(), buffer_.size());
}

void VideoRescuer::writeRepeat(char letter, bool backward, int64_t slot, int64_t groupStart) {
  writer_->beforePicture(letter);
  PictureHeader header;
  header.temporalReference = temporalReferenceAt(slot, groupStart);
  header.codingType = letter == 'B' ? kBidirectionallyCoded : kPredictiveCoded;
  header.vbvDelay = kVariableVbvDelay;
  header.forwardFCode = kRepeatFCode;
  header.backwardFCode = letter == 'B' ? kRepeatFCode : 0;
  header.write(writer_->output());
  // A repeat picture replaces no slice of the input: its slices are its own.
  writeRepeatSlices(header.codingType, backward, 0, survey_->macroblocks() - 1, kUnplaced);
  ++picturesRepeated_;
  if (reporter_ != nullptr) reporter_->repaired(RepairReporter::Repair::kPictureRepeated, timeOf(slot));
}

void VideoRescuer::writeRepeatSlices(uint32_t codingType, bool backward, uint32_t first, uint32_t last, int64_t slot) {
  const uint32_t width = survey_->widthInMacroblocks();
  SliceContext context;
  context.codingType = codingType;
  context.forwardFCode = kRepeatFCode;
  context.backwardFCode = kRepeatFCode;
  context.widthInMacroblocks = width;
  context.heightInMacroblocks = survey_->macroblocks() / width;
  const RepeatSliceWriter slices(
      context, backward ? RepeatSliceWriter::Prediction::kBackward : RepeatSliceWriter::Prediction::kForward);
  for (uint32_t from = first; from <= last;) {
    const uint32_t to = std::min(last, (from / width + 1) * width - 1);
    buffer_.clear();
    slices.append(from, to, &buffer_);
    writer_->output().write(buffer_.data(), buffer_.size());
    if (slot != kUnplaced) {
      ++slicesReplaced_;
      if (reporter_ != nullptr) reporter_->repaired(RepairReporter::Repair::kSliceReplaced, timeOf(slot));
    }
    from = to + 1;
  }
}

void VideoRescuer::copy(uint32_t from, uint32_t to) {
  if (to <= from) return;
  OutputFile& output = writer_->output();
  video_.seek(from);
  video_.readRuns(to - from, [&output](const uint8_t* bytes, uint32_t n) { output.write(bytes, n); });
}
