#include "container/sector_codes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "container/sector_edc.h"
#include "source/memory_source.h"
#include "source/platform.h"
#include "source/segmented_file_source.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint32_t kSector = 2352;

class SectorCodesTest : public testing::TestWithParam<SectorCodes::Work> {};

// Each sector as read, against the code of its subheader and payload worked
// out here, the four bytes of its trailer and the first three of its
// address; all 0 for a sector the image does not hold whole.
void expectCodes(ByteSource& source, const Bytes& image, const std::vector<uint32_t>& sectors,
                 SectorCodes::Work work) {
  const std::vector<SectorCodes::Sector> found = SectorCodes::of(source, sectors, work);
  ASSERT_EQ(found.size(), sectors.size());
  for (size_t k = 0; k < sectors.size(); ++k) {
    SectorCodes::Sector expected;
    if (uint64_t{sectors[k]} + kSector <= image.size()) {
      const uint8_t* sector = image.data() + sectors[k];
      expected.computed = SectorEdc::of(sector + 16, 2332);
      expected.stored = uint32_t{sector[2348]} | uint32_t{sector[2349]} << 8 | uint32_t{sector[2350]} << 16 |
                        uint32_t{sector[2351]} << 24;
      expected.address = uint32_t{sector[12]} << 16 | uint32_t{sector[13]} << 8 | sector[14];
    }
    ASSERT_EQ(found[k].computed, expected.computed) << "sector " << k << " at " << sectors[k];
    ASSERT_EQ(found[k].stored, expected.stored) << "sector " << k << " at " << sectors[k];
    ASSERT_EQ(found[k].address, expected.address) << "sector " << k << " at " << sectors[k];
  }
}

TEST_P(SectorCodesTest, GivesEachSectorsCodeInMemoryAndAcrossWindowsAndMembers) {
  // Random bytes: a code is as likely wrong as right where a sector is read
  // from the wrong place. Enough sectors for the work to be shared.
  std::mt19937 random(5);
  Bytes image(1500 * kSector + 1000);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());

  // Every sector; every third, from an offset not a multiple of a sector;
  // and ones the image holds only in part at its end.
  std::vector<uint32_t> every, third;
  for (uint32_t at = 0; at + kSector <= image.size(); at += kSector) every.push_back(at);
  for (uint32_t at = 7; at + kSector <= image.size(); at += 3 * kSector) third.push_back(at);
  std::vector<uint32_t> tail = every;
  tail.push_back(static_cast<uint32_t>(image.size()) - kSector + 1);
  tail.push_back(static_cast<uint32_t>(image.size()) - 10);

  MemorySource memory(image.data(), image.size());
  for (const std::vector<uint32_t>* sectors : {&every, &third, &tail}) {
    expectCodes(memory, image, *sectors, GetParam());
  }

  // Files of a set, cut within sectors (once between a sector's sync and
  // its address, so that a span begins with the address), read through
  // windows of one granule of which two are held: spans end within sectors
  // and end while the codes are worked out.
  TempDir dir;
  const size_t cut[] = {0, 400 * kSector + 100, 401 * kSector + 2000, 700 * kSector + 12, image.size()};
  for (size_t m = 0; m + 1 < sizeof cut / sizeof cut[0]; ++m) {
    dir.write("movie.00" + std::to_string(m), Bytes(image.begin() + cut[m], image.begin() + cut[m + 1]));
  }
  const auto granule = static_cast<uint32_t>(platform::allocationGranularity());
  for (const SegmentedFileSource::WindowBudget budget :
       {SegmentedFileSource::kDefaultBudget, SegmentedFileSource::WindowBudget{granule, 2}}) {
    SCOPED_TRACE(budget.windowSize);
    SegmentedFileSource set(dir.file("movie.000").c_str(), budget);
    ASSERT_EQ(set.size(), image.size());
    for (const std::vector<uint32_t>* sectors : {&every, &third, &tail}) expectCodes(set, image, *sectors, GetParam());
  }
  EXPECT_TRUE(SectorCodes::of(memory, {}, GetParam()).empty());
}

INSTANTIATE_TEST_SUITE_P(Work, SectorCodesTest,
                         testing::Values(SectorCodes::Work::kOnThisThread, SectorCodes::Work::kOnTwoThreads),
                         [](const testing::TestParamInfo<SectorCodes::Work>& info) {
                           return info.param == SectorCodes::Work::kOnThisThread ? "OnThisThread" : "OnTwoThreads";
                         });

}  // namespace
