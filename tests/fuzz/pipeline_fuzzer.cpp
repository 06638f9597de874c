// libFuzzer target over the whole run: each input, held in memory, goes
// through the sector, demultiplexing, video and audio stages exactly as a
// file would, plain and rescued, writing its outputs into a scratch folder. Beyond the
// sanitizers' checks, what must hold for any input is checked here: the run
// succeeds, and the .mpv it writes ends with its two end codes.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/pipeline.h"
#include "source/memory_source.h"
#include "source/output_name.h"

namespace {

std::string scratchFolder;
std::string baseName;

void removeScratch() {
  ::unlink(videoFileName(baseName).c_str());
  ::unlink(audioFileName(baseName).c_str());
  ::rmdir(scratchFolder.c_str());
}

// The last 8 bytes of the .mpv must be the sequence end and end codes.
bool videoEndsWithEndCodes() {
  const int handle = ::open(videoFileName(baseName).c_str(), O_RDONLY);
  if (handle < 0) return false;
  struct stat info;
  uint8_t tail[8] = {};
  const bool read = ::fstat(handle, &info) == 0 && info.st_size >= 8 &&
                    ::pread(handle, tail, sizeof tail, info.st_size - 8) == static_cast<ssize_t>(sizeof tail);
  ::close(handle);
  const uint8_t endCodes[8] = {0x00, 0x00, 0x01, 0xB7, 0x00, 0x00, 0x01, 0xB9};
  return read && std::memcmp(tail, endCodes, sizeof tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/orvante-fuzz-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  scratchFolder = pattern;
  baseName = scratchFolder + "/run";
  std::atexit(removeScratch);
  // The report is checked by the tests, not here.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each input runs plain and rescued.
  for (const bool rescue : {false, true}) {
    MemorySource source(data, size);
    Console console(stdout, Console::ProgressLines::kShown);
    RunOptions options;
    options.rescue = rescue;
    if (!processSource(source, baseName, options, console)) std::abort();
    if (!videoEndsWithEndCodes()) std::abort();
    ::unlink(audioFileName(baseName).c_str());
  }
  return 0;
}
