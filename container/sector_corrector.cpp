#include "container/sector_corrector.h"

#include <cassert>
#include <unordered_map>
#include <vector>

#include "container/cd_sector_format.h"
#include "container/sector_edc.h"

namespace {

// Bits a pattern may touch: those the code covers, then the stored code's.
constexpr uint32_t kCoveredBits = kEdcCoverage * 8;
constexpr uint32_t kCodeBits = kTrailerSize * 8;
constexpr uint32_t kBits = kCoveredBits + kCodeBits;
static_assert(kBits == (kEdcCoverage + kTrailerSize) * 8, "the covered bytes and the stored code");
constexpr uint32_t kAmbiguous = UINT32_MAX;

struct Table {
  std::vector<uint32_t> syndromes;                   // by bit index: byte * 8 + bit
  std::unordered_map<uint32_t, uint32_t> bitOf;      // syndrome -> bit index, or kAmbiguous
};

Table buildTable() {
  Table t;
  t.syndromes.resize(kBits);
  // A wrong bit in the last covered byte gives the code of that byte alone;
  // each byte further from the end, the code of it followed by zeros: the
  // code starts from 0, so leading zeros leave it alone.
  const uint8_t zero = 0;
  for (uint32_t bit = 0; bit < 8; ++bit) {
    const uint8_t mask = static_cast<uint8_t>(1u << bit);
    uint32_t syndrome = SectorEdc::of(&mask, 1);
    for (uint32_t byte = kEdcCoverage; byte-- > 0;) {
      t.syndromes[byte * 8 + bit] = syndrome;
      syndrome = SectorEdc::of(&zero, 1, syndrome);
    }
  }
  // A wrong bit of the stored code, read little-endian, flips that bit of it.
  for (uint32_t bit = 0; bit < kCodeBits; ++bit) t.syndromes[kCoveredBits + bit] = 1u << bit;
  t.bitOf.reserve(kBits * 2);
  for (uint32_t index = 0; index < kBits; ++index) {
    const auto [at, inserted] = t.bitOf.emplace(t.syndromes[index], index);
    if (!inserted) at->second = kAmbiguous;
  }
  return t;
}

const Table& table() {
  static const Table kTable = buildTable();
  return kTable;
}

SectorCorrector::Bit bitAt(uint32_t index) {
  return {index / 8, static_cast<uint8_t>(1u << (index % 8))};
}

}  // namespace

uint32_t SectorCorrector::syndromeOf(uint32_t byte, uint8_t mask) {
  assert(byte < kEdcCoverage + kTrailerSize && mask != 0 && (mask & (mask - 1)) == 0);
  uint32_t bit = 0;
  while ((mask >> bit) != 1) ++bit;
  return table().syndromes[byte * 8 + bit];
}

int SectorCorrector::locate(uint32_t syndrome, Bit* bits) {
  assert(syndrome != 0 && bits != nullptr);
  const Table& t = table();
  const auto single = t.bitOf.find(syndrome);
  if (single != t.bitOf.end()) {
    if (single->second == kAmbiguous) return 0;
    bits[0] = bitAt(single->second);
    return 1;
  }
  // Two bits: the syndrome is the XOR of theirs. Found from either end;
  // a second pair that fits makes the answer ambiguous.
  int pairs = 0;
  for (uint32_t first = 0; first < kBits; ++first) {
    const auto other = t.bitOf.find(syndrome ^ t.syndromes[first]);
    if (other == t.bitOf.end() || other->second == kAmbiguous || other->second <= first) continue;
    if (++pairs > 1) return 0;
    bits[0] = bitAt(first);
    bits[1] = bitAt(other->second);
  }
  return pairs == 1 ? 2 : 0;
}
