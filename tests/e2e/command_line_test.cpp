#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>

#include "tests/e2e/e2e_support.h"

TEST(CommandLine, WithoutArgumentPrintsUsageAndFails) {
  TempDir dir;
  const ProgramRun run = runOrvante(dir, {});
  EXPECT_EQ(run.status, 255);
  ASSERT_EQ(run.output.rfind(kBannerLine, 0), 0u) << run.output;
  // Banner, one notice line, an empty line, the usage line.
  const size_t notice = run.output.find('\n') + 1;
  const size_t noticeEnd = run.output.find('\n', notice);
  ASSERT_NE(noticeEnd, std::string::npos);
  EXPECT_GT(noticeEnd, notice) << "the notice line is not empty";
  EXPECT_EQ(run.output.substr(noticeEnd + 1), "\nUsage: ORVANTE filename\n");
}

TEST(CommandLine, MissingNameIsNotFoundAndCreatesNothing) {
  TempDir dir;
  const ProgramRun run = runOrvante(dir, {"movie.mpg"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(afterBanner(run.output), "File not found.\n");
  EXPECT_FALSE(dir.exists("movie.mpv"));
  EXPECT_FALSE(dir.exists("movie.mp2"));
}

TEST(CommandLine, SetOfEmptyFilesIsNotFound) {
  TempDir dir;
  dir.write("movie.000", {});
  dir.write("movie.001", {});
  for (const char* name : {"movie", "movie.000", "movie.001", "movie.7"}) {
    const ProgramRun run = runOrvante(dir, {name});
    EXPECT_EQ(run.status, 255) << name;
    EXPECT_EQ(afterBanner(run.output), "File not found.\n") << name;
  }
  EXPECT_FALSE(dir.exists("movie.mpv"));
}

TEST(CommandLine, DirectoryIsNotFound) {
  TempDir dir;
  ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path(dir.file("clip.mpg"))));
  const ProgramRun run = runOrvante(dir, {"clip.mpg"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(afterBanner(run.output), "File not found.\n");
}

TEST(CommandLine, ReportReaderThatGoesAwayDoesNotStopTheRun) {
  TempDir dir;
  dir.write("clip.mpg", readFile(testData("vcd.mpg")));
  ASSERT_EQ(runOrvante(dir, {"clip.mpg"}).status, 0);
  const Bytes video = dir.read("clip.mpv");
  const Bytes audio = dir.read("clip.mp2");
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: a run on a pipe whose reader is gone (SIGPIPE); Windows raises no signal";
#else
  ASSERT_TRUE(std::filesystem::remove(dir.file("clip.mpv")));
  ASSERT_TRUE(std::filesystem::remove(dir.file("clip.mp2")));

  // Standard output is a pipe whose reader is gone before the run starts.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ends[0]);
    ::dup2(ends[1], STDOUT_FILENO);
    if (::chdir(dir.path().c_str()) != 0) ::_exit(127);
    ::execl(ORVANTE_BINARY, ORVANTE_BINARY, "clip.mpg", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ends[0]);
  ::close(ends[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(dir.read("clip.mpv"), video);
  EXPECT_EQ(dir.read("clip.mp2"), audio);
#endif
}

TEST(CommandLine, InputOfFourGibibytesIsTooLargeAndCreatesNothing) {
  TempDir dir;
  dir.write("huge.bin", {});
  std::filesystem::resize_file(std::filesystem::u8path(dir.file("huge.bin")), uint64_t{1} << 32);  // sparse: no space
  const ProgramRun run = runOrvante(dir, {"huge.bin"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(afterBanner(run.output), "File too large.\n");
  EXPECT_FALSE(dir.exists("huge.mpv"));
  EXPECT_FALSE(dir.exists("huge.mp2"));
}
