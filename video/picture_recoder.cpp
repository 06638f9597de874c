#include "video/picture_recoder.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <iterator>

#include "source/start_code.h"
#include "video/macroblock_codes.h"
#include "video/medians.h"
#include "video/repeat_slice_writer.h"
#include "video/slice_coder.h"
#include "video/video_format.h"

namespace {

constexpr uint8_t kDirections = kMacroblockMotionForward | kMacroblockMotionBackward;
// Quantiser of a coded slice that starts with no macroblock of the input.
constexpr uint32_t kConcealmentQuantiser = RepeatSliceWriter::kQuantiserScale;

// A half-pixel vector in the units of a picture whose vectors count whole
// pixels where `fullPel` says, kept in the range of `fCode`.
int16_t inUnits(int halfPixels, bool fullPel, uint32_t fCode) {
  const int units = fullPel ? halfPixels / 2 : halfPixels;
  const int limit = SliceCoder::vectorLimit(fCode);
  return static_cast<int16_t>(std::clamp(units, -limit, limit - 1));
}

// The smallest f_code whose range holds `magnitude` half pixels either way.
uint32_t fCodeFor(int magnitude) {
  uint32_t f = kMinFCode;
  while (f < kMaxFCode && SliceCoder::vectorLimit(f) <= magnitude) ++f;
  return f;
}

// At most this many bits set after a slice's last macroblock are damage to
// its padding, not a slice read out of step: data read out of step sets
// about half of them.
constexpr uint32_t kStrayBitsAllowed = 2;

// A slice broken by damage is resumed where walks from a bit at most this
// far past where they start run clean to its end: from the first macroblock
// at which this many such walks, each from the next bit that gives one, are
// all in step, from past what it keeps and again from where it broke.
constexpr size_t kResumeSearchBits = 8192;
constexpr uint32_t kResumeWalks = 6;
// A quantiser set more than this many times the one in effect before it,
// or less than its share, in a slice that breaks, was read out of step:
// the macroblocks it would scale are not kept.
constexpr uint32_t kQuantiserJump = 3;
bool quantiserJumps(uint32_t before, uint32_t after) {
  return after > kQuantiserJump * before || before > kQuantiserJump * after;
}
// An I picture's slice resumed so takes its DC values from predictions
// lost with the damage: they are levelled with the slices kept above and
// before it, by the median of at least this many differences per
// component.
constexpr size_t kLeastLevelPairs = 2;
// Where the luminance differences spread so far that their median is
// likely more than this many levels off (their median distance from it
// over the root of their count), the walk is kept only in a picture with
// no reference to conceal it from: on a rip with bit errors, an I picture
// resumed in its top row was levelled by 6 differences spread 13 levels
// and went out 14 levels too bright, 26.6 dB, where concealing it from
// the picture before gave 38.8 dB; with nothing before it, blending its
// holes gave 14.2 dB, the rough levelling 25.3 dB.
constexpr int64_t kMostLevelError = 3;

// Whether a level taken as the median of `count` differences that spread
// `spread` from it is likely off by more than kMostLevelError.
bool roughLevel(int spread, size_t count) {
  return int64_t{spread} * spread > kMostLevelError * kMostLevelError * static_cast<int64_t>(count);
}

// Whether a slice that broke with `fault` may be resumed after it: a fault
// in the syntax, not one found only where the slice should end (the walk
// may have been out of step anywhere before) or where its data ran out.
bool resumable(SliceFault fault) {
  return fault != SliceFault::kNone && fault != SliceFault::kAddressPastPicture && fault != SliceFault::kTrailingBits &&
         fault != SliceFault::kRunsIntoStartCode && fault != SliceFault::kRowBelowPicture;
}

// The bits set in `data` from bit `from` on.
uint32_t bitsSetFrom(const uint8_t* data, size_t length, uint32_t from) {
  uint32_t count = 0;
  for (size_t byte = from / 8; byte < length; ++byte) {
    uint32_t bits = data[byte];
    if (byte == from / 8) bits &= 0xFFu >> (from % 8);
    count += static_cast<uint32_t>(__builtin_popcount(bits));
  }
  return count;
}

}  // namespace

PictureRecoder::PictureRecoder(uint32_t width, uint32_t height, uint32_t margin)
    : width_(width),
      height_(height),
      margin_(margin),
      planner_(width, height),
      dcSteps_(width, height),
      lostMacroblocks_(width, height) {
  assert(height <= kLastSliceCode - kFirstSliceCode + 1);
}

size_t PictureRecoder::keptOfBroken(SliceFault fault, const Walked& w) const {
  // Bits set in the padding after the last macroblock read: the
  // macroblocks themselves are whole. (A slice cut short ends in zeros that
  // stand for the bytes it lost, and is no such case.)
  if (w.recordCount > 0 && fault != SliceFault::kRunsIntoStartCode &&
      bitsSetFrom(bytes_.data() + w.dataOffset, w.dataLength, records_[w.firstRecord + w.recordCount - 1].end) <=
          kStrayBitsAllowed) {
    return w.recordCount;
  }
  // A fault found only where the slice should end tells nothing of where it
  // was read out of step: none of it is kept. Elsewhere the fault shows
  // some bits after the damage.
  if (fault == SliceFault::kAddressPastPicture || fault == SliceFault::kTrailingBits) return 0;
  const size_t kept = w.recordCount > margin_ ? w.recordCount - margin_ : 0;
  uint32_t quantiser = w.dataLength > 0 ? bytes_[w.dataOffset] >> (8 - kQuantiserScaleBits) : 0;
  for (size_t i = 0; i < kept; ++i) {
    const MacroblockRecord& mb = records_[w.firstRecord + i];
    if (!mb.hasQuant) continue;
    if (quantiserJumps(quantiser, mb.quantiser)) return i;
    quantiser = mb.quantiser;
  }
  return kept;
}

