#include "container/sector_codes.h"

#include <algorithm>
#include <cassert>
#include <system_error>
#include <thread>

#include "container/cd_sector_format.h"
#include "container/sector_edc.h"

namespace {

// Fewer sectors of a span than this are not worth a thread: starting one
// costs about as much as working out the codes of a few dozen.
constexpr size_t kLeastSplit = 256;

}  // namespace

bool SectorCodes::worthwhile() { return std::thread::hardware_concurrency() > 1; }

namespace {

// The `count` bytes at `bytes` as a number, the first byte highest or lowest.
uint32_t bigEndian(const uint8_t* bytes, uint32_t count) {
  uint32_t value = 0;
  for (uint32_t k = 0; k < count; ++k) value = value << 8 | bytes[k];
  return value;
}
uint32_t littleEndian(const uint8_t* bytes, uint32_t count) {
  uint32_t value = 0;
  for (uint32_t k = count; k > 0; --k) value = value << 8 | bytes[k - 1];
  return value;
}

}  // namespace

void SectorCodes::fromMemory(const uint8_t* base, uint32_t baseOffset, const uint32_t* sectors, Sector* found,
                             size_t count) {
  for (size_t k = 0; k < count; ++k) {
    // From the address on: the sync before it may lie before `base`.
    const uint8_t* address = base + (sectors[k] + kAddressOffset - baseOffset);
    found[k].address = bigEndian(address, kAddressDigits);
    found[k].computed = SectorEdc::of(address + (kSubheaderOffset - kAddressOffset), kEdcCoverage);
    found[k].stored = littleEndian(address + (kEdcOffset - kAddressOffset), kTrailerSize);
  }
}

SectorCodes::Sector SectorCodes::fromImage(ByteSource& image, uint32_t sector) {
  Sector found;
  image.seek(sector + kAddressOffset);
  uint8_t digits[kAddressDigits];
  for (uint8_t& digit : digits) digit = static_cast<uint8_t>(image.readU8());
  found.address = bigEndian(digits, kAddressDigits);
  image.seek(sector + kSubheaderOffset);
  image.readRuns(kEdcCoverage, [&found](const uint8_t* run, uint32_t n) {
    found.computed = SectorEdc::of(run, n, found.computed);
  });
  uint8_t trailer[kTrailerSize];  // the cursor is on it now
  for (uint8_t& byte : trailer) byte = static_cast<uint8_t>(image.readU8());
  found.stored = littleEndian(trailer, kTrailerSize);
  return found;
}

std::vector<SectorCodes::Sector> SectorCodes::of(ByteSource& image, const std::vector<uint32_t>& sectors,
                                                  Work work) {
  assert(std::is_sorted(sectors.begin(), sectors.end()));
  std::vector<Sector> codes(sectors.size());
  const bool split = work == Work::kOnTwoThreads || (work == Work::kWhereWorthwhile && worthwhile());
  // The end of the bytes read of a sector, 64-bit: offsets near the top of
  // the 32-bit range run past it.
  const auto readEnd = [&](size_t k) { return uint64_t{sectors[k]} + kSectorSize; };
  size_t k = 0;
  while (k < sectors.size()) {
    if (uint64_t{sectors[k]} + kSectorSize > image.size()) {
      ++k;  // not held whole: left at 0
      continue;
    }
    // From the address on: the sync before it is not read.
    const uint32_t first = sectors[k] + kAddressOffset;
    const ByteSource::Span span = image.spanAt(first);
    // The sectors from k on whose bytes read all lie in the span.
    size_t end = k;
    const uint64_t spanEnd = uint64_t{span.start} + span.length;
    while (end < sectors.size() && span.length > 0 && readEnd(end) <= spanEnd &&
           readEnd(end) <= image.size()) {
      ++end;
    }
    if (end == k) {
      // Across the end of a span, or not in memory: read through the cursor.
      codes[k] = fromImage(image, sectors[k]);
      ++k;
      continue;
    }
    const size_t count = end - k;
    size_t mine = count;
    if (split && count >= kLeastSplit) {
      mine = count / 2;
      try {
        std::thread other(&SectorCodes::fromMemory, span.data, span.start, &sectors[k + mine], &codes[k + mine],
                          count - mine);
        fromMemory(span.data, span.start, &sectors[k], &codes[k], mine);
        other.join();
        k = end;
        continue;
      } catch (const std::system_error&) {
        mine = count;  // no thread to be had: all of them here
      }
    }
    fromMemory(span.data, span.start, &sectors[k], &codes[k], mine);
    k = end;
  }
  return codes;
}
