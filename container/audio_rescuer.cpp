#include "container/audio_rescuer.h"

#include <algorithm>
#include <cassert>
#include <numeric>

#include "container/audio_extractor.h"
#include "source/output_name.h"

namespace {

constexpr int kSyncFirstByte = 0xFF;  // the syncword's first eight ones

}  // namespace

AudioRescuer::AudioRescuer(ByteSource& audio, const TimeStampList& stamps, ProgressCallback progress,
                           RepairReporter* reporter)
    : audio_(audio), stamps_(stamps), progress_(progress), reporter_(reporter) {}

bool AudioRescuer::headerAt(uint32_t offset, AudioFrameHeader* header) {
  if (offset > audio_.size() || audio_.size() - offset < AudioFrameHeader::kSize) return false;
  if (offset != readAt_) {
    audio_.seek(offset);
    const uint32_t word = audio_.peekU32();
    const uint8_t bytes[AudioFrameHeader::kSize] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                                                    static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
    read_ = AudioFrameHeader();
    readWhole_ = read_.read(bytes);
    readAt_ = offset;
  }
  *header = read_;
  if (!readWhole_) return false;
  return !haveFormat_ || header->sameStreamAs(format_);
}

bool AudioRescuer::wholeFrameAt(uint32_t offset, AudioFrameHeader* header) {
  if (!headerAt(offset, header)) return false;
  const uint32_t length = header->frameLength();
  const uint32_t left = audio_.size() - offset;
  if (length > left) return false;
  if (length == left) return true;
  AudioFrameHeader next;
  return headerAt(offset + length, &next) && next.sameStreamAs(*header);
}

uint32_t AudioRescuer::nextWholeFrame(uint32_t offset) {
  const uint32_t size = audio_.size();
  for (uint32_t candidate = offset + 1; candidate < size; ++candidate) {
    audio_.seek(candidate);
    audio_.skipTo(kSyncFirstByte);
    candidate = audio_.position();
    AudioFrameHeader header;
    if (candidate < size && wholeFrameAt(candidate, &header)) return candidate;
  }
  return size;
}

void AudioRescuer::anchorStamps(uint32_t offset, bool whole, bool afterGap, const AudioFrameHeader& header) {
  // A stamp belongs to the first frame that begins in its payload. The frame
  // at `offset` is that frame unless a broken stretch, which may hide the
  // start of another, lies between the payload's start and it.
  for (; nextStamp_ < stamps_.count() && stamps_[nextStamp_].offset <= offset; ++nextStamp_) {
    const TimeStamp& stamp = stamps_[nextStamp_];
    const bool inPayload = uint64_t{stamp.offset} + stamp.length > offset;
    if (!whole || !inPayload || (afterGap && stamp.offset != offset)) continue;
    Anchor anchor;
    anchor.frame = wholeFrames_;
    anchor.offset = offset;
    anchor.pts = stamp.pts & (kTimeStampModulus - 1);
    anchor.header = header;
    anchors_.push_back(anchor);
  }
}

void AudioRescuer::analyze() {
  analyzed_ = true;
  readAt_ = UINT32_MAX;
  gaps_.clear();
  anchors_.clear();
  nextStamp_ = 0;
  haveFormat_ = false;
  wholeFrames_ = 0;
  silentLost_ = 0;
  spanKnown_ = false;
  start_ = 0;

  const uint32_t size = audio_.size();
  bool afterGap = false;
  for (uint32_t offset = 0; offset < size;) {
    AudioFrameHeader header;
    if (wholeFrameAt(offset, &header)) {
      if (!haveFormat_) format_ = header;
      haveFormat_ = true;
      anchorStamps(offset, true, afterGap, header);
      lastFrame_ = header;
      ++wholeFrames_;
      offset += header.frameLength();
      afterGap = false;
      continue;
    }
    Gap gap;
    gap.start = offset;
    gap.framesBefore = wholeFrames_;
    gap.cutFrame = headerAt(offset, &header);
    gap.header = lastFrame_;
    anchorStamps(offset, false, afterGap, header);
    offset = nextWholeFrame(offset);
    gap.length = offset - gap.start;
    gaps_.push_back(gap);
    afterGap = true;
  }
  if (!haveFormat_) return;
  for (Gap& gap : gaps_) {
    if (gap.framesBefore == 0) gap.header = format_;
  }

  trustAnchors();
  countLostFrames();
  for (const Anchor& anchor : anchors_) {
    if (!anchor.trusted) continue;
    // The first trusted stamp fixes the time of every frame written.
    uint64_t framesBefore = anchor.frame;
    for (const Gap& gap : gaps_) {
      if (gap.framesBefore > anchor.frame) break;
      framesBefore += gap.silent;
    }
    start_ = static_cast<int64_t>(anchor.pts) - static_cast<int64_t>(ticksOf(framesBefore));
    spanKnown_ = true;
    break;
  }
}