int64_t PictureRecoder::mustEndAt(size_t k) const {
  for (size_t n = k + 1; n < walked_.size(); ++n) {
    if (walked_[n].parsed && walked_[n].recordCount > 0) return int64_t{records_[walked_[n].firstRecord].address} - 1;
  }
  return int64_t{width_} * height_ - 1;
}

void PictureRecoder::resumeAfterLoss(const SliceWalker& walker, size_t k, const std::vector<uint32_t>* damaged) {
  const Walked w = walked_[k];
  if (w.code < kFirstSliceCode || w.code - kFirstSliceCode >= height_ || w.dataLength == 0) return;
  const uint8_t* data = bytes_.data() + w.dataOffset;
  const int64_t last = mustEndAt(k);
  // The last macroblock kept (records_ grows below: nothing points into it).
  const bool keptAny = w.keptCount > 0;
  const MacroblockRecord keptLast = keptAny ? records_[w.firstRecord + w.keptCount - 1] : MacroblockRecord();
  const int64_t rowStart = int64_t{w.code - kFirstSliceCode} * width_;
  const Picture& picture = walkedPicture_;
  // (A headless picture's data begins in another's slice, whose row tells
  // nothing of where its macroblocks lie.)
  int64_t after = keptAny ? int64_t{keptLast.address} : picture.headless ? -1 : rowStart - 1;
  if (last <= after) return;
  const uint32_t quantiser = keptAny          ? keptLast.quantiser
                             : picture.headless ? picture.headlessQuantiser
                                                : data[0] >> (8 - kQuantiserScaleBits);
  if (quantiser == 0) return;
  size_t from = keptAny ? keptLast.end : kQuantiserScaleBits + kExtraBitSliceBits;
  // Nothing from data known damaged: the walk resumes after the first
  // damage past what it keeps (where a lost sector's data joins on, or a
  // sector read back as zeros), and keeps nothing from the next.
  size_t until = w.dataLength * 8;
  if (damaged != nullptr) {
    bool past = false;
    for (size_t d = 0; d < damaged->size() / 2; ++d) {
      const uint32_t start = (*damaged)[2 * d];
      const uint32_t end = (*damaged)[2 * d + 1];
      if (end <= w.streamOffset || start >= w.streamOffset + w.dataLength) continue;
      const size_t startBit = size_t{start - std::min(start, w.streamOffset)} * 8;
      const size_t endBit = size_t{end - w.streamOffset} * 8;
      if (endBit <= from) continue;
      if (!past) {
        from = std::max(from, endBit);
        past = true;
      } else {
        until = std::min(until, startBit);
      }
    }
  }
  // Walks from wrong bits fall into step with the data after a while: a
  // macroblock where the first few walks that run clean all begin is read
  // in step. But walks that start before the damage can all be led out of
  // step by it the same way, and agree on macroblocks that are none (a
  // quantiser read there then spoils the rest): the first few walks from
  // where the broken walk stopped must begin there too.
  std::vector<uint32_t> common;  // bits where the macroblocks of every walk so far begin
  std::vector<uint32_t> starts;
  bool none = true;  // no walk has run clean yet
  const size_t brokeAt = w.recordCount > 0 ? records_[w.firstRecord + w.recordCount - 1].end : from;
  const size_t groupStarts[2] = {from, std::max(from, brokeAt)};
  deadEnds_.reset(groupStarts[0], w.dataLength);
  // (In a headless picture the walk broke in another picture's data: it
  // tells nothing.)
  const size_t groups = groupStarts[1] == groupStarts[0] || picture.headless ? 1 : 2;
  for (size_t g = 0; g < groups; ++g) {
    const size_t to = std::min(w.dataLength * 8, groupStarts[g] + kResumeSearchBits);
    uint32_t found = 0;
    for (size_t bit = groupStarts[g]; bit < to && found < kResumeWalks; ++bit) {
      const size_t at = records_.size();
      const SliceWalk walk = walker.resume(bit, quantiser, data, w.dataLength, &records_, &deadEnds_);
      if (walk.fault != SliceFault::kNone || records_.size() == at) {
        records_.resize(at);
        continue;
      }
      starts.clear();
      for (size_t r = at; r < records_.size(); ++r) {
        if (!records_[r].skipped) starts.push_back(records_[r].start);
      }
      // A walk that joined an earlier one has that one's starts from there
      // on, and every walk so far had those of `common` among its own.
      const size_t joined = deadEnds_.joinedAt();
      if (joined != DeadEnds::kNotJoined) {
        assert(!none);
        starts.insert(starts.end(), std::lower_bound(common.begin(), common.end(), joined), common.end());
      }
      if (none) {
        common = starts;
        none = false;
      } else {
        std::vector<uint32_t> both;
        std::set_intersection(common.begin(), common.end(), starts.begin(), starts.end(), std::back_inserter(both));
        common.swap(both);
      }
      records_.resize(at);
      ++found;
    }
    if (found < kResumeWalks) return;
  }
  if (common.empty()) return;
  // Walked again from there: what the walks read out of step before it
  // (a quantiser among them) is not carried on.
  const size_t first = records_.size();
  if (walker.resume(common.front(), quantiser, data, w.dataLength, &records_).fault != SliceFault::kNone ||
      records_.size() == first) {
    records_.resize(first);
    return;
  }
  // Where the walk ends tells where its macroblocks lie. Those before a
  // macroblock that starts the vectors' predictions again are dropped:
  // what they were predicted from was lost.
  const int64_t base = last - records_.back().address;
  // A walk that ran ahead of where the data stands was out of step for at
  // least as many macroblocks before it broke: they are dropped too.
  const int64_t inStep = base + records_[first].address;
  if (keptAny && int64_t{keptLast.address} >= inStep) {
    const int64_t ahead = int64_t{keptLast.address} + 1 - inStep;
    size_t keep = walked_[k].keptCount;
    while (keep > 0 && int64_t{records_[w.firstRecord + keep - 1].address} >= inStep - ahead) --keep;
    walked_[k].keptCount = keep;
    after = keep > 0 ? int64_t{records_[w.firstRecord + keep - 1].address} : rowStart - 1;
  }
  size_t start = first;
  // The quantiser in effect is known from where a macroblock sets it; in a
  // slice where none does, it is the one it started with (in a picture
  // whose head was lost, the one guessed for it).
  bool steady = w.keptCount > 0 || picture.headless;
  for (size_t r = w.firstRecord; r < w.firstRecord + w.keptCount; ++r) steady = steady && !records_[r].hasQuant;
  for (size_t r = start; r < records_.size(); ++r) steady = steady && !records_[r].hasQuant;
  if (!steady) {
    while (start < records_.size() && !records_[start].hasQuant) ++start;
    // A quantiser far from the one in effect before the damage was read
    // out of step: everything the walk keeps would be scaled by it.
    if (start < records_.size() && quantiserJumps(quantiser, records_[start].quantiser)) {
      records_.resize(first);
      return;
    }
  }
  const bool intraPicture = walker.codingType() == kIntraCoded;
  while (!intraPicture && start < records_.size() && !records_[start].skipped &&
         ((records_[start].flags & kMacroblockIntra) || (records_[start].flags & kMacroblockMotionForward))) {
    ++start;
  }
  if (start >= records_.size() || base < 0 || base + records_[start].address <= after) {
    records_.resize(first);
    return;
  }
  size_t end = start;
  while (end < records_.size() && records_[end].end <= until) ++end;
  if (end == start) {
    records_.resize(first);
    return;
  }
  records_.resize(end);
  for (size_t r = start; r < end; ++r) records_[r].address = static_cast<uint32_t>(records_[r].address + base);
  Walked resumed = w;
  resumed.firstRecord = start;
  resumed.recordCount = records_.size() - start;
  resumed.keptCount = resumed.recordCount;
  resumed.parsed = false;
  resumed.resumed = true;
  walked_.push_back(resumed);
}

