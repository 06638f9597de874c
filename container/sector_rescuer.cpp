#include "container/sector_rescuer.h"

#include <vector>

#include "container/cd_sector_format.h"
#include "container/sector_codes.h"
#include "container/sector_corrector.h"
#include "container/sector_edc.h"
#include "source/start_code.h"

namespace {

// A sync with up to this many bits wrong is still a sector's: single-bit
// errors leave sectors in place, and twelve bytes of chance data come this
// close to the pattern only once in 2^60 or so.
constexpr int kSyncBitsWrongAllowed = 8;

}  // namespace

bool SectorRescuer::findImageStart(ByteSource& image, uint32_t* start) {
  // As the decoder's search: a sync whose prefix recurs a sector later (or
  // the data ends there), ahead of a payload that begins with a start code.
  image.seek(0);
  for (;;) {
    image.skipToSequence(kSyncPrefixBytes, sizeof kSyncPrefixBytes);
    const uint32_t here = image.position();
    if (here >= kImageSearchBytes || image.remaining() < kSectorSize) return false;
    image.seek(here + kSectorHeaderSize);
    const uint32_t head = image.peekU32();
    image.seek(here + kSectorSize);
    if ((image.remaining() == 0 || image.peekU32() == kSyncPrefix) && (head >> 8) == kStartCodePrefix) {
      *start = here;
      return true;
    }
    image.seek(here + 1);
  }
}

SectorRescuer::SectorRescuer(ByteSource& image, const RangeList& payload, RepairReporter* reporter)
    : image_(image), payload_(payload), reporter_(reporter) {}

int64_t SectorRescuer::addressOf(uint32_t sector) {
  uint32_t digits = 0;
  for (uint32_t k = 0; k < kAddressDigits; ++k) {
    digits = digits << 8 | static_cast<uint32_t>(image_.byteAt(sector + kAddressOffset + k));
  }
  return addressFrom(digits);
}

int64_t SectorRescuer::addressFrom(uint32_t digits) {
  uint32_t number = 0;
  for (uint32_t k = 0; k < kAddressDigits; ++k) {
    const uint32_t bcd = (digits >> (8 * (kAddressDigits - 1 - k))) & 0xFF;
    if ((bcd & 0x0F) > 9 || (bcd >> 4) > 9) return -1;
    const uint32_t value = static_cast<uint32_t>((bcd >> 4) * 10 + (bcd & 0x0F));
    number = number * (k == 0 ? 1 : k == 1 ? 60 : kSectorsPerSecond) + value;
  }
  return number;
}

bool SectorRescuer::nearlySync(uint32_t at, bool* exact) {
  int wrong = 0;
  for (uint32_t k = 0; k < kSyncSize; ++k) {
    wrong += __builtin_popcount(static_cast<unsigned>(image_.byteAt(at + k) ^ kSyncBytes[k]));
  }
  *exact = wrong == 0;
  return wrong <= kSyncBitsWrongAllowed;
}

SectorRescuer::Code SectorRescuer::check(uint32_t sector, const SectorCodes::Sector* read) {
  if (uint64_t{sector} + kSectorSize > image_.size()) return Code::kAbsent;
  uint32_t code = 0;
  uint32_t stored = 0;
  if (read != nullptr) {
    code = read->computed;
    stored = read->stored;
  } else {
    image_.seek(sector + kSubheaderOffset);
    image_.readRuns(kEdcCoverage, [&code](const uint8_t* bytes, uint32_t n) { code = SectorEdc::of(bytes, n, code); });
    for (uint32_t k = 0; k < kTrailerSize; ++k) stored |= static_cast<uint32_t>(image_.readU8()) << (8 * k);
  }
  if (stored == kNoEdc) return Code::kAbsent;
  if (code == stored) return Code::kChecksOut;
  SectorCorrector::Bit bits[2];
  const int wrong = SectorCorrector::locate(code ^ stored, bits);
  if (wrong == 0) return Code::kFails;
  // Bits of the stored code itself need no patch; two of one byte, one.
  std::vector<PatchedSource::Patch> patches;
  for (int k = 0; k < wrong; ++k) {
    if (bits[k].byte >= kEdcCoverage) continue;
    const uint32_t offset = sector + kSubheaderOffset + bits[k].byte;
    if (!patches.empty() && patches.back().offset == offset) {
      patches.back().mask = static_cast<uint8_t>(patches.back().mask | bits[k].mask);
    } else {
      patches.push_back({offset, bits[k].mask});
    }
  }
  if (patches.size() == 2 && patches[0].offset > patches[1].offset) std::swap(patches[0], patches[1]);
  corrections_.insert(corrections_.end(), patches.begin(), patches.end());
  if (reporter_ != nullptr) reporter_->corrected(sector, static_cast<uint32_t>(wrong));
  return wrong == 1 ? Code::kCorrected : Code::kCorrectedPair;
}

