#include "video/picture_survey.h"

#include "source/bit_reader.h"
#include "source/start_code.h"
#include "video/macroblock_codes.h"
#include "video/picture_header.h"
#include "video/sequence_header.h"
#include "video/slice_walker.h"
#include "video/video_format.h"

namespace {

uint32_t macroblocksFor(uint32_t pixels, bool known) { return known ? (pixels + kMacroblockSize - 1) / kMacroblockSize : 0; }

// Whether `format` describes pictures whose slices can be walked, and
// replaced: a size, with every row of macroblocks reachable by a slice
// start code. An estimated size counts: the header written declares it, so
// decoders read the slices against it.
bool walkable(const ProbedFormat& format) {
  return format.width > 0 && format.height > 0 &&
         macroblocksFor(format.height, true) <= kLastSliceCode - kFirstSliceCode + 1;
}

}  // namespace

PictureSurvey::PictureSurvey(ByteSource& video, const ProbedFormat& format, ProgressCallback progress,
                             RepairReporter* reporter, const RangeList* suspect, unsigned workers)
    : video_(video),
      format_(format),
      progress_(progress),
      reporter_(reporter),
      widthInMacroblocks_(macroblocksFor(format.width, walkable(format))),
      heightInMacroblocks_(macroblocksFor(format.height, walkable(format))),
      workers_(workers),
      suspect_(suspect) {}

void PictureSurvey::anomaly(RepairReporter::Drop reason, uint32_t from, uint32_t to) {
  clean_ = false;
  // What an MPEG-2 stream holds is no damage: it is written as it stands.
  if (reporter_ != nullptr && !mpeg2_) reporter_->dropped(reason, from, to - from);
}

void PictureSurvey::survey() {
  pictures_.clear();
  groups_.clear();
  slices_.clear();
  current_ = kNone;
  leadStart_ = kNone;
  sequenceStart_ = kNone;
  picturesSeen_ = 0;
  clean_ = true;
  mpeg2_ = false;
  firstSequenceEnd_ = kNone;
  sequenceMarks_.clear();
  found_.clear();
  suspectIndex_ = 0;
  walksQueued_ = 0;
  walks_ = std::make_unique<SliceWalkQueue>(workers_);
  checker_.reset();
  video_.seek(0);
  progress_('S', 0, 0);
  codeAfterSliceKnown_ = false;
  for (;;) {
    const uint32_t code =
        codeAfterSliceKnown_ && video_.position() == codeAfterSliceAt_ ? codeAfterSlice_ : nextStartCode(video_);
    codeAfterSliceKnown_ = false;
    if (code == NoStartCode) break;
    const uint32_t start = video_.position();
    progress_('P', start, video_.size());
    if (code == kPictureStartCode) {
      surveyPicture(start);
    } else if (isSliceCode(code)) {
      surveySlice(code, start);
    } else if (code == kSequenceHeaderCode) {
      surveySequenceHeader(start);
    } else if (code == kGroupStartCode) {
      surveyGroupHeader(start);
    } else if (code == kExtensionStartCode && start == firstSequenceEnd_) {
      mpeg2_ = true;
      clean_ = false;
      video_.seek(start + 1);
    } else if (code == kUserDataCode) {
      video_.skip(kStartCodeSize);  // left out, as the plain rewrite leaves it
    } else if (code == kEndCode ||
               (code == kSequenceEndCode && (video_.skip(kStartCodeSize), zerosToNextStartCode(video_)))) {
      // The end of the stream. Multiplexers fill the packet that carries
      // the system stream's end code with whatever they like after it.
      if (code == kEndCode) video_.skip(kStartCodeSize);
      closePicture();
      checker_.clear();
      sequenceStart_ = kNone;
    } else {
      // A code that has no place here. The plain rewrite rejects it and
      // searches its bytes for start codes; so does the survey.
      anomaly(RepairReporter::Drop::kStartCodeRejected, start, start + kStartCodeSize);
      checker_.clear();
      video_.seek(start + 1);
    }
  }
  closePicture();
  walks_->finish();
  resolveSlices();
  found_.clear();
  found_.shrink_to_fit();
  walks_.reset();
  progress_('E', 0, 0);
}