void PictureRecoder::levelResumedIntra() {
  for (size_t k = 0; k < walked_.size(); ++k) {
    const Walked& w = walked_[k];
    if (!w.resumed) continue;
    // Per component, the DC differences between the walk's macroblocks and
    // those of other slices kept above and before them; for luminance also
    // with the slope across the two blocks on either side taken out, which
    // smooth pictures level by better.
    std::vector<int> differences[kColourComponents];
    std::vector<int> sloped;
    auto pair = [&](uint32_t component, int other, int own) { differences[component].push_back(other - own); };
    auto luminance = [&](int otherFar, int otherNear, int ownNear, int ownFar) {
      pair(0, otherNear, ownNear);
      sloped.push_back(otherNear - ownNear + ((otherNear - otherFar) + (ownFar - ownNear)) / 2);
    };
    for (size_t i = 0; i < w.keptCount; ++i) {
      const MacroblockRecord& mb = records_[w.firstRecord + i];
      if (kept_[mb.address] != &mb) break;
      const uint32_t a = mb.address;
      if (a >= width_ && kept_[a - width_] != nullptr && keptSlice_[a - width_] != static_cast<int32_t>(k)) {
        const MacroblockRecord& above = *kept_[a - width_];
        luminance(above.dc[0], above.dc[2], mb.dc[0], mb.dc[2]);
        luminance(above.dc[1], above.dc[3], mb.dc[1], mb.dc[3]);
        pair(1, above.dc[4], mb.dc[4]);
        pair(2, above.dc[5], mb.dc[5]);
      }
      if (a % width_ != 0 && kept_[a - 1] != nullptr && keptSlice_[a - 1] != static_cast<int32_t>(k)) {
        const MacroblockRecord& before = *kept_[a - 1];
        luminance(before.dc[0], before.dc[1], mb.dc[0], mb.dc[1]);
        luminance(before.dc[2], before.dc[3], mb.dc[2], mb.dc[3]);
        pair(1, before.dc[4], mb.dc[4]);
        pair(2, before.dc[5], mb.dc[5]);
      }
    }
    bool known = true;
    int offset[kColourComponents] = {0, 0, 0};
    for (uint32_t c = 0; c < kColourComponents; ++c) {
      if (differences[c].size() < kLeastLevelPairs) {
        known = false;
        break;
      }
      int spread = 0;
      const size_t n = differences[c].size();
      offset[c] = medianWithSpread(&differences[c], &spread);
      if (c == 0) {
        // The estimate whose differences agree more.
        int slopedSpread = 0;
        const int slopedOffset = medianWithSpread(&sloped, &slopedSpread);
        if (slopedSpread < spread) offset[c] = slopedOffset;
        walked_[k].roughlyLevelled = roughLevel(std::min(spread, slopedSpread), n);
      }
    }
    for (size_t i = 0; i < w.keptCount; ++i) {
      MacroblockRecord& mb = records_[w.firstRecord + i];
      if (kept_[mb.address] != &mb) break;
      if (!known) {
        walked_[k].unlevelled = true;
        // Nothing to level it by: a hole after all.
        kept_[mb.address] = nullptr;
        keptSlice_[mb.address] = -1;
        continue;
      }
      for (uint32_t b = 0; b < kBlocksPerMacroblock; ++b) {
        mb.dc[b] = static_cast<int16_t>(mb.dc[b] + offset[componentOfBlock(b)]);
      }
    }
  }
}

