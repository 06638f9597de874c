#include "source/output_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <filesystem>
#include <string>

#include "source/discarded_outputs.h"
#include "tests/support/special_files.h"
#include "tests/support/temp_dir.h"

namespace {

// Every case runs with the writes made on the test's thread and on a thread
// of their own, whatever the machine.
class OutputFileTest : public testing::TestWithParam<OutputFile::Writing> {
 protected:
  void putAll(const Bytes& bytes) {
    for (const uint8_t byte : bytes) file_.put(byte);
  }
  std::filesystem::path path(const std::string& name) const { return std::filesystem::u8path(dir_.file(name)); }
  // Bytes of disk the file `name` takes; 0 where the system does not say.
  uint64_t diskBytes(const std::string& name) const {
#ifdef _WIN32
    (void)name;
    return 0;
#else
    struct stat info;
    return ::stat(dir_.file(name).c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_blocks) * 512 : 0;
#endif
  }
  static Bytes pattern(size_t n) {
    Bytes bytes;
    for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(i * 13 + i / 256));
    return bytes;
  }

  TempDir dir_;
  OutputFile file_{GetParam()};
};

}  // namespace

TEST_P(OutputFileTest, OpenEmptiesAnExistingFileAndPutsLandInOrder) {
  dir_.write("out", Bytes(100, 0xEE));
  ASSERT_TRUE(file_.open(dir_.file("out")));
  EXPECT_TRUE(dir_.read("out").empty());
  file_.put('a');
  file_.put(0x162);  // only the low 8 bits
  EXPECT_EQ(file_.tell(), 2u);
  EXPECT_TRUE(file_.close());
  EXPECT_EQ(dir_.read("out"), (Bytes{'a', 'b'}));
}

TEST_P(OutputFileTest, PutsAfterASeekBackOverwriteAndCloseCutsAtThePosition) {
  for (const size_t length : {size_t{10}, size_t{100000}}) {
    SCOPED_TRACE(length);
    Bytes bytes = pattern(length);
    ASSERT_TRUE(file_.open(dir_.file("out")));
    putAll(bytes);
    file_.seek(2);
    file_.put('X');
    file_.put('Y');
    EXPECT_EQ(file_.tell(), 4u);
    file_.seek(length);
    EXPECT_TRUE(file_.close());
    bytes[2] = 'X';
    bytes[3] = 'Y';
    EXPECT_EQ(dir_.read("out"), bytes);

    ASSERT_TRUE(file_.open(dir_.file("out")));
    putAll(bytes);
    file_.seek(3);
    file_.put('Z');
    EXPECT_TRUE(file_.close());
    EXPECT_EQ(dir_.read("out"), (Bytes{bytes[0], bytes[1], 'X', 'Z'}));
  }
}

TEST_P(OutputFileTest, DirectoryInTheWayCannotBeOpenedAndStays) {
  ASSERT_TRUE(std::filesystem::create_directory(dir_.file("out")));
  EXPECT_FALSE(file_.open(dir_.file("out")));
  EXPECT_TRUE(file_.failed());
  EXPECT_FALSE(file_.close());
  EXPECT_TRUE(std::filesystem::is_directory(dir_.file("out")));
}

TEST_P(OutputFileTest, FailedWriteIsReportedByCloseWhichRemovesTheFile) {
  for (const size_t length : {size_t{3}, size_t{70000}}) {
    SCOPED_TRACE(length);
    if (!linkToFullDevice(dir_.file("out"))) GTEST_SKIP() << "no full device: " << kNoSpecialFiles;
    ASSERT_TRUE(file_.open(dir_.file("out")));
    putAll(pattern(length));
    EXPECT_FALSE(file_.close());
    EXPECT_TRUE(file_.failed());
    EXPECT_FALSE(dir_.exists("out"));
  }
}

