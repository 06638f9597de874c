#include "source/segmented_file_source.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "source/platform.h"
#include "source/range_list.h"
#include "source/range_view_source.h"

#include "tests/support/special_files.h"
#include "tests/support/temp_dir.h"

namespace {

class SegmentedFileSourceTest : public testing::Test {
 protected:
  // Creates member `name` holding `length` bytes that differ from those of
  // the members made before, and adds them to the expected joined stream.
  void addSegment(const std::string& name, size_t length) {
    Bytes bytes(length);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(++made_ * 7 + 3);
    folder_.write(name, bytes);
    joined_.insert(joined_.end(), bytes.begin(), bytes.end());
  }
  // Creates member `name` of `length` zero bytes without using disk space.
  void addSparseSegment(const std::string& name, uint64_t length) {
    folder_.write(name, {});
    std::filesystem::resize_file(std::filesystem::u8path(path(name)), length);
  }
  void addFolder(const std::string& name) {
    ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path(path(name))));
  }
  std::string path(const std::string& name) const { return folder_.file(name); }
  std::unique_ptr<SegmentedFileSource> openAs(const std::string& name) const {
    return std::make_unique<SegmentedFileSource>(path(name).c_str());
  }
  // Reads every byte of the joined stream at the indexes `order` gives for
  // 0, 1, ..., and fails at the first that differs from the members' bytes.
  template <typename Order>
  void expectReadsInOrder(SegmentedFileSource& source, Order order) const {
    ASSERT_EQ(source.size(), joined_.size());
    for (uint32_t i = 0; i < source.size(); ++i) {
      const uint32_t index = order(i, source.size());
      ASSERT_EQ(source.byteAt(index), joined_[index]) << "index " << index;
    }
  }
  void expectReadsInEveryOrder(SegmentedFileSource& source) const {
    expectReadsInOrder(source, [](uint32_t i, uint32_t) { return i; });
    expectReadsInOrder(source, [](uint32_t i, uint32_t n) { return n - 1 - i; });
    expectReadsInOrder(source, [](uint32_t i, uint32_t n) { return i % 2 ? n - 1 - i / 2 : i / 2; });
  }

  TempDir folder_;
  Bytes joined_;
  int made_ = 0;
};

}  // namespace

TEST_F(SegmentedFileSourceTest, FindsTheWholeSetFromAnyMemberOrFromItsBaseName) {
  addSegment("movie.000", 10);
  addSegment("movie.001", 20);
  addSegment("movie.002", 30);
  // Windows takes '\\' to separate folders as '/' does.
  const std::string backslashed = folder_.path() + "\\movie.001";
  const std::vector<std::string> names = {path("movie.001"), path("movie"), path("movie.000"), path("movie.002"),
#ifdef _WIN32
                                          backslashed
#endif
  };
  for (const std::string& given : names) {
    SCOPED_TRACE(given);
    auto source = std::make_unique<SegmentedFileSource>(given.c_str());
    const std::string separator = given == backslashed ? "\\" : "/";
    EXPECT_EQ(source->baseName(), folder_.path() + separator + "movie");
    EXPECT_EQ(source->numberWidth(), 3u);
    EXPECT_EQ(source->segmentCount(), 3u);
    EXPECT_FALSE(source->tooLarge());
    EXPECT_EQ(source->size(), 60u);
    EXPECT_EQ(source->byteAt(10), folder_.read("movie.001").front());
    EXPECT_EQ(source->byteAt(59), folder_.read("movie.002").back());
    EXPECT_EQ(source->segmentName(7), folder_.path() + separator + "movie.007");
  }
}

TEST_F(SegmentedFileSourceTest, ClosesUpGapsInTheNumbering) {
  addSegment("movie.001", 4);
  addSegment("movie.003", 6);
  auto source = openAs("movie.003");
  ASSERT_EQ(source->segmentCount(), 2u);
  EXPECT_EQ(source->segmentNumber(0), 1u);
  EXPECT_EQ(source->segmentNumber(1), 3u);
  expectReadsInEveryOrder(*source);
}