void AudioRescuer::trustAnchors() {
  if (anchors_.size() == 1) {
    anchors_[0].trusted = true;
    return;
  }
  // Two stamps agree when they are as far apart as the whole frames between
  // them, within half a frame. Lost frames move every later stamp on by as
  // much, so the stamps on each side of a loss still agree among themselves;
  // a damaged stamp agrees with none. Looking two stamps away on each side
  // lets the stamps around a damaged one still meet.
  const uint64_t frameTicksTimesRate = uint64_t{format_.samplesPerFrame()} * kTicksPerSecond;
  for (size_t k = 0; k < anchors_.size(); ++k) {
    for (size_t j = k + 1; j < anchors_.size() && j <= k + 2; ++j) {
      Anchor& before = anchors_[k];
      Anchor& after = anchors_[j];
      const int64_t drift = stampDifference(before.pts, after.pts) -
                            static_cast<int64_t>(ticksOf(after.frame) - ticksOf(before.frame));
      const uint64_t distance = static_cast<uint64_t>(drift < 0 ? -drift : drift);
      if (2 * distance * format_.sampleRate() <= frameTicksTimesRate) before.trusted = after.trusted = true;
    }
  }
}

uint32_t AudioRescuer::estimatedFrames(const Gap& gap) const {
  const uint64_t frameLength = gap.header.silent().frameLength();
  const uint64_t frames = (uint64_t{gap.length} + frameLength / 2) / frameLength;
  return frames == 0 && gap.cutFrame ? 1 : static_cast<uint32_t>(frames);
}

void AudioRescuer::countLostFrames() {
  std::vector<Gap> counted;
  counted.reserve(gaps_.size());
  // Gaps outside two trusted stamps are judged from their bytes.
  for (Gap& gap : gaps_) gap.silent = estimatedFrames(gap);
  size_t next = 0;
  const Anchor* previous = nullptr;
  uint64_t countedSilent = 0;  // the silent frames of counted[0, summed)
  size_t summed = 0;
  for (const Anchor& anchor : anchors_) {
    if (!anchor.trusted) continue;
    const size_t first = next;
    while (next < gaps_.size() && gaps_[next].framesBefore <= anchor.frame) ++next;
    if (previous != nullptr) {
      for (; summed < counted.size(); ++summed) countedSilent += counted[summed].silent;
      uint64_t bridged = countedSilent;
      for (size_t k = first; k < next; ++k) bridged += gaps_[k].silent;
      shareLostFrames(*previous, anchor, first, next, allowedLoss(anchor.frame, bridged), &counted);
    } else {
      for (size_t k = first; k < next; ++k) counted.push_back(gaps_[k]);
    }
    previous = &anchor;
  }
  for (; next < gaps_.size(); ++next) counted.push_back(gaps_[next]);
  gaps_.swap(counted);
  silentLost_ = 0;
  for (const Gap& gap : gaps_) silentLost_ += gap.silent;
}

uint64_t AudioRescuer::allowedLoss(uint64_t whole, uint64_t bridged) const {
  const LossBound bound{static_cast<int64_t>(framesIn(static_cast<int64_t>(kLongestLossTicks))),
                        static_cast<int64_t>(framesIn(static_cast<int64_t>(kLossAllowanceTicks)))};
  return static_cast<uint64_t>(bound.allowed(static_cast<int64_t>(whole), static_cast<int64_t>(bridged)));
}

