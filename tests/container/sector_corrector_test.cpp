#include "container/sector_corrector.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "container/cd_sector_format.h"
#include "container/sector_edc.h"

namespace {

// The syndrome of flipping `bits` in a sector's covered bytes and stored
// code, computed from the code itself.
uint32_t syndromeOfFlips(const std::vector<SectorCorrector::Bit>& bits) {
  std::vector<uint8_t> covered(kEdcCoverage, 0);
  std::mt19937 random(7);
  for (uint8_t& byte : covered) byte = static_cast<uint8_t>(random());
  const uint32_t stored = SectorEdc::of(covered.data(), covered.size());
  uint32_t read = stored;
  for (const SectorCorrector::Bit& bit : bits) {
    if (bit.byte < kEdcCoverage) {
      covered[bit.byte] ^= bit.mask;
    } else {
      read ^= uint32_t{bit.mask} << (8 * (bit.byte - kEdcCoverage));
    }
  }
  return SectorEdc::of(covered.data(), covered.size()) ^ read;
}

}  // namespace

TEST(SectorCorrector, LocatesEveryWrongBitAndPairsOfThem) {
  // Every single bit, of the covered bytes and of the stored code.
  int wrongSingles = 0;
  for (uint32_t byte = 0; byte < kEdcCoverage + kTrailerSize; ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      const SectorCorrector::Bit flip{byte, static_cast<uint8_t>(1u << bit)};
      const uint32_t syndrome = syndromeOfFlips({flip});
      SectorCorrector::Bit found[2];
      const int count = SectorCorrector::locate(syndrome, found);
      if (count != 1 || found[0].byte != flip.byte || found[0].mask != flip.mask) ++wrongSingles;
      if (byte == 1000 && bit == 3) {
        EXPECT_EQ(SectorCorrector::syndromeOf(byte, flip.mask), syndrome);
      }
    }
  }
  EXPECT_EQ(wrongSingles, 0);

  // Pairs drawn at random, and the two ends of the sector.
  std::mt19937 random(11);
  const uint32_t bits = (kEdcCoverage + kTrailerSize) * 8;
  int located = 0;
  int ambiguous = 0;
  for (int trial = 0; trial < 300; ++trial) {
    uint32_t a = random() % bits;
    uint32_t b = trial == 0 ? bits - 1 : random() % bits;
    if (trial == 0) a = 0;
    if (a == b) continue;
    if (a > b) std::swap(a, b);
    const SectorCorrector::Bit flips[2] = {{a / 8, static_cast<uint8_t>(1u << (a % 8))},
                                           {b / 8, static_cast<uint8_t>(1u << (b % 8))}};
    SectorCorrector::Bit found[2];
    const int count = SectorCorrector::locate(syndromeOfFlips({flips[0], flips[1]}), found);
    if (count == 0) {
      ++ambiguous;
      continue;
    }
    ASSERT_EQ(count, 2);
    EXPECT_EQ(found[0].byte * 8 + __builtin_ctz(found[0].mask), a);
    EXPECT_EQ(found[1].byte * 8 + __builtin_ctz(found[1].mask), b);
    ++located;
  }
  // Each pair found is the right one. Some pairs share their syndrome with
  // another pair (the code tells two wrong bits apart from one, not always
  // from every other two): about one in twelve, left alone.
  EXPECT_GE(located, 250);
  EXPECT_LE(ambiguous, 40);
  EXPECT_GT(ambiguous, 0) << "no pair ambiguous: is the search for a second pair gone?";
}

TEST(SectorCorrector, WhatItLocatesInGarbageExplainsTheSyndrome) {
  // A garbled sector's syndrome is as good as random: mostly no pattern of
  // one or two bits explains it, and when one does, its bits give it back.
  std::mt19937 random(5);
  int located = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const uint32_t syndrome = static_cast<uint32_t>(random()) | 1u;
    SectorCorrector::Bit found[2];
    const int count = SectorCorrector::locate(syndrome, found);
    ASSERT_LE(count, 2);
    uint32_t explained = 0;
    for (int k = 0; k < count; ++k) explained ^= SectorCorrector::syndromeOf(found[k].byte, found[k].mask);
    if (count > 0) {
      EXPECT_EQ(explained, syndrome);
      if (count == 2) {
        EXPECT_LT(found[0].byte * 8 + __builtin_ctz(found[0].mask), found[1].byte * 8 + __builtin_ctz(found[1].mask));
      }
      ++located;
    }
  }
  // About 1.7e8 pairs among 4.3e9 syndromes: some 4% are explained.
  EXPECT_GT(located, 2);
  EXPECT_LT(located, 40) << located;
}