TEST_F(SegmentedFileSourceTest, StepsOverEmptyMembersInEitherDirection) {
  addSegment("movie.000", 10);
  addSegment("movie.001", 0);
  addSegment("movie.002", 20);
  addSegment("movie.003", 0);
  addSegment("movie.004", 0);
  addSegment("movie.005", 30);
  auto source = openAs("movie");
  EXPECT_EQ(source->segmentCount(), 6u);
  expectReadsInEveryOrder(*source);
}

TEST_F(SegmentedFileSourceTest, ReadsZeroPastTheEndAndStillFindsTheLastMember) {
  addSegment("movie.000", 10);
  addSegment("movie.001", 20);
  addSegment("movie.002", 30);
  auto source = openAs("movie.000");
  EXPECT_EQ(source->byteAt(0), joined_[0]);
  for (uint32_t beyond : {60u, 61u, 1000u, UINT32_MAX}) {
    EXPECT_EQ(source->byteAt(beyond), 0) << beyond;
    EXPECT_EQ(source->byteAt(59), joined_[59]) << "after reading " << beyond;
    EXPECT_EQ(source->byteAt(3), joined_[3]) << "after reading " << beyond;
  }
}

TEST_F(SegmentedFileSourceTest, KeepsANameWithoutANumericExtensionWhole) {
  addFolder("dir.5");
  for (const char* name : {"movie.mpg", "movie.1a", "movie.", "movie.0000000001", "dir.5/clip"}) {
    SCOPED_TRACE(name);
    addSegment(name, 5);
    auto source = openAs(name);
    EXPECT_EQ(source->numberWidth(), 0u);
    EXPECT_EQ(source->baseName(), path(name));
    EXPECT_EQ(source->segmentCount(), 1u);
    EXPECT_EQ(source->size(), 5u);
    EXPECT_EQ(source->byteAt(4), folder_.read(name).back());
  }
}

TEST_F(SegmentedFileSourceTest, TakesOneToNineDigitsAsTheNumberWidth) {
  addSegment("movie.5", 1);
  addSegment("movie.7", 2);
  addSegment("movie.000000009", 3);
  auto narrow = openAs("movie.5");
  EXPECT_EQ(narrow->numberWidth(), 1u);
  EXPECT_EQ(narrow->baseName(), path("movie"));
  EXPECT_EQ(narrow->size(), 3u);
  auto wide = openAs("movie.000000009");
  EXPECT_EQ(wide->numberWidth(), 9u);
  EXPECT_EQ(wide->segmentCount(), 1u);
}

TEST_F(SegmentedFileSourceTest, LeavesOutMembersThatAreNotRegularFiles) {
  addSegment("movie.000", 4);
  addFolder("movie.001");
#ifndef _WIN32
  ASSERT_EQ(::mkfifo(path("movie.002").c_str(), 0600), 0);  // must not stall discovery
#endif
  addSegment("movie.003", 5);
  auto source = openAs("movie.003");
  ASSERT_EQ(source->segmentCount(), 2u);
  EXPECT_EQ(source->segmentNumber(1), 3u);
  expectReadsInEveryOrder(*source);
  addFolder("lone.000");  // a set with nothing but a folder
  auto none = openAs("lone.000");
  EXPECT_EQ(none->segmentCount(), 0u);
  EXPECT_EQ(none->size(), 0u);
  EXPECT_EQ(none->byteAt(0), 0);
}

TEST_F(SegmentedFileSourceTest, TakesOnlyTheLowestNumberedThousandMembers) {
  char name[16];
  for (int n = 1000; n >= 0; --n) {  // made in reverse so listing order is no help
    std::snprintf(name, sizeof name, "clip.%04d", n);
    addSegment(name, 1);
  }
  auto source = openAs("clip.0500");
  EXPECT_EQ(source->segmentCount(), 1000u);
  EXPECT_EQ(source->size(), 1000u);
  EXPECT_EQ(source->segmentNumber(999), 999u);
  EXPECT_EQ(source->byteAt(999), folder_.read("clip.0999").front());
  EXPECT_EQ(source->byteAt(1000), 0);
}