void AudioRescuer::shareLostFrames(const Anchor& from, const Anchor& to, size_t first, size_t last, uint64_t allowed,
                                   std::vector<Gap>* counted) {
  const int64_t difference = stampDifference(from.pts, to.pts);
  const uint64_t frames = framesIn(difference);
  const uint64_t whole = to.frame - from.frame;
  const uint64_t lost = frames > whole ? frames - whole : 0;
  // Stamps that tell of more loss than is believed, or that run backward
  // further than a loss could be long, are on either side of a jump of the
  // clock: the bytes tell instead.
  const uint64_t estimated = [&] {
    uint64_t sum = 0;
    for (size_t k = first; k < last; ++k) sum += gaps_[k].silent;
    return sum;
  }();
  const bool jumped = lost > estimated + allowed || -difference > static_cast<int64_t>(kLongestLossTicks);
  if (jumped) {
    for (size_t k = first; k < last; ++k) counted->push_back(gaps_[k]);
    return;
  }
  if (first == last) {
    // Frames lost with their bytes, cut exactly at frame boundaries: they
    // go where the later stamp's frame begins.
    if (lost == 0) return;
    Gap gap;
    gap.start = to.offset;
    gap.framesBefore = to.frame;
    gap.silent = static_cast<uint32_t>(lost);
    gap.header = to.header;
    counted->push_back(gap);
    return;
  }
  // The stamps give the total; the gaps' bytes say where. More than the
  // bytes tell goes to the longest gap, where bytes went missing most likely;
  // fewer is taken from the shortest ones first, stray bytes most likely.
  if (lost >= estimated) {
    size_t longest = first;
    for (size_t k = first + 1; k < last; ++k) {
      if (gaps_[k].length > gaps_[longest].length) longest = k;
    }
    gaps_[longest].silent += static_cast<uint32_t>(lost - estimated);
  } else {
    std::vector<size_t> byLength(last - first);
    std::iota(byLength.begin(), byLength.end(), first);
    std::stable_sort(byLength.begin(), byLength.end(),
                     [this](size_t a, size_t b) { return gaps_[a].length < gaps_[b].length; });
    uint64_t excess = estimated - lost;
    for (size_t k : byLength) {
      const uint32_t taken = static_cast<uint32_t>(std::min<uint64_t>(gaps_[k].silent, excess));
      gaps_[k].silent -= taken;
      excess -= taken;
    }
  }
  for (size_t k = first; k < last; ++k) counted->push_back(gaps_[k]);
}

uint64_t AudioRescuer::ticksOf(uint64_t frames) const {
  const uint64_t rate = format_.sampleRate();
  return (frames * format_.samplesPerFrame() * kTicksPerSecond * 2 + rate) / (2 * rate);
}

uint64_t AudioRescuer::framesIn(int64_t ticks) const {
  if (ticks <= 0) return 0;
  const uint64_t frameTicksTimesRate = uint64_t{format_.samplesPerFrame()} * kTicksPerSecond;
  return (static_cast<uint64_t>(ticks) * format_.sampleRate() * 2 + frameTicksTimesRate) / (2 * frameTicksTimesRate);
}

PresentationSpan AudioRescuer::span() const {
  assert(analyzed_);
  PresentationSpan span;
  if (!spanKnown_) return span;
  const int64_t end = start_ + static_cast<int64_t>(ticksOf(wholeFrames_ + silentLost_));
  span.start = start_ < 0 ? 0 : static_cast<uint64_t>(start_);
  span.end = end < 0 ? 0 : static_cast<uint64_t>(end);
  span.known = true;
  return span;
}

void AudioRescuer::advance(OutputFile& output, uint32_t end, bool copy) {
  const uint32_t size = audio_.size();
  while (position_ < end && !output.failed()) {
    if (position_ == nextMark_) {
      progress_('P', position_, size);
      nextMark_ += kProgressStep(size);
    }
    const uint32_t stop = nextMark_ < end ? static_cast<uint32_t>(nextMark_) : end;
    if (copy) {
      audio_.seek(position_);
      audio_.readRuns(stop - position_,
                      [&output](const uint8_t* bytes, uint32_t length) { output.write(bytes, length); });
    }
    position_ = stop;
  }
}

void AudioRescuer::writeSilence(OutputFile& output, const AudioFrameHeader& frame, uint64_t count, uint64_t index) {
  const AudioFrameHeader header = frame.silent();
  std::vector<uint8_t> silence(header.frameLength());
  header.write(silence.data());
  for (uint64_t k = 0; k < count && !output.failed(); ++k) {
    output.write(silence.data(), silence.size());
    ++silentWritten_;
    if (reporter_ != nullptr) reporter_->repaired(RepairReporter::Repair::kSilentAudioFrame, ticksOf(index + k));
  }
}