SliceContext PictureRecoder::contextOf(const Picture& picture, uint32_t codingType) const {
  SliceContext context;
  context.codingType = codingType;
  context.forwardFCode = picture.forwardFCode;
  context.backwardFCode = picture.backwardFCode;
  context.widthInMacroblocks = width_;
  context.heightInMacroblocks = height_;
  return context;
}

bool PictureRecoder::walkOf(const std::vector<Slice>& slices, const Picture& picture) const {
  return picture.codingType == walkedPicture_.codingType &&
         picture.forwardFCode == walkedPicture_.forwardFCode && picture.backwardFCode == walkedPicture_.backwardFCode &&
         picture.damaged == walkedPicture_.damaged && picture.headless == walkedPicture_.headless &&
         picture.headlessQuantiser == walkedPicture_.headlessQuantiser &&
         slices.size() == walkedSlices_.size() &&
         std::equal(slices.begin(), slices.end(), walkedSlices_.begin(),
                    [](const Slice& a, const Slice& b) { return a.start == b.start && a.end == b.end; });
}

void PictureRecoder::walkSlices(ByteSource& video, const std::vector<Slice>& slices, const Picture& picture) {
  // A walk handed over is used once, by the call it was made for.
  const bool handed = walkHanded_;
  walkHanded_ = false;
  if (handed && walkOf(slices, picture)) return;
  read(video, slices, picture);
  walkRead();
}

void PictureRecoder::handWalkTo(PictureRecoder& other) {
  assert(width_ == other.width_ && height_ == other.height_ && margin_ == other.margin_);
  assert(!walkRead_);
  bytes_.swap(other.bytes_);
  records_.swap(other.records_);
  walked_.swap(other.walked_);
  kept_.swap(other.kept_);
  keptSlice_.swap(other.keptSlice_);
  steps_.swap(other.steps_);
  levelledAt_.swap(other.levelledAt_);
  walkedSlices_.swap(other.walkedSlices_);
  std::swap(walkedPicture_, other.walkedPicture_);
  std::swap(walkRead_, other.walkRead_);
  other.walkHanded_ = true;
  walkHanded_ = false;
}

void PictureRecoder::read(ByteSource& video, const std::vector<Slice>& slices, const Picture& picture) {
  walkRead_ = true;
  walkedSlices_ = slices;
  walkedPicture_ = Picture();
  walkedPicture_.codingType = picture.codingType;
  walkedPicture_.forwardFCode = picture.forwardFCode;
  walkedPicture_.backwardFCode = picture.backwardFCode;
  walkedPicture_.damaged = picture.damaged;
  walkedPicture_.headless = picture.headless;
  walkedPicture_.headlessQuantiser = picture.headlessQuantiser;
  bytes_.clear();
  records_.clear();
  walked_.clear();
  for (const Slice& slice : slices) {
    assert(slice.end >= slice.start + kStartCodeSize);
    Walked w = {};
    w.code = static_cast<uint32_t>(video.byteAt(slice.start + kStartCodeSize - 1));
    w.dataOffset = bytes_.size();
    w.dataLength = slice.end - slice.start - kStartCodeSize;
    w.streamOffset = slice.start + kStartCodeSize;
    video.seek(slice.start + kStartCodeSize);
    video.readRuns(static_cast<uint32_t>(w.dataLength),
                   [this](const uint8_t* data, uint32_t n) { bytes_.insert(bytes_.end(), data, data + n); });
    walked_.push_back(w);
  }
}

void PictureRecoder::walkRead() {
  assert(walkRead_);
  walkRead_ = false;
  const std::vector<Slice>& slices = walkedSlices_;
  const Picture& picture = walkedPicture_;
  const SliceWalker walker(contextOf(picture, picture.codingType));
  const std::vector<uint32_t>* damaged = picture.damaged;
  size_t damagedIndex = 0;
  for (size_t k = 0; k < walked_.size(); ++k) {
    Walked& w = walked_[k];
    w.firstRecord = records_.size();
    const bool inPicture = w.code >= kFirstSliceCode && w.code - kFirstSliceCode < height_;
    const SliceWalk walk = inPicture ? walker.walk(w.code, bytes_.data() + w.dataOffset, w.dataLength, &records_)
                                     : SliceWalk{SliceFault::kRowBelowPicture, 0, 0};
    w.recordCount = records_.size() - w.firstRecord;
    w.parsed = walk.fault == SliceFault::kNone;
    w.fault = walk.fault;
    w.keptCount = w.parsed ? w.recordCount : keptOfBroken(walk.fault, w);
    w.unlevelled = false;
    if (damaged != nullptr) {
      // Nothing from where known damage begins.
      const uint32_t dataStart = slices[k].start + kStartCodeSize;
      while (damagedIndex < damaged->size() / 2 && (*damaged)[2 * damagedIndex + 1] <= dataStart) ++damagedIndex;
      if (damagedIndex < damaged->size() / 2 && (*damaged)[2 * damagedIndex] < slices[k].end) {
        const uint32_t from = std::max((*damaged)[2 * damagedIndex], dataStart);
        size_t clean = 0;
        while (clean < w.keptCount && dataStart + (records_[w.firstRecord + clean].end + 7) / 8 <= from) ++clean;
        w.keptCount = clean;
      }
    }
  }
  if (picture.codingType == kPredictiveCoded || picture.codingType == kIntraCoded) {
    const size_t walks = walked_.size();
    for (size_t k = 0; k < walks; ++k) {
      if (resumable(walked_[k].fault) || (picture.headless && k == 0)) resumeAfterLoss(walker, k, damaged);
    }
  }
  // Slices that parse whole claim their macroblocks first; the others fill
  // what is left, up to the first macroblock claimed.
  kept_.assign(size_t{width_} * height_, nullptr);
  keptSlice_.assign(size_t{width_} * height_, -1);
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t k = 0; k < walked_.size(); ++k) {
      const Walked& w = walked_[k];
      const bool whole = w.parsed && w.keptCount == w.recordCount;
      if (whole != (pass == 0)) continue;
      for (size_t i = 0; i < w.keptCount; ++i) {
        const MacroblockRecord& mb = records_[w.firstRecord + i];
        if (kept_[mb.address] != nullptr) break;
        kept_[mb.address] = &mb;
        keptSlice_[mb.address] = static_cast<int32_t>(k);
      }
    }
  }
  levelledAt_.clear();
  if (picture.codingType == kIntraCoded) {
    levelResumedIntra();
    levelDcSteps();
  }
}

