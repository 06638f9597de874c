#ifndef ORVANTE_TESTS_SUPPORT_HOST_TOOLS_H_
#define ORVANTE_TESTS_SUPPORT_HOST_TOOLS_H_

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

// The media tools some tests run to make inputs or to judge outputs
// (ffmpeg, ffprobe, mplex, vcdimager), from the shell. The Linux build's
// tests run them; a Windows build's do not, under wine or not.

// Why the `tools` cannot be run here, with the `purpose` they serve, for
// the message of a test that skips; empty when they can.
std::string missingTools(std::initializer_list<const char*> tools, const std::string& purpose);

// Why the decoder oracle (tests/support/decoder_oracle.h), which judges
// outputs in process, is not in this build, with the `purpose` it serves;
// empty when it is. It is built on Linux where pkg-config finds libavcodec,
// never for Windows.
std::string missingDecoderOracle(const std::string& purpose);

// Whether a test whose tools (or decoder oracle) are missing must fail
// rather than skip: in CI (the environment variable CI is "true"), which
// installs them, except in a Windows build.
bool toolsRequired();

// Skips the test, or fails it where toolsRequired(), unless every one of
// the tools named after `purpose` can be run.
#define REQUIRE_TOOLS(purpose, ...)                                 \
  do {                                                              \
    const std::string missing_ = missingTools({__VA_ARGS__}, purpose); \
    if (!missing_.empty()) {                                        \
      if (toolsRequired()) FAIL() << missing_;                      \
      GTEST_SKIP() << missing_;                                     \
    }                                                               \
  } while (false)

#endif  // ORVANTE_TESTS_SUPPORT_HOST_TOOLS_H_