TEST_F(SegmentedFileSourceTest, FindsAWideNumberSetQuicklyAndJoinsItInNumberOrder) {
  addSegment("clip.5000000", 3);
  addSegment("clip.0000001", 2);
  addSegment("clip.0000000", 1);
  const auto started = std::chrono::steady_clock::now();
  auto source = openAs("clip.0000001");
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_LT(took, std::chrono::milliseconds(500));
  ASSERT_EQ(source->segmentCount(), 3u);
  EXPECT_EQ(source->segmentNumber(2), 5000000u);
  const Bytes inNumberOrder = {joined_[5], joined_[3], joined_[4], joined_[0], joined_[1], joined_[2]};
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(source->byteAt(i), inNumberOrder[i]) << i;
}

TEST_F(SegmentedFileSourceTest, KnowsItsMembersThroughLinks) {
  addSegment("movie.000", 3);
  addSegment("movie.001", 3);
  addSegment("other", 3);
  std::filesystem::create_hard_link(std::filesystem::u8path(path("movie.001")), std::filesystem::u8path(path("hard")));
  const bool soft = makeSymlink(path("movie.000"), path("soft"));
  auto source = openAs("movie.000");
  EXPECT_TRUE(source->holdsFile(path("movie.001").c_str()));
  EXPECT_TRUE(source->holdsFile(path("hard").c_str()));
  EXPECT_FALSE(source->holdsFile(path("other").c_str()));
  EXPECT_FALSE(source->holdsFile(path("missing").c_str()));
  if (!soft) GTEST_SKIP() << "no symbolic link: " << kNoSpecialFiles;
  EXPECT_TRUE(source->holdsFile(path("soft").c_str()));
}

TEST_F(SegmentedFileSourceTest, RefusesASetOfFourGibibytesOrMore) {
  addSparseSegment("big.000", uint64_t{1} << 31);
  addSparseSegment("big.001", (uint64_t{1} << 31) - 1);
  auto fits = openAs("big.000");
  EXPECT_FALSE(fits->tooLarge());
  EXPECT_EQ(fits->size(), UINT32_MAX);
  addSegment("big.002", 1);
  auto over = openAs("big.000");
  EXPECT_TRUE(over->tooLarge());
  EXPECT_EQ(over->size(), 0u);
  EXPECT_EQ(over->segmentCount(), 0u);
  EXPECT_EQ(over->byteAt(0), 0);
}

TEST_F(SegmentedFileSourceTest, MembersLostOrChangedAfterDiscoveryReadAsCountedZerosInAnyWindow) {
  const auto unit = static_cast<uint32_t>(platform::zeroUnit());
  const auto granule = static_cast<uint32_t>(platform::allocationGranularity());
  // The whole input mapped at once, and two windows of one granule, which
  // map each unit again and again.
  for (const SegmentedFileSource::WindowBudget budget :
       {SegmentedFileSource::kDefaultBudget, SegmentedFileSource::WindowBudget{granule, 2}}) {
    SCOPED_TRACE(budget.windowCount);
    const std::string set = budget.windowCount == 2 ? "small" : "large";
    joined_.clear();
    addSegment(set + ".000", 3 * unit + 500);
    addSegment(set + ".001", 3000);
    addSegment(set + ".002", 7000);
    addSegment(set + ".003", 2000);
    addSegment(set + ".004", 4 * unit);
    SegmentedFileSource source(path(set).c_str(), budget);
    ASSERT_EQ(source.size(), joined_.size());
    EXPECT_EQ(source.byteAt(0), joined_[0]);  // member 0 is read before it is cut
    const uint32_t kept = unit + 10;
    if (!cutFile(path(set + ".000"), kept)) GTEST_SKIP() << "a mapped file cannot be cut short: " << kNoSpecialFiles;
    ASSERT_TRUE(std::filesystem::remove(std::filesystem::u8path(path(set + ".001"))));
    ASSERT_TRUE(cutFile(path(set + ".002"), 0));
    folder_.write(set + ".003", Bytes(9000, 0xAB));  // grown: read to its length at discovery
    std::fill(joined_.begin() + kept, joined_.begin() + 3 * unit + 500 + 3000 + 7000, 0);
    std::fill(joined_.begin() + 3 * unit + 500 + 3000 + 7000, joined_.end() - 4 * unit, 0xAB);
    expectReadsInEveryOrder(source);
    // The cut member's units 2 and 3, the whole removed member, and the
    // emptied one by whole units; each once, however often it was mapped.
    EXPECT_EQ(source.unreadableBytes(), (unit + 500) + 3000u + 7000u);
  }
  folder_.write("intact.mpg", {1, 2, 3});
  auto intact = openAs("intact.mpg");
  EXPECT_EQ(intact->byteAt(1), 2);
  EXPECT_EQ(intact->unreadableBytes(), 0u);
}

