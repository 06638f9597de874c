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

void SectorCodes::fromMemory(const uint8_t* base, uint32_t baseOffset, const uint32_t* sectors, uint32_t* codes,
                             size_t count) {
  for (size_t k = 0; k < count; ++k) {
    codes[k] = SectorEdc::of(base + (sectors[k] + kSubheaderOffset - baseOffset), kEdcCoverage);
  }
}

std::vector<uint32_t> SectorCodes::of(ByteSource& image, const std::vector<uint32_t>& sectors, Work work) {
  assert(std::is_sorted(sectors.begin(), sectors.end()));
  std::vector<uint32_t> codes(sectors.size(), 0);
  const bool split = work == Work::kOnTwoThreads || (work == Work::kWhereWorthwhile && worthwhile());
  // The end of a sector's covered bytes, 64-bit: offsets near the top of
  // the 32-bit range run past it.
  const auto coverageEnd = [&](size_t k) { return uint64_t{sectors[k]} + kSubheaderOffset + kEdcCoverage; };
  size_t k = 0;
  while (k < sectors.size()) {
    if (uint64_t{sectors[k]} + kSectorSize > image.size()) {
      ++k;  // not held whole: left at 0
      continue;
    }
    const uint32_t first = sectors[k] + kSubheaderOffset;
    const ByteSource::Span span = image.spanAt(first);
    // The sectors from k on whose covered bytes all lie in the span.
    size_t end = k;
    const uint64_t spanEnd = uint64_t{span.start} + span.length;
    while (end < sectors.size() && span.length > 0 && coverageEnd(end) <= spanEnd &&
           uint64_t{sectors[end]} + kSectorSize <= image.size()) {
      ++end;
    }
    if (end == k) {
      // Across the end of a span, or not in memory: read as a run.
      uint32_t code = 0;
      image.seek(first);
      image.readRuns(kEdcCoverage, [&code](const uint8_t* bytes, uint32_t n) { code = SectorEdc::of(bytes, n, code); });
      codes[k++] = code;
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
