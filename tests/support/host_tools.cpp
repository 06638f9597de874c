#include "tests/support/host_tools.h"

#include <cstdlib>
#include <cstring>

#include "tests/support/program_run.h"

std::string missingTools(std::initializer_list<const char*> tools, const std::string& purpose) {
#ifdef _WIN32
  (void)tools;
  return "the media tools are not run from a Windows build (the Linux build's tests run them): " + purpose;
#else
  for (const char* tool : tools) {
    const ProgramRun found = runProgram("/bin/sh", {"-c", std::string("command -v ") + tool + " >/dev/null"}, "/");
    if (found.status != 0) return std::string(tool) + " is not installed: " + purpose;
  }
  return {};
#endif
}

std::string missingDecoderOracle(const std::string& purpose) {
#ifdef ORVANTE_DECODER_ORACLE
  (void)purpose;
  return {};
#elif defined(_WIN32)
  return "the decoder oracle is not built for Windows (the Linux build's tests use it): " + purpose;
#else
  return "the decoder oracle is not built: pkg-config found no libavformat, libavcodec and libavutil "
         "(libavformat-dev, libavcodec-dev, libavutil-dev): " + purpose;
#endif
}

bool toolsRequired() {
#ifdef _WIN32
  return false;
#else
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
#endif
}