void PictureRecoder::dropRoughlyLevelled() {
  for (Walked& w : walked_) {
    if (!w.roughlyLevelled) continue;
    for (size_t i = 0; i < w.keptCount; ++i) {
      const MacroblockRecord& mb = records_[w.firstRecord + i];
      if (kept_[mb.address] != &mb) continue;
      kept_[mb.address] = nullptr;
      keptSlice_[mb.address] = -1;
      // Concealed now, not levelled.
      if (mb.address < levelledAt_.size()) levelledAt_[mb.address] = 0;
    }
    w.keptCount = 0;
  }
}

void PictureRecoder::levelDcSteps() {
  dcSteps_.find(kept_, keptSlice_, &steps_);
  levelledAt_.assign(size_t{width_} * height_, 0);
  for (const DcStepFinder::Step& step : steps_) level(step);
}

void PictureRecoder::level(const DcStepFinder::Step& step) {
  const int32_t walk = keptSlice_[step.address];
  for (uint32_t a = step.address; a < width_ * height_ && keptSlice_[a] == walk; ++a) {
    MacroblockRecord& mb = records_[static_cast<size_t>(kept_[a] - records_.data())];
    if (!(mb.flags & kMacroblockIntra)) break;
    // The luminance blocks after the first of a macroblock keep their
    // differentials as coded: in the macroblock where the run begins they
    // are levelled with the first, or not at all, as fewer stay off.
    if (a == step.address && step.block >= kLuminanceBlocks / 2) continue;
    for (uint32_t b = 0; b < kLuminanceBlocks; ++b) mb.dc[b] = static_cast<int16_t>(mb.dc[b] - step.offset);
    levelledAt_[a] = 1;
  }
  walked_[static_cast<size_t>(walk)].levelled = true;
}

void PictureRecoder::keepStepsTheIntraBeforeBacks(const DcFieldSource& intraBefore) {
  if (steps_.empty()) return;
  const DcField* before = intraBefore();
  if (before == nullptr) return;
  for (const DcStepFinder::Step& step : steps_) {
    const int32_t walk = keptSlice_[step.address];
    // The levelled run's luminance against the picture before, less the
    // step: what the run as read differs from it by.
    std::vector<int> differences;
    for (uint32_t a = step.address; a < width_ * height_ && keptSlice_[a] == walk; ++a) {
      if (levelledAt_[a] == 0 || !before->known[a]) continue;
      for (uint32_t b = 0; b < kLuminanceBlocks; ++b) differences.push_back(before->dc[a][b] - kept_[a]->dc[b] - step.offset);
    }
    if (differences.size() < kLeastLevelPairs) continue;
    int spread = 0;
    const int asRead = medianWithSpread(&differences, &spread);
    // The picture before shows the run as read, and tells that well: the
    // step was the picture's own edge.
    if (std::abs(asRead) >= std::abs(asRead + step.offset) || roughLevel(spread, differences.size())) continue;
    putBack(step);
  }
  steps_.clear();
}

void PictureRecoder::putBack(const DcStepFinder::Step& step) {
  const int32_t walk = keptSlice_[step.address];
  for (uint32_t a = step.address; a < width_ * height_ && keptSlice_[a] == walk; ++a) {
    if (levelledAt_[a] == 0) continue;
    MacroblockRecord& mb = records_[static_cast<size_t>(kept_[a] - records_.data())];
    for (uint32_t b = 0; b < kLuminanceBlocks; ++b) mb.dc[b] = static_cast<int16_t>(mb.dc[b] + step.offset);
    levelledAt_[a] = 0;
  }
  walked_[static_cast<size_t>(walk)].levelled = false;
}

uint32_t PictureRecoder::shortfallOf(size_t k) const {
  const Walked& w = walked_[k];
  if (!w.parsed || w.recordCount == 0 || w.keptCount != w.recordCount) return 0;
  for (size_t i = 0; i < w.recordCount; ++i) {
    if (kept_[records_[w.firstRecord + i].address] != &records_[w.firstRecord + i]) return 0;
  }
  const int64_t lastRead = records_[w.firstRecord + w.recordCount - 1].address;
  const int64_t last = mustEndAt(k);
  // (Where another walk keeps macroblocks in the gap, that walk is the
  // one out of place.)
  for (int64_t a = lastRead + 1; a <= last; ++a) {
    if (kept_[static_cast<size_t>(a)] != nullptr) return 0;
  }
  return last > lastRead ? static_cast<uint32_t>(last - lastRead) : 0;
}