void PictureSurvey::startGroup() {
  Group group;
  if (sequenceStart_ != kNone) {
    group.sequenceStart = sequenceStart_;
    group.sequenceEnd = sequenceEnd_;
  }
  sequenceStart_ = kNone;
  group.firstPicture = static_cast<uint32_t>(pictures_.size());
  groups_.push_back(group);
}

template <typename Header>
bool PictureSurvey::readHeader(uint32_t start, Header* header) {
  closePicture();
  video_.skip(kStartCodeSize);
  BitReader reader(video_);
  const bool read = header->read(reader);
  reader.alignToByte();
  if (read && !reader.overrun() && zerosToNextStartCode(video_)) {
    if (leadStart_ == kNone) leadStart_ = start;
    return true;
  }
  anomaly(RepairReporter::Drop::kStartCodeRejected, start, start + kStartCodeSize);
  checker_.clear();
  video_.seek(start + 1);
  return false;
}

void PictureSurvey::surveySequenceHeader(uint32_t start) {
  SequenceHeader header;
  if (!readHeader(start, &header)) return;
  sequenceMarks_.push_back({start, header.width, header.height, header.frameRateCode,
                            suspect_ != nullptr && suspect(start, video_.position())});
  checker_.sequenceHeader();
  if (!header.sameFormat(SequenceHeader::of(format_))) {
    // A header that says another format is damaged, or starts another
    // recording: either way it cannot stand in this stream.
    anomaly(RepairReporter::Drop::kStartCodeRejected, start, video_.position());
    sequenceStart_ = kNone;
    return;
  }
  sequenceStart_ = start;
  sequenceEnd_ = video_.position();
  if (firstSequenceEnd_ == kNone) firstSequenceEnd_ = sequenceEnd_;
}

void PictureSurvey::surveyGroupHeader(uint32_t start) {
  GroupHeader header;
  if (!readHeader(start, &header)) return;
  checker_.gopHeader();
  startGroup();
  groups_.back().headerStart = start;
  groups_.back().headerEnd = video_.position();
  groups_.back().header = header;
}

void PictureSurvey::surveyPicture(uint32_t start) {
  closePicture();
  video_.skip(kStartCodeSize);
  BitReader reader(video_);
  PictureHeader header;
  header.read(reader);
  reader.alignToByte();
  const char letter = header.letter();
  if (reader.overrun() || !zerosToNextStartCode(video_) || letter == 0) {
    anomaly(RepairReporter::Drop::kStartCodeRejected, start, start + kStartCodeSize);
    checker_.clear();
    video_.seek(start + 1);
    leadStart_ = kNone;
    return;
  }
  ++picturesSeen_;
  if (!checker_.picture(letter, header.temporalReference)) {
    anomaly(RepairReporter::Drop::kPictureOutOfOrder, start, video_.position());
  }

  Picture picture;
  picture.start = start;
  picture.headerEnd = video_.position();
  picture.end = picture.headerEnd;
  picture.unitStart = leadStart_ == kNone ? start : leadStart_;
  picture.temporalReference = header.temporalReference;
  picture.codingType = static_cast<uint8_t>(header.codingType);
  picture.forwardFCode = static_cast<uint8_t>(header.forwardFCode);
  picture.backwardFCode = static_cast<uint8_t>(header.backwardFCode);
  picture.fullPelForward = header.fullPelForward;
  picture.fullPelBackward = header.fullPelBackward;
  picture.decodable = letter == 'I' || (validFCode(header.forwardFCode) &&
                                        (letter == 'P' || validFCode(header.backwardFCode)));
  picture.intact = picture.decodable;
  picture.whole = picture.decodable;
  picture.firstSlice = static_cast<uint32_t>(slices_.size());
  leadStart_ = kNone;

  // A new group: at the first picture, after a sequence header without a
  // group header, or where the group's numbering starts again (its group
  // header was lost, and perhaps its I picture too): an anchor numbered at
  // or below an anchor of the group, a B picture at or below a B picture of
  // it. Within a group both count up in stream order.
  bool newGroup = groups_.empty() || sequenceStart_ != kNone;
  const bool anchor = letter != 'B';
  for (uint32_t k = newGroup ? 0 : groups_.back().firstPicture; !newGroup && k < pictures_.size(); ++k) {
    newGroup = pictures_[k].anchor() == anchor && pictures_[k].temporalReference >= header.temporalReference;
  }
  if (newGroup) startGroup();
  picture.group = static_cast<uint32_t>(groups_.size() - 1);
  if (!picture.decodable) anomaly(RepairReporter::Drop::kBrokenPicture, start, picture.headerEnd);
  pictures_.push_back(picture);
  current_ = static_cast<uint32_t>(pictures_.size() - 1);
}