TEST_P(OutputFileTest, NeverOpenedStreamWritesNothing) {
  EXPECT_TRUE(file_.close());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_P(OutputFileTest, DestructionClosesTheFile) {
  {
    OutputFile file(GetParam());
    ASSERT_TRUE(file.open(dir_.file("out")));
    file.put('q');
  }
  EXPECT_EQ(dir_.read("out"), (Bytes{'q'}));
}

TEST_P(OutputFileTest, SpansAndZeroRunsWriteWhatAsManyPutsWould) {
  // The same bytes through put(), write() and putZeros(), with take-backs
  // in between, in sizes below and above the buffer.
  for (const size_t length : {size_t{5}, size_t{70000}, size_t{300000}}) {
    SCOPED_TRACE(length);
    const Bytes data = pattern(length);
    ASSERT_TRUE(file_.open(dir_.file("puts")));
    putAll(data);
    file_.seek(length / 2);
    for (size_t i = 0; i < length / 3; ++i) file_.put(0);
    file_.seek(length + 10);
    putAll(data);
    for (size_t i = 0; i < 1000000; ++i) file_.put(0);
    ASSERT_TRUE(file_.close());

    ASSERT_TRUE(file_.open(dir_.file("spans")));
    file_.write(data.data(), data.size());
    file_.seek(length / 2);
    file_.putZeros(length / 3);
    file_.seek(length + 10);
    file_.write(data.data(), data.size());
    file_.putZeros(1000000);
    ASSERT_TRUE(file_.close());

    EXPECT_EQ(dir_.read("spans"), dir_.read("puts"));
  }
}

TEST_P(OutputFileTest, StreamOpenedWhileOutputsAreDiscardedTouchesNoFileAndKeepsItsPosition) {
  dir_.write("old", {1, 2, 3});
  OutputFile before(GetParam());  // a file opened before the stretch stays a file
  ASSERT_TRUE(before.open(dir_.file("before")));
  {
    const DiscardedOutputs outer;
    const DiscardedOutputs inner;
    for (const char* name : {"old", "new", "missing/new"}) {
      SCOPED_TRACE(name);
      ASSERT_TRUE(file_.open(dir_.file(name)));
      putAll(pattern(300000));
      file_.seek(10);
      file_.putZeros(5);
      EXPECT_EQ(file_.tell(), 15u);
      file_.seek(300000);
      file_.putZeros(uint64_t{1} << 32);
      file_.write(pattern(400000).data(), 400000);
      EXPECT_EQ(file_.tell(), 700000 + (uint64_t{1} << 32));
      EXPECT_FALSE(file_.failed());
      EXPECT_TRUE(file_.close());
    }
    before.put('b');
  }
  EXPECT_FALSE(DiscardedOutputs::active());
  EXPECT_TRUE(before.close());
  EXPECT_EQ(dir_.read("before"), (Bytes{'b'}));
  EXPECT_EQ(dir_.read("old"), (Bytes{1, 2, 3}));
  EXPECT_FALSE(dir_.exists("new") || dir_.exists("missing"));
  // Once the stretch ends, streams are files again.
  ASSERT_TRUE(file_.open(dir_.file("new")));
  file_.put('n');
  EXPECT_TRUE(file_.close());
  EXPECT_EQ(dir_.read("new"), (Bytes{'n'}));
}

TEST_P(OutputFileTest, ZerosOverwriteBytesTakenBackAndLongRunsTakeNoSpace) {
  ASSERT_TRUE(file_.open(dir_.file("out")));
  putAll(pattern(200000));
  file_.seek(100);
  const uint64_t run = uint64_t{1} << 32;  // 4 GiB of zeros
  file_.putZeros(run);
  EXPECT_EQ(file_.tell(), 100 + run);
  file_.put(7);
  ASSERT_TRUE(file_.close());
  EXPECT_EQ(std::filesystem::file_size(path("out")), 101 + run);
  EXPECT_LT(diskBytes("out"), uint64_t{16} << 20);
  Bytes head(200000);
  std::ifstream in(path("out"), std::ios::binary);
  ASSERT_TRUE(in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size())));
  const Bytes expected = pattern(100);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), head.begin()));
  EXPECT_TRUE(std::all_of(head.begin() + 100, head.end(), [](uint8_t b) { return b == 0; }));
}

TEST_P(OutputFileTest, BlocksReservedAheadOfTheWritesAreGivenBack) {
  // Written through the buffer, a long run of zeros, then more: the file
  // holds the bytes and takes the space of the bytes written, no more.
  const Bytes data = pattern(300000);
  ASSERT_TRUE(file_.open(dir_.file("out")));
  file_.write(data.data(), data.size());
  file_.putZeros(8 << 20);
  file_.write(data.data(), 1000);
  ASSERT_TRUE(file_.close());
  EXPECT_EQ(std::filesystem::file_size(path("out")), data.size() + (8 << 20) + 1000);
  EXPECT_LT(diskBytes("out"), uint64_t{2} << 20);
  const Bytes out = dir_.read("out");
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  EXPECT_TRUE(std::all_of(out.begin() + 300000, out.end() - 1000, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 1000, out.end() - 1000));
}

TEST_P(OutputFileTest, FifoWithoutReaderIsNotWaitedFor) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: a FIFO in a folder";
#else
  ASSERT_EQ(::mkfifo(dir_.file("out").c_str(), 0600), 0);
  EXPECT_FALSE(file_.open(dir_.file("out")));
  EXPECT_FALSE(file_.close());
#endif
}

TEST_P(OutputFileTest, ReplacedFileKeepsItsPermissionsAndLinksAreWrittenThrough) {
#ifndef _WIN32
  const mode_t mask = ::umask(022);
  dir_.write("plain", Bytes(50, 0xEE));
  ASSERT_EQ(::chmod(dir_.file("plain").c_str(), 0640), 0);
  ASSERT_TRUE(file_.open(dir_.file("plain")));
  file_.put('p');
  ASSERT_TRUE(file_.close());
  struct stat info;
  ASSERT_EQ(::stat(dir_.file("plain").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(dir_.read("plain"), (Bytes{'p'}));
  ::umask(mask);
#endif

  // A file with a second name, and a symbolic link: the one file behind
  // both names gets the new bytes.
  dir_.write("shared", Bytes(50, 0xEE));
  std::filesystem::create_hard_link(path("shared"), path("other name"));
  ASSERT_TRUE(file_.open(dir_.file("other name")));
  file_.put('h');
  ASSERT_TRUE(file_.close());
  EXPECT_EQ(dir_.read("shared"), (Bytes{'h'}));
  if (!makeSymlink("shared", dir_.file("pointer"))) GTEST_SKIP() << "no symbolic link: " << kNoSpecialFiles;
  ASSERT_TRUE(file_.open(dir_.file("pointer")));
  file_.put('s');
  ASSERT_TRUE(file_.close());
  EXPECT_EQ(dir_.read("shared"), (Bytes{'s'}));
  EXPECT_EQ(dir_.read("other name"), (Bytes{'s'}));
  EXPECT_TRUE(dir_.exists("pointer"));
#ifndef _WIN32
  EXPECT_TRUE(std::filesystem::is_symlink(path("pointer")));  // wine shows a host's link as the file it leads to
#endif
}

INSTANTIATE_TEST_SUITE_P(Writing, OutputFileTest,
                         testing::Values(OutputFile::Writing::kOnThisThread, OutputFile::Writing::kOnAThreadOfTheirOwn),
                         [](const testing::TestParamInfo<OutputFile::Writing>& info) {
                           return info.param == OutputFile::Writing::kOnThisThread ? "OnThisThread" : "OnAThreadOfTheirOwn";
                         });