void SectorRescuer::mend() {
  ranges_.clear();
  suspect_.clear();
  damaged_.clear();
  corrections_.clear();
  lostSectors_ = 0;
  // Each payload kept, whether its code fails it, and whether a sector was
  // left out just before it.
  struct Piece {
    uint32_t start;
    uint32_t end;
    bool suspect;
    bool lostBefore;
    bool damaged;
  };
  std::vector<Piece> pieces;
  bool lostBefore = false;
  int64_t lastAddress = -1;
  // A sector whose address does not follow the one before stands where
  // sectors were skipped, doubled or moved: as good as a loss.
  // `read`: what SectorCodes read of the sector, when it did.
  const auto keep = [&](uint32_t start, uint32_t end, bool suspect, bool damaged, const SectorCodes::Sector* read) {
    if (end <= start) return;
    const int64_t address = read != nullptr ? addressFrom(read->address) : addressOf(start - kSectorHeaderSize);
    if (lastAddress >= 0 && address != lastAddress + 1) lostBefore = true;
    lastAddress = address;
    pieces.push_back({start, end, suspect || damaged, lostBefore, damaged});
    lostBefore = false;
  };
  const uint32_t count = payload_.count();
  const uint32_t* pairs = payload_.pairs();
  // The codes of the sectors the decoder found, worked out all at once.
  std::vector<uint32_t> sectors(count);
  for (uint32_t k = 0; k < count; ++k) sectors[k] = pairs[2 * k] - kSectorHeaderSize;
  const std::vector<SectorCodes::Sector> codes = SectorCodes::of(image_, sectors);
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t start = pairs[2 * k];
    const uint32_t end = pairs[2 * k + 1];
    const uint32_t payloadEnd = end - start > kPayloadSize ? start + kPayloadSize : end;
    const Code code = check(sectors[k], &codes[k]);
    // A sector the image does not hold whole was not read.
    const bool whole = uint64_t{sectors[k]} + kSectorSize <= image_.size();
    keep(start, payloadEnd, code == Code::kAbsent || code == Code::kCorrectedPair, code == Code::kFails,
         whole ? &codes[k] : nullptr);
    if (k + 1 == count) {
      // The last trailer and whatever follows it, as they are.
      if (payloadEnd < end) pieces.push_back({payloadEnd, end, true, false, false});
      break;
    }
    // Each sector due before the range's end.
    for (uint64_t sync = uint64_t{start} + kPayloadToNextSector; sync + kSectorHeaderSize < end; sync += kSectorSize) {
      const auto dueStart = static_cast<uint32_t>(sync + kSectorHeaderSize);
      const uint32_t dueEnd = end - dueStart < kPayloadSize ? end : dueStart + kPayloadSize;
      bool exact = false;
      if (nearlySync(static_cast<uint32_t>(sync), &exact)) {
        // A damaged sync: damage is near, whatever the code says.
        const Code due = check(static_cast<uint32_t>(sync), nullptr);
        keep(dueStart, dueEnd, !exact || due == Code::kAbsent || due == Code::kCorrectedPair, due == Code::kFails,
             nullptr);
        continue;
      }
      ++lostSectors_;
      lostBefore = true;
      if (reporter_ != nullptr) {
        reporter_->dropped(RepairReporter::Drop::kLostSector, static_cast<uint32_t>(sync),
                           dueEnd - static_cast<uint32_t>(sync));
      }
    }
  }

  // The payloads on either side of a loss hold the ends of packets and
  // slices cut there.
  uint32_t viewStart = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    const bool suspect = piece.suspect || piece.lostBefore || (i + 1 < pieces.size() && pieces[i + 1].lostBefore);
    // Pieces that follow each other in the image (the last payload and the
    // tail after it) stay one range.
    ranges_.appendJoined(piece.start, piece.end);
    const uint32_t viewEnd = viewStart + (piece.end - piece.start);
    if (suspect) suspect_.appendJoined(viewStart, viewEnd);
    if (piece.damaged) {
      damaged_.appendJoined(viewStart, viewEnd);
    } else if (piece.lostBefore && i > 0) {
      // Where the view joins the payloads on either side of a loss, what
      // follows continues nothing before it: data read on across the join
      // is not as written.
      damaged_.appendJoined(viewStart, viewStart + 1);
    }
    viewStart = viewEnd;
  }
}