void PictureSurvey::surveySlice(uint32_t code, uint32_t start) {
  if (!checker_.slice(code)) anomaly(RepairReporter::Drop::kStraySlice, start, start + kStartCodeSize);
  leadStart_ = kNone;
  video_.skip(kStartCodeSize);
  codeAfterSlice_ = nextStartCode(video_);
  codeAfterSliceAt_ = video_.position();
  codeAfterSliceKnown_ = true;
  const uint32_t end = video_.position();
  if (current_ == kNone) {
    anomaly(RepairReporter::Drop::kStraySlice, start, end);
    return;
  }
  const Picture& picture = pictures_[current_];
  if (!picture.decodable) return;
  if (found_.empty() || found_.back().picture != current_) {
    firstFound_ = found_.size();
    walkCurrent_ = false;
  }
  // A slice that does not follow the one before leaves the picture in
  // pieces, which the walks must tell apart.
  const uint32_t previousEnd = found_.size() > firstFound_ ? found_.back().end : picture.headerEnd;
  found_.push_back({start, end, code, current_, kNone});
  if (macroblocks() == 0) return;  // no size to walk against
  // A slice that runs to the end of the data may have been cut there. The
  // start code that ends a slice is its end only when it is as written: one
  // that damage made ends it early.
  const uint32_t codeEnd = video_.size() - end > kStartCodeSize ? end + kStartCodeSize : video_.size();
  if (!walkCurrent_ && (start != previousEnd || end == video_.size() || suspect(start, codeEnd))) {
    // Every slice of the picture is walked, those before too.
    walkCurrent_ = true;
    pictures_[current_].walked = true;
    for (size_t k = firstFound_; k + 1 < found_.size(); ++k) queueWalk(k);
  }
  if (walkCurrent_) queueWalk(found_.size() - 1);
  video_.seek(end);
}

bool PictureSurvey::suspect(uint32_t start, uint32_t end) {
  if (suspect_ == nullptr) return true;
  const uint32_t* pairs = suspect_->pairs();
  while (suspectIndex_ < suspect_->count() && pairs[2 * suspectIndex_ + 1] <= start) ++suspectIndex_;
  return suspectIndex_ < suspect_->count() && pairs[2 * suspectIndex_] < end;
}

void PictureSurvey::queueWalk(size_t k) {
  FoundSlice& slice = found_[k];
  const Picture& picture = pictures_[slice.picture];
  // The slice's bytes after its start code, in one piece, for the queue to
  // copy: in place when they lie in one span.
  const uint32_t dataStart = slice.start + kStartCodeSize;
  const uint32_t length = slice.end - dataStart;
  const ByteSource::Span span = video_.spanAt(dataStart);
  const uint8_t* data;
  if (span.length > 0 && dataStart - span.start <= span.length && span.length - (dataStart - span.start) >= length) {
    data = span.data + (dataStart - span.start);
  } else {
    scratch_.clear();
    video_.seek(dataStart);
    video_.readRuns(length, [this](const uint8_t* bytes, uint32_t n) { scratch_.insert(scratch_.end(), bytes, bytes + n); });
    data = scratch_.data();
  }
  SliceContext context;
  context.codingType = picture.codingType;
  context.forwardFCode = picture.forwardFCode;
  context.backwardFCode = picture.backwardFCode;
  context.widthInMacroblocks = widthInMacroblocks_;
  context.heightInMacroblocks = heightInMacroblocks_;
  walks_->add(context, slice.code, data, length);
  slice.walk = static_cast<uint32_t>(walksQueued_++);
}