TEST_F(SegmentedFileSourceTest, ReadsASetLargerThanItsWindowsRightThroughViewsInAnyOrder) {
  // Members over several windows, within one, and of one byte; three
  // windows of two granules hold less than half of the set.
  const auto granule = static_cast<uint32_t>(platform::allocationGranularity());
  addSegment("movie.000", 3 * granule + 17);
  addSegment("movie.001", 1);
  addSegment("movie.002", 5 * granule - 3);
  addSegment("movie.003", 2 * granule);
  SegmentedFileSource source(path("movie.000").c_str(), {2 * granule, 3});
  expectReadsInEveryOrder(source);
  const uint32_t size = source.size();

  // A view of the whole in order, and one of 1000-byte pieces in reverse
  // order over a view of the middle: each maps view offsets to the set's.
  RangeList whole, middle, pieces;
  whole.append(0, size);
  middle.append(granule / 2, size - granule / 2);
  for (uint32_t end = middle.total(); end > 0; end = end > 1000 ? end - 1000 : 0) {
    pieces.append(end > 1000 ? end - 1000 : 0, end);
  }
  RangeViewSource forward(source, whole);
  RangeViewSource over(source, middle);
  RangeViewSource backward(over, pieces);
  struct Reader {
    ByteSource* source;
    std::vector<uint32_t> at;  // the set's offset of each of its offsets
  };
  std::vector<Reader> readers = {{&source, {}}, {&forward, {}}, {&backward, {}}};
  for (uint32_t i = 0; i < size; ++i) readers[0].at.push_back(i), readers[1].at.push_back(i);
  for (uint32_t k = 0; k < pieces.count(); ++k) {
    for (uint32_t i = pieces.pairs()[2 * k]; i < pieces.pairs()[2 * k + 1]; ++i) readers[2].at.push_back(granule / 2 + i);
  }
  ASSERT_EQ(readers[2].at.size(), backward.size());

  // Reads drawn at random, each checked: runs, peeks at a new place, and
  // peeks again where a reader stood, through the span it kept while the
  // others moved the windows on.
  const uint64_t generation = ByteSource::spanGeneration();
  std::mt19937 random(7);
  for (int step = 0; step < 3000 && !HasFailure(); ++step) {
    Reader& reader = readers[random() % readers.size()];
    ByteSource& view = *reader.source;
    const auto expected = [&](uint32_t i) -> uint8_t { return i < reader.at.size() ? joined_[reader.at[i]] : 0; };
    const uint32_t from = random() % view.size();
    SCOPED_TRACE(testing::Message() << "step " << step << " reader " << (&reader - readers.data()) << " at " << from);
    switch (random() % 3) {
      case 0: {
        view.seek(from);
        const uint32_t count = std::min<uint32_t>(random() % (3 * granule), view.size() - from);
        Bytes got;
        view.readRuns(count, [&got](const uint8_t* bytes, uint32_t length) { got.insert(got.end(), bytes, bytes + length); });
        for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(got[i], expected(from + i)) << "run byte " << i;
        break;
      }
      case 1:
        view.seek(from);
        [[fallthrough]];
      default: {
        const uint32_t p = view.position();
        const uint32_t word = uint32_t{expected(p)} << 24 | uint32_t{expected(p + 1)} << 16 |
                              uint32_t{expected(p + 2)} << 8 | expected(p + 3);
        ASSERT_EQ(view.peekU32(), word) << "at " << p;
        ASSERT_EQ(view.peekU16(), word >> 16) << "at " << p;
        ASSERT_EQ(view.peekU8(), static_cast<int>(word >> 24)) << "at " << p;
      }
    }
    ASSERT_LE(source.windowsHeld(), 3u);
  }
  EXPECT_GT(ByteSource::spanGeneration(), generation + 100) << "the windows did not move";
  EXPECT_EQ(source.unreadableBytes(), 0u);
}

