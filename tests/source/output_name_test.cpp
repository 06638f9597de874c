#include "source/output_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Naming {
  const char* input;
  const char* video;
  const char* audio;
};

const Naming kNamings[] = {
    {"movie.mpg", "movie.mpv", "movie.mp2"},
    {"movie.mpv", "movie.mpv.mpv", "movie.mp2"},
    {"movie.MPV", "movie.MPV.mpv", "movie.mp2"},
    {"movie.mp2", "movie.mpv", "movie.mp2.mp2"},
    {"movie.Mp2", "movie.mpv", "movie.Mp2.mp2"},
    {"movie.", "movie.mpv", "movie.mp2"},
    {"movie", "movie.mpv", "movie.mp2"},
    {"movie.mp", "movie.mpv", "movie.mp2"},        // a shorter extension is another one
    {"movie.mpvx", "movie.mpv", "movie.mp2"},      // and so is a longer one
    {"movie.tar.mpg", "movie.tar.mpv", "movie.tar.mp2"},
    {"dir.old/movie", "dir.old/movie.mpv", "dir.old/movie.mp2"},
    {"D:\\dir.old\\movie", "D:\\dir.old\\movie.mpv", "D:\\dir.old\\movie.mp2"},
    {"a\\b.c/movie", "a\\b.c/movie.mpv", "a\\b.c/movie.mp2"},
    {"a/b.c\\movie", "a/b.c\\movie.mpv", "a/b.c\\movie.mp2"},
    {"/tmp/x.y/movie.DAT", "/tmp/x.y/movie.mpv", "/tmp/x.y/movie.mp2"},
};

}  // namespace

TEST(OutputName, ReplacesTheLastComponentsExtensionUnlessItIsTheOutputs) {
  for (const Naming& naming : kNamings) {
    EXPECT_EQ(videoFileName(naming.input), naming.video) << naming.input;
    EXPECT_EQ(audioFileName(naming.input), naming.audio) << naming.input;
  }
}