void PictureSurvey::closePicture() { current_ = kNone; }

void PictureSurvey::resolveSlices() {
  // The slices of each picture in order, with their walks: those that parse
  // must cover the picture's macroblocks once, one after the other.
  const bool walked = macroblocks() != 0;
  uint32_t picture = kNone;
  uint32_t nextMacroblock = 0;
  const auto close = [&]() {
    if (picture == kNone) return;
    Picture& p = pictures_[picture];
    if (walked && nextMacroblock != macroblocks()) {
      p.intact = false;
      p.whole = false;
    }
    if (!p.intact) clean_ = false;
    if (!p.whole) return;
    // A whole picture is copied in one piece: its slices need no record.
    slices_.resize(p.firstSlice);
    p.sliceCount = 0;
  };
  for (size_t k = 0; k < found_.size(); ++k) {
    const FoundSlice& slice = found_[k];
    if (slice.picture != picture) {
      close();
      picture = slice.picture;
      nextMacroblock = 0;
      pictures_[picture].firstSlice = static_cast<uint32_t>(slices_.size());
    }
    Picture& p = pictures_[picture];
    if (slice.start != p.end) p.whole = false;  // something stood between
    p.end = slice.end;
    if (walked && slice.walk == kNone) {
      // Taken as written: its picture lies where nothing is suspect and in
      // one piece, and covers itself as its encoder made it.
      nextMacroblock = macroblocks();
      continue;
    }
    if (!walked) {
      // No size to walk against: the slice is taken as it stands.
      slices_.push_back({slice.start, slice.end, 0, 0, false});
      ++p.sliceCount;
      continue;
    }
    const SliceWalk& walk = walks_->walk(slice.walk);
    if (walk.fault != SliceFault::kNone) {
      p.intact = false;
      p.whole = false;
      anomaly(RepairReporter::Drop::kBrokenSlice, slice.start, slice.end);
      slices_.push_back({slice.start, slice.end, walk.firstMacroblock, walk.firstMacroblock, true});
      ++p.sliceCount;
      continue;
    }
    if (walk.firstMacroblock < nextMacroblock) {
      // Over macroblocks a slice before it covered: it belongs to another
      // picture whose header was lost.
      p.whole = false;
      anomaly(RepairReporter::Drop::kStraySlice, slice.start, slice.end);
      continue;
    }
    if (walk.firstMacroblock != nextMacroblock) {
      p.intact = false;  // macroblocks no slice covers
      p.whole = false;
    }
    nextMacroblock = walk.lastMacroblock + 1;
    slices_.push_back({slice.start, slice.end, walk.firstMacroblock, walk.lastMacroblock, false});
    ++p.sliceCount;
  }
  close();
  // Pictures without a slice cover nothing; pictures of no size, or of more
  // rows than slice start codes reach, cannot be decoded whole.
  for (Picture& p : pictures_) {
    if (!p.decodable || (walked && p.end != p.headerEnd)) continue;
    p.intact = false;
    p.whole = false;
    clean_ = false;
    if (!walked) anomaly(RepairReporter::Drop::kBrokenPicture, p.start, p.end);
  }
}

std::vector<uint32_t> PictureSurvey::recordingStarts() const {
  std::vector<uint32_t> starts;
  if (sequenceMarks_.empty()) return starts;
  const auto sameFormat = [](const SequenceMark& a, const SequenceMark& b) {
    return a.width == b.width && a.height == b.height && a.frameRateCode == b.frameRateCode;
  };
  const SequenceMark* current = &sequenceMarks_.front();
  for (size_t k = 1; k < sequenceMarks_.size(); ++k) {
    const SequenceMark& mark = sequenceMarks_[k];
    if (sameFormat(mark, *current)) continue;
    const bool confirmed =
        k + 1 < sequenceMarks_.size() ? sameFormat(sequenceMarks_[k + 1], mark) : !mark.suspect;
    if (!confirmed) continue;
    starts.push_back(mark.start);
    current = &mark;
  }
  return starts;
}
