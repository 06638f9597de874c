#ifndef ORVANTE_CONTAINER_SECTOR_RESCUER_H_
#define ORVANTE_CONTAINER_SECTOR_RESCUER_H_

#include <cstdint>
#include <vector>

#include "source/byte_source.h"
#include "container/sector_codes.h"
#include "source/patched_source.h"
#include "source/range_list.h"
#include "source/repair_reporter.h"

// SectorRescuer leaves out of a sector image's payload what lost sectors put
// into it, and tells which of the payload is known to be as it was written.
//
// A RiffDecoder gives each accepted sector's payload as a range that runs on
// up to the next accepted sector, so a sector that was read back as zeros,
// or whose sync a failing disc damaged, lies inside the range before it
// together with that sector's trailer: bytes that are no MPEG data, and that
// break the packet and the slice that run on across them. Here a range that
// runs on past its payload keeps its payload; each sector due after it
// (every 2352 bytes) gives its payload when its sync is recognisable with a
// few bits wrong, and nothing when it is not (zeros, or another disc's
// data). The last range, which runs on to the end of the data with whatever
// follows the last sector, is kept as the decoder gave it, as is every range
// of a clean image: they are all one payload long.
//
// Each sector carries an error detection code over its subheader and
// payload. A payload whose code checks out is as the disc was written;
// suspect() holds the rest: payloads whose code fails or is absent, those
// on either side of a sector left out or of sectors that do not follow each
// other by their addresses, those behind a damaged sync, and the last
// range's tail. A check of the payload can leave out what is not suspect.
//
// Where the code fails because one or two bits are wrong, the code itself
// tells which (SectorCorrector): corrections() puts them right, for a
// PatchedSource over the image. Put right from one wrong bit, the sector is
// as written: of the syndromes a sector with more wrong bits gives, as good
// as random, one in 230,000 is that of a single bit. Put right from two, it
// stays suspect: one in 25 of those syndromes is that of a pair (in a
// scratch, where every sector is garbled, about as many as the pairs that
// are real). What fails beyond that is damaged(): data that may parse but
// is not what was written.
//
// The rescuer does not own the image, the decoder's ranges or the reporter;
// they must outlive it. It owns the ranges it gives.
class SectorRescuer {
 public:
  // `payload`: the ranges a RiffDecoder found in `image`. `reporter` may be
  // null; it hears of each sector left out.
  SectorRescuer(ByteSource& image, const RangeList& payload, RepairReporter* reporter);

  SectorRescuer(const SectorRescuer&) = delete;
  SectorRescuer& operator=(const SectorRescuer&) = delete;

  // Looks for the first sector of an image that a RiffDecoder, looking no
  // further than ten sectors, did not recognise: one whose first sectors
  // were read back as zeros or lost. Searches the first kImageSearchBytes of
  // `image` the way the decoder searches its window; true, with `*start` the
  // offset of the sector found, when one is there. Moves the cursor.
  static bool findImageStart(ByteSource& image, uint32_t* start);
  static constexpr uint32_t kImageSearchBytes = 32 << 20;

  // Fills ranges() and suspect().
  void mend();
  // The payload, as ranges of the image.
  const RangeList& ranges() const { return ranges_; }
  // The payload that is not known to be as written, as ranges of the view
  // over ranges(): increasing, not overlapping.
  const RangeList& suspect() const { return suspect_; }
  // Of suspect(), the payloads whose code fails and could not be put right,
  // and the first byte of each payload that follows a loss (a sector left
  // out, or addresses that do not follow each other): what is read on
  // across the join continues nothing before it.
  const RangeList& damaged() const { return damaged_; }
  // The bytes of the image to put right, in increasing offsets.
  const std::vector<PatchedSource::Patch>& corrections() const { return corrections_; }
  // Sectors left out by the last mend().
  uint32_t lostSectors() const { return lostSectors_; }

 private:
  // The address of the sector at `sector` as a number of sectors; -1 when
  // its digits are not decimal.
  int64_t addressOf(uint32_t sector);
  // The same of the address's three bytes, the first highest.
  static int64_t addressFrom(uint32_t digits);
  // Whether the 12 bytes at `at` are the sync pattern, give or take a few
  // bits; `exact` tells whether none is wrong.
  bool nearlySync(uint32_t at, bool* exact);
  // kCorrected: one wrong bit put right; kCorrectedPair: two.
  enum class Code { kChecksOut, kCorrected, kCorrectedPair, kFails, kAbsent };
  // What the sector at `sector`'s error detection code says of its
  // subheader and payload; for kCorrected and kCorrectedPair, the bits to
  // put right are added to corrections_ and reported. `read`, when given,
  // holds the codes the sector gives and holds (SectorCodes); else they are
  // read here.
  Code check(uint32_t sector, const SectorCodes::Sector* read);
  ByteSource& image_;
  const RangeList& payload_;
  RepairReporter* const reporter_;
  RangeList ranges_;
  RangeList suspect_;
  RangeList damaged_;
  std::vector<PatchedSource::Patch> corrections_;
  uint32_t lostSectors_ = 0;
};

#endif  // ORVANTE_CONTAINER_SECTOR_RESCUER_H_
