#include "container/sector_corrector.h"

#include <cassert>
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

// The one-bit syndromes, by bit index (byte * 8 + bit), and the bit of each
// syndrome in a table of open addressing. A pair of wrong bits is sought by
// looking up, for every bit, the syndrome the other would have: some 18,000
// lookups for a sector that no pair explains (the usual case where a sector
// is garbled), most of them answered by a filter of one bit per hash that
// stays in the processor's cache.
class Table {
 public:
  static constexpr uint32_t kNone = UINT32_MAX - 1;

  Table() {
    syndromes_.resize(kBits);
    // A wrong bit in the last covered byte gives the code of that byte
    // alone; each byte further from the end, the code of it followed by
    // zeros: the code starts from 0, so leading zeros leave it alone.
    const uint8_t zero = 0;
    for (uint32_t bit = 0; bit < 8; ++bit) {
      const uint8_t mask = static_cast<uint8_t>(1u << bit);
      uint32_t syndrome = SectorEdc::of(&mask, 1);
      for (uint32_t byte = kEdcCoverage; byte-- > 0;) {
        syndromes_[byte * 8 + bit] = syndrome;
        syndrome = SectorEdc::of(&zero, 1, syndrome);
      }
    }
    // A wrong bit of the stored code, read little-endian, flips that bit of it.
    for (uint32_t bit = 0; bit < kCodeBits; ++bit) syndromes_[kCoveredBits + bit] = 1u << bit;
    filter_.assign(kFilterBits / 64, 0);
    slots_.assign(kSlots, Slot{0, kNone});
    for (uint32_t index = 0; index < kBits; ++index) {
      const uint32_t syndrome = syndromes_[index];
      assert(syndrome != 0);  // the code sees every wrong bit
      filter_[filterBit(syndrome) / 64] |= uint64_t{1} << (filterBit(syndrome) % 64);
      Slot& slot = slots_[slotFor(syndrome)];
      slot.index = slot.syndrome == syndrome ? kAmbiguous : index;
      slot.syndrome = syndrome;
    }
  }

  uint32_t syndrome(uint32_t index) const { return syndromes_[index]; }
  // The bit whose syndrome `syndrome` is, kAmbiguous when more than one
  // bit's is, or kNone.
  uint32_t bitOf(uint32_t syndrome) const {
    const uint32_t at = filterBit(syndrome);
    if ((filter_[at / 64] >> (at % 64) & 1) == 0) return kNone;
    const Slot& slot = slots_[slotFor(syndrome)];
    return slot.syndrome == syndrome ? slot.index : kNone;
  }

 private:
  struct Slot {
    uint32_t syndrome;  // 0: empty, as no bit's syndrome is 0
    uint32_t index;
  };
  // 2^20 filter bits (128 KiB) hold the 18,656 syndromes with about one
  // lookup in 56 passing it for nothing; 2^16 slots, a quarter full.
  static constexpr uint32_t kFilterBits = 1u << 20;
  static constexpr uint32_t kSlots = 1u << 16;
  static_assert(kBits * 3 < kSlots && kBits * 50 < kFilterBits, "sparse enough to be quick");

  static uint32_t hash(uint32_t syndrome) { return syndrome * 0x9E3779B1u; }
  static uint32_t filterBit(uint32_t syndrome) { return hash(syndrome) >> 12; }
  // Linear probing from the hash's top bits to the slot that holds
  // `syndrome` or the first empty one.
  size_t slotFor(uint32_t syndrome) const {
    size_t at = hash(syndrome) >> 16;
    while (slots_[at].syndrome != 0 && slots_[at].syndrome != syndrome) at = (at + 1) % kSlots;
    return at;
  }

  std::vector<uint32_t> syndromes_;
  std::vector<uint64_t> filter_;
  std::vector<Slot> slots_;
};

const Table& table() {
  static const Table kTable;
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
  return table().syndrome(byte * 8 + bit);
}

int SectorCorrector::locate(uint32_t syndrome, Bit* bits) {
  assert(syndrome != 0 && bits != nullptr);
  const Table& t = table();
  const uint32_t single = t.bitOf(syndrome);
  if (single != Table::kNone) {
    if (single == kAmbiguous) return 0;
    bits[0] = bitAt(single);
    return 1;
  }
  // Two bits: the syndrome is the XOR of theirs. Found from either end;
  // a second pair that fits makes the answer ambiguous.
  int pairs = 0;
  for (uint32_t first = 0; first < kBits; ++first) {
    const uint32_t other = t.bitOf(syndrome ^ t.syndrome(first));
    if (other == Table::kNone || other == kAmbiguous || other <= first) continue;
    if (++pairs > 1) return 0;
    bits[0] = bitAt(first);
    bits[1] = bitAt(other);
  }
  return pairs == 1 ? 2 : 0;
}