void AudioRescuer::padding(const PresentationSpan& recording, uint64_t* lead, uint64_t* trail) const {
  *lead = 0;
  *trail = 0;
  if (!recording.known || !spanKnown_) return;
  const int64_t end = start_ + static_cast<int64_t>(ticksOf(wholeFrames_ + silentLost_));
  // Padding is loss bridged like any other: each end no longer than a loss
  // can be, both within what is left of the allowance.
  const uint64_t longest = framesIn(static_cast<int64_t>(kLongestLossTicks));
  const uint64_t allowed = allowedLoss(wholeFrames_, silentLost_);
  *lead = std::min({framesIn(start_ - static_cast<int64_t>(recording.start)), longest, allowed});
  *trail = std::min({framesIn(static_cast<int64_t>(recording.end) - end), longest, allowed - *lead});
}

bool AudioRescuer::clean(const PresentationSpan& recording) const {
  assert(analyzed_);
  if (audio_.size() == 0) return true;
  uint64_t lead = 0;
  uint64_t trail = 0;
  padding(recording, &lead, &trail);
  // The end may fall short of the recording's by what clean muxing leaves.
  return haveFormat_ && gaps_.empty() && lead == 0 && ticksOf(trail) <= kEndToleranceTicks;
}

uint64_t AudioRescuer::framesOut(const PresentationSpan& recording) const {
  if (audio_.size() == 0 || !haveFormat_) return 0;
  uint64_t lead = 0;
  uint64_t trail = 0;
  padding(recording, &lead, &trail);
  return wholeFrames_ + silentLost_ + lead + trail;
}

bool AudioRescuer::write(const std::string& baseName, const PresentationSpan& recording, bool recordingClean) {
  assert(analyzed_);
  writeFailed_ = false;
  silentWritten_ = 0;
  const uint32_t size = audio_.size();
  if (size == 0) return false;
  if (!haveFormat_) {
    if (reporter_ != nullptr) reporter_->dropped(RepairReporter::Drop::kBrokenAudioFrame, 0, size);
    return false;
  }
  if (!spanKnown_ && reporter_ != nullptr) reporter_->timelineUnchecked();

  uint64_t lead = 0;
  uint64_t trail = 0;
  padding(recording, &lead, &trail);
  // Players take a stream for MPEG audio by the frame after the first:
  // one frame alone they do not open.
  if (framesOut(recording) < kLeastFramesWritten) return false;
  if (recordingClean || (gaps_.empty() && lead == 0 && trail == 0)) {
    AudioExtractor extractor(audio_, progress_);
    extractor.extract(baseName);
    writeFailed_ = extractor.writeFailed();
    return true;
  }

  OutputFile output;
  if (!output.open(audioFileName(baseName))) {
    writeFailed_ = true;
    return true;
  }
  progress_('S', 0, 0);
  writeFrames(output, lead, trail);
  if (!output.close()) {
    writeFailed_ = true;
    return true;
  }
  progress_('E', 0, 0);
  return true;
}

bool AudioRescuer::writeInto(OutputFile& output, const PresentationSpan& recording) {
  assert(analyzed_);
  silentWritten_ = 0;
  if (audio_.size() == 0) return false;
  if (!haveFormat_) {
    if (reporter_ != nullptr) reporter_->dropped(RepairReporter::Drop::kBrokenAudioFrame, 0, audio_.size());
    return false;
  }
  if (!spanKnown_ && reporter_ != nullptr) reporter_->timelineUnchecked();
  uint64_t lead = 0;
  uint64_t trail = 0;
  padding(recording, &lead, &trail);
  writeFrames(output, lead, trail);
  return true;
}

void AudioRescuer::writeFrames(OutputFile& output, uint64_t lead, uint64_t trail) {
  const uint32_t size = audio_.size();
  position_ = 0;
  nextMark_ = 0;
  writeSilence(output, format_, lead, 0);
  uint64_t silentBefore = 0;
  for (const Gap& gap : gaps_) {
    advance(output, gap.start, true);
    if (output.failed()) break;
    if (gap.length != 0 && reporter_ != nullptr) {
      reporter_->dropped(RepairReporter::Drop::kBrokenAudioFrame, gap.start, gap.length);
    }
    writeSilence(output, gap.header, gap.silent, lead + gap.framesBefore + silentBefore);
    silentBefore += gap.silent;
    advance(output, gap.start + gap.length, false);
  }
  advance(output, size, true);
  writeSilence(output, lastFrame_, trail, lead + wholeFrames_ + silentLost_);
}
