#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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
  ASSERT_EQ(::system(("mkdir " + dir.file("clip.mpg")).c_str()), 0);
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
  ASSERT_EQ(::unlink(dir.file("clip.mpv").c_str()), 0);
  ASSERT_EQ(::unlink(dir.file("clip.mp2").c_str()), 0);

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
}

TEST(CommandLine, InputOfFourGibibytesIsTooLargeAndCreatesNothing) {
  TempDir dir;
  dir.write("huge.bin", {});
  ASSERT_EQ(::truncate(dir.file("huge.bin").c_str(), off_t{1} << 32), 0);  // sparse: takes no space
  const ProgramRun run = runOrvante(dir, {"huge.bin"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(afterBanner(run.output), "File too large.\n");
  EXPECT_FALSE(dir.exists("huge.mpv"));
  EXPECT_FALSE(dir.exists("huge.mp2"));
}