bool PictureRecoder::quantiseMoved(size_t k, LostMacroblockLocator::Placement* placement) {
  const Walked& w = walked_[k];
  const MacroblockRecord* records = records_.data() + w.firstRecord;
  const size_t count = w.recordCount;
  // The one quantiser a slice sets, set within a row before the loss, was
  // read out of step: what it scales is not kept.
  size_t sets = 0;
  size_t lastSet = count;
  for (size_t i = 0; i < count; ++i) {
    if (!records[i].hasQuant) continue;
    ++sets;
    if (i < placement->keep) lastSet = i;
  }
  if (sets == 1 && lastSet < placement->keep && placement->keep - lastSet <= width_) placement->keep = lastSet;
  // The macroblocks moved took the quantiser in effect from what was read
  // out of step, where that set one: they take the one in effect before
  // the loss, up to the first that sets its own. One near their start
  // that jumps from it was read out of step too: they begin after it.
  const uint32_t quantiser = placement->keep > 0 ? records[placement->keep - 1].quantiser
                                                 : bytes_[w.dataOffset] >> (8 - kQuantiserScaleBits);
  size_t ownFrom = count;  // the first moved that sets a quantiser of its own
  for (size_t i = placement->moveFrom; i < count && ownFrom == count; ++i) {
    if (!records[i].hasQuant) continue;
    if (i < placement->moveFrom + width_ && quantiserJumps(quantiser, records[i].quantiser)) {
      placement->moveFrom = i + 1;
    } else {
      ownFrom = i;
    }
  }
  if (placement->moveFrom >= count) return false;
  for (size_t i = placement->moveFrom; i < ownFrom; ++i) {
    records_[w.firstRecord + i].quantiser = static_cast<uint8_t>(quantiser);
  }
  return true;
}

void PictureRecoder::moveOnAfterLoss(const DcFieldSource& intraBefore) {
  const DcField* before = nullptr;
  const size_t walks = walked_.size();
  for (size_t k = 0; k < walks; ++k) {
    const uint32_t shortBy = shortfallOf(k);
    if (shortBy == 0) continue;
    if (before == nullptr) before = intraBefore();
    if (before == nullptr) return;
    const size_t first = walked_[k].firstRecord;
    const size_t count = walked_[k].recordCount;
    // The walk's DC values as read: a run levelled as a flipped DC bit's
    // may be the loss.
    std::vector<DcStepFinder::Step> levelled;
    for (auto step = steps_.begin(); step != steps_.end();) {
      if (keptSlice_[step->address] == static_cast<int32_t>(k)) {
        putBack(*step);
        levelled.push_back(*step);
        step = steps_.erase(step);
      } else {
        ++step;
      }
    }
    LostMacroblockLocator::Placement placement;
    if (!lostMacroblocks_.locate(records_.data() + first, count, shortBy, before->dc, before->known, &placement) ||
        !quantiseMoved(k, &placement)) {
      for (const DcStepFinder::Step& step : levelled) level(step);
      steps_.insert(steps_.end(), levelled.begin(), levelled.end());
      continue;
    }
    for (size_t i = placement.keep; i < count; ++i) {
      const uint32_t address = records_[first + i].address;
      kept_[address] = nullptr;
      keptSlice_[address] = -1;
    }
    walked_[k].keptCount = placement.keep;
    Walked moved = walked_[k];
    moved.firstRecord = first + placement.moveFrom;
    moved.recordCount = moved.keptCount = count - placement.moveFrom;
    moved.parsed = false;
    moved.resumed = true;
    const bool offset = placement.offset[0] != 0 || placement.offset[1] != 0 || placement.offset[2] != 0;
    moved.levelled = offset;
    const int32_t index = static_cast<int32_t>(walked_.size());
    for (size_t r = moved.firstRecord; r < moved.firstRecord + moved.recordCount; ++r) {
      MacroblockRecord& mb = records_[r];
      mb.address += shortBy;
      for (uint32_t b = 0; b < kBlocksPerMacroblock; ++b) {
        mb.dc[b] = static_cast<int16_t>(mb.dc[b] + placement.offset[componentOfBlock(b)]);
      }
      kept_[mb.address] = &mb;
      keptSlice_[mb.address] = index;
      if (offset) levelledAt_[mb.address] = 1;
    }
    walked_.push_back(moved);
  }
}

uint32_t PictureRecoder::levelledCount() const {
  return static_cast<uint32_t>(std::count(levelledAt_.begin(), levelledAt_.end(), uint8_t{1}));
}