TEST_F(SegmentedFileSourceTest, SpansStayOnceEveryWindowIsMappedUnlessWindowsMoveOn) {
  const auto granule = static_cast<uint32_t>(platform::allocationGranularity());
  addSegment("movie.000", 2 * granule + 5);
  addSegment("movie.001", 0);
  addSegment("movie.002", granule);
  for (const uint32_t windows : {4u, 3u}) {
    SCOPED_TRACE(windows);
    SegmentedFileSource source(path("movie.000").c_str(), {granule, windows});
    EXPECT_FALSE(source.spansStay()) << "nothing mapped yet";
    source.byteAt(0);
    source.byteAt(granule);
    source.byteAt(3 * granule);  // the last member's only window
    EXPECT_FALSE(source.spansStay()) << "the first member's last window is not mapped";
    source.byteAt(2 * granule + 4);
    // Four windows in all: with room for three, the oldest went.
    EXPECT_EQ(source.spansStay(), windows == 4);
  }
  // A member gone before its windows were mapped reads as zeros from then on.
  SegmentedFileSource source(path("movie.000").c_str(), {granule, 4});
  source.byteAt(0);
  source.byteAt(granule);
  source.byteAt(2 * granule);
  ASSERT_TRUE(std::filesystem::remove(std::filesystem::u8path(path("movie.002"))));
  EXPECT_EQ(source.byteAt(3 * granule), 0);
  EXPECT_TRUE(source.spansStay());
}

TEST_F(SegmentedFileSourceTest, ReadsEveryWindowWhenTheAddressSpaceHoldsOnlyOne) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs the address space it reserves";
#elif defined(_WIN32)
  GTEST_SKIP() << "POSIX only: a child process with a bounded address space (setrlimit)";
#else
  // Three members of 150 MiB, sparse, with a marked byte in every MiB.
  constexpr uint32_t kMiB = 1 << 20;
  constexpr uint32_t kMembers = 3, kMembersMiB = 150;
  const auto marker = [](uint32_t mib) { return static_cast<char>(mib % 251 + 1); };
  for (uint32_t k = 0; k < kMembers; ++k) {
    const std::string name = path("big.00" + std::to_string(k));
    {
      std::ofstream out(name, std::ios::binary);
      for (uint32_t mib = 0; mib < kMembersMiB; ++mib) {
        out.seekp(static_cast<std::streamoff>(mib) * kMiB + mib);
        out.put(marker(k * kMembersMiB + mib));
      }
    }
    ASSERT_EQ(::truncate(name.c_str(), off_t{kMembersMiB} * kMiB), 0);
  }
  // In a child whose address space has room for one 64 MiB window and a
  // little more, as a 32-bit process may have: the default budget, which
  // would hold every window, must give windows back to map the next.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) ::_exit(2);
    std::fclose(statm);
    const rlimit limit = {static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + 100 * kMiB,
                          RLIM_INFINITY};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
    SegmentedFileSource source(path("big.000").c_str());
    if (source.size() != kMembers * kMembersMiB * kMiB) ::_exit(4);
    for (int pass = 0; pass < 2; ++pass) {
      for (uint32_t i = 0; i < kMembers * kMembersMiB; ++i) {
        const uint32_t mib = pass == 0 ? i : kMembers * kMembersMiB - 1 - i;
        if (source.byteAt(mib * kMiB + mib % kMembersMiB) != static_cast<uint8_t>(marker(mib))) ::_exit(5);
        if (source.byteAt(mib * kMiB + mib % kMembersMiB + 1) != 0) ::_exit(6);
      }
    }
    ::_exit(source.unreadableBytes() == 0 ? 0 : 7);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no size, 3: no limit, 4: wrong size, 5/6: a wrong byte, 7: bytes lost";
#endif
}