void PictureRecoder::recode(ByteSource& video, const std::vector<Slice>& slices, const Picture& picture,
                            std::vector<uint8_t>* out, Result* result, const DcFieldSource& intraBefore) {
  assert(picture.writeAs == picture.codingType || (picture.codingType == kIntraCoded && picture.writeAs == kPredictiveCoded));
  walkSlices(video, slices, picture);
  if (picture.codingType == kIntraCoded && intraBefore) {
    moveOnAfterLoss(intraBefore);
    keepStepsTheIntraBeforeBacks(intraBefore);
    levelFromIntraBefore(intraBefore);
  }
  const uint32_t count = width_ * height_;
  if (picture.writeAs != picture.codingType) dropRoughlyLevelled();

  ConcealmentPlanner::Picture input;
  input.kept = &kept_;
  input.codingType = picture.writeAs;
  input.fullPel[0] = picture.fullPel[0];
  input.fullPel[1] = picture.fullPel[1];
  input.anchors = picture.anchors;
  planner_.plan(input, &plan_);

  // An I picture written as P: vectors in half pixels, in a range that
  // holds every one.
  const bool retyped = picture.writeAs != picture.codingType;
  Picture output = picture;
  if (retyped) {
    int magnitude = 0;
    for (const ConcealmentPlanner::Macroblock& mb : plan_) {
      magnitude = std::max({magnitude, std::abs(static_cast<int>(mb.forward[0])), std::abs(static_cast<int>(mb.forward[1]))});
    }
    output.forwardFCode = fCodeFor(magnitude);
    output.backwardFCode = 0;
    output.fullPel[0] = output.fullPel[1] = false;
  }
  const SliceContext context = contextOf(output, picture.writeAs);
  result->forwardFCode = output.forwardFCode;
  result->kept = 0;
  result->concealed = 0;
  result->levelled = levelledCount();
  result->repeated = false;

  // The walks that go out as they stand: whole, every macroblock theirs.
  std::vector<int32_t> verbatimAt(count, -1);
  if (!retyped) {
    for (size_t k = 0; k < walked_.size(); ++k) {
      const Walked& w = walked_[k];
      if (!w.parsed || w.levelled || w.recordCount == 0 || w.keptCount != w.recordCount) continue;
      bool own = true;
      for (size_t i = 0; i < w.recordCount && own; ++i) {
        own = keptSlice_[records_[w.firstRecord + i].address] == static_cast<int32_t>(k);
      }
      // Decoders that share a picture's rows among threads start a thread
      // where a row's first slice starts: a slice that runs on into another
      // row must end with a row.
      const uint32_t first = records_[w.firstRecord].address;
      const uint32_t last = records_[w.firstRecord + w.recordCount - 1].address;
      const bool rows = first / width_ == last / width_ || (last + 1) % width_ == 0;
      if (own && rows) verbatimAt[first] = static_cast<int32_t>(k);
    }
  }

  const size_t from = out->size();
  SliceCoder coder(context, out);
  uint32_t quantiser = kConcealmentQuantiser;
  for (uint32_t address = 0; address < count;) {
    if (verbatimAt[address] >= 0) {
      if (coder.open()) coder.end();
      const Walked& w = walked_[static_cast<size_t>(verbatimAt[address])];
      out->insert(out->end(), kStartCodePrefixBytes, kStartCodePrefixBytes + sizeof kStartCodePrefixBytes);
      out->push_back(static_cast<uint8_t>(w.code));
      out->insert(out->end(), bytes_.begin() + static_cast<std::ptrdiff_t>(w.dataOffset),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(w.dataOffset + w.dataLength));
      const MacroblockRecord& last = records_[w.firstRecord + w.recordCount - 1];
      result->kept += last.address + 1 - address;
      quantiser = last.quantiser;
      address = last.address + 1;
      continue;
    }
    if (coder.open() && address % width_ == 0) coder.end();
    const MacroblockRecord* mb = kept_[address];
    if (!coder.open()) coder.begin(address, mb != nullptr ? mb->quantiser : quantiser);
    const ConcealmentPlanner::Macroblock& planned = plan_[address];
    if (mb != nullptr) {
      const Walked& w = walked_[static_cast<size_t>(keptSlice_[address])];
      coder.copy(*mb, bytes_.data() + w.dataOffset, w.dataLength);
      if ((mb->flags & kMacroblockIntra) || (mb->flags & kMacroblockPattern)) quantiser = mb->quantiser;
      ++result->kept;
    } else if (planned.fill == ConcealmentPlanner::Fill::kPredict) {
      const int16_t forward[2] = {inUnits(planned.forward[0], output.fullPel[0], output.forwardFCode),
                                  inUnits(planned.forward[1], output.fullPel[0], output.forwardFCode)};
      int16_t backward[2] = {0, 0};
      if (planned.directions & kMacroblockMotionBackward) {
        backward[0] = inUnits(planned.backward[0], output.fullPel[1], output.backwardFCode);
        backward[1] = inUnits(planned.backward[1], output.fullPel[1], output.backwardFCode);
      }
      coder.predict(address, static_cast<uint8_t>(planned.directions & kDirections), forward, backward);
      ++result->concealed;
    } else {
      coder.intra(address, planned.dc);
      ++result->concealed;
    }
    ++address;
  }
  if (coder.open()) coder.end();

  if (!walksClean(*out, from, context)) {
    // Not expected: the picture repeats its reference rather than go out
    // broken.
    out->resize(from);
    const RepeatSliceWriter repeat(context);
    for (uint32_t row = 0; row < height_; ++row) repeat.append(row * width_, row * width_ + width_ - 1, out);
    result->kept = 0;
    result->concealed = count;
    result->repeated = true;
  }

  // The forward motion written, for the pictures that may borrow it.
  result->motion.reset(width_, count, picture.anchors.distance);
  if (picture.writeAs == kBidirectionallyCoded || result->repeated) return;
  for (uint32_t address = 0; address < count; ++address) {
    const MacroblockRecord* mb = kept_[address];
    if (mb != nullptr) {
      if (!(mb->flags & kMacroblockIntra) && (mb->flags & kMacroblockMotionForward)) {
        const int shift = picture.fullPel[0] ? 1 : 0;
        result->motion.set(address, mb->forward[0] * (1 << shift), mb->forward[1] * (1 << shift));
      }
    } else if (plan_[address].fill == ConcealmentPlanner::Fill::kPredict) {
      result->motion.set(address, plan_[address].forward[0], plan_[address].forward[1]);
    }
  }
}

void PictureRecoder::motionOf(ByteSource& video, uint32_t from, uint32_t to, const Picture& picture,
                              MotionField* field) {
  const uint32_t count = width_ * height_;
  field->reset(width_, count, picture.anchors.distance);
  if (picture.codingType != kPredictiveCoded) return;
  std::vector<Slice> slices;
  slicesBetween(video, from, to, &slices);
  walkSlices(video, slices, picture);
  const int shift = picture.fullPel[0] ? 1 : 0;
  for (uint32_t address = 0; address < count; ++address) {
    const MacroblockRecord* mb = kept_[address];
    if (mb == nullptr || (mb->flags & kMacroblockIntra) || !(mb->flags & kMacroblockMotionForward)) continue;
    field->set(address, mb->forward[0] * (1 << shift), mb->forward[1] * (1 << shift));
  }
}

void PictureRecoder::dcOf(ByteSource& video, const std::vector<Slice>& slices, const Picture& picture, bool asItStands,
                          DcField* field) {
  assert(picture.codingType == kIntraCoded);
  const uint32_t count = width_ * height_;
  field->dc.assign(count, {});
  field->known.assign(count, 0);
  walkSlices(video, slices, picture);
  if (asItStands) {
    for (const DcStepFinder::Step& step : steps_) putBack(step);
  }
  std::vector<uint8_t> endsShort(walked_.size(), 0);
  if (!asItStands) {
    for (size_t k = 0; k < walked_.size(); ++k) endsShort[k] = shortfallOf(k) > 0;
  }
  for (uint32_t address = 0; address < count; ++address) {
    const MacroblockRecord* mb = kept_[address];
    // Not what went out: a walk levelled roughly, which a picture going out
    // as P does not keep, a run of DC values levelled, which a picture may
    // have gone out with or without, and a walk that ends short, which may
    // have been moved on in part.
    if (mb == nullptr || !(mb->flags & kMacroblockIntra) ||
        walked_[static_cast<size_t>(keptSlice_[address])].roughlyLevelled ||
        endsShort[static_cast<size_t>(keptSlice_[address])] ||
        (address < levelledAt_.size() && levelledAt_[address] != 0)) {
      continue;
    }
    std::copy(mb->dc, mb->dc + kBlocksPerMacroblock, field->dc[address].begin());
    field->known[address] = 1;
  }
}

void PictureRecoder::levelFromIntraBefore(const DcFieldSource& intraBefore) {
  const DcField* before = nullptr;
  for (size_t k = 0; k < walked_.size(); ++k) {
    Walked& w = walked_[k];
    if (!w.unlevelled && !w.roughlyLevelled) continue;
    if (before == nullptr) before = intraBefore();
    if (before == nullptr) return;
    // The walk's macroblocks: those it keeps, or for one left a hole, those
    // it would have kept, up to the first another walk claimed.
    const int32_t own = w.unlevelled ? -1 : static_cast<int32_t>(k);
    std::vector<int> differences[kColourComponents];
    for (size_t i = 0; i < w.keptCount; ++i) {
      const MacroblockRecord& mb = records_[w.firstRecord + i];
      if (keptSlice_[mb.address] != own) break;
      if (!before->known[mb.address]) continue;
      for (uint32_t b = 0; b < kBlocksPerMacroblock; ++b) {
        differences[componentOfBlock(b)].push_back(before->dc[mb.address][b] - mb.dc[b]);
      }
    }
    const size_t n = differences[0].size();
    if (n < kLeastLevelPairs) continue;
    int offset[kColourComponents];
    int spread[kColourComponents];
    for (uint32_t c = 0; c < kColourComponents; ++c) offset[c] = medianWithSpread(&differences[c], &spread[c]);
    const bool rough = roughLevel(spread[0], n);
    // A walk levelled roughly by the slices around it keeps that level
    // unless the picture before tells it better.
    if (w.roughlyLevelled && rough) continue;
    w.unlevelled = false;
    w.roughlyLevelled = rough;
    for (size_t i = 0; i < w.keptCount; ++i) {
      MacroblockRecord& mb = records_[w.firstRecord + i];
      if (keptSlice_[mb.address] != own) break;
      for (uint32_t b = 0; b < kBlocksPerMacroblock; ++b) mb.dc[b] = static_cast<int16_t>(mb.dc[b] + offset[componentOfBlock(b)]);
      kept_[mb.address] = &mb;
      keptSlice_[mb.address] = static_cast<int32_t>(k);
    }
  }
}

void PictureRecoder::slicesBetween(ByteSource& video, uint32_t from, uint32_t to, std::vector<Slice>* slices) {
  slices->clear();
  video.seek(from);
  for (;;) {
    const uint32_t code = nextStartCode(video);
    const uint32_t at = video.position();
    if (code == NoStartCode || at >= to) break;
    if (!slices->empty()) slices->back().end = at;
    if (isSliceCode(code)) slices->push_back({at, to});
    video.seek(at + kStartCodeSize);
  }
}

bool PictureRecoder::levelsDc(ByteSource& video, uint32_t from, uint32_t to, const Picture& picture,
                              std::vector<Slice>* slices, const DcFieldSource& intraBefore) {
  assert(picture.codingType == kIntraCoded);
  slicesBetween(video, from, to, slices);
  walkSlices(video, *slices, picture);
  if (intraBefore) keepStepsTheIntraBeforeBacks(intraBefore);
  return levelledCount() > 0;
}

bool PictureRecoder::walksClean(const std::vector<uint8_t>& bytes, size_t from, const SliceContext& context) const {
  const SliceWalker walker(context);
  uint32_t next = 0;
  size_t at = from;
  while (at < bytes.size()) {
    // A slice: its start code, then data up to the next start code.
    if (bytes.size() - at < kStartCodeSize || bytes[at] != 0 || bytes[at + 1] != 0 || bytes[at + 2] != 1) return false;
    const uint32_t code = bytes[at + 3];
    size_t end = at + kStartCodeSize;
    while (end + 2 < bytes.size() && !(bytes[end] == 0 && bytes[end + 1] == 0 && bytes[end + 2] == 1)) ++end;
    if (end + 2 >= bytes.size()) end = bytes.size();
    if (!isSliceCode(code) || code - kFirstSliceCode >= height_) return false;
    const SliceWalk walk = walker.walk(code, bytes.data() + at + kStartCodeSize, end - at - kStartCodeSize);
    if (walk.fault != SliceFault::kNone || walk.firstMacroblock != next) return false;
    next = walk.lastMacroblock + 1;
    at = end;
  }
  return next == width_ * height_;
}
