// libFuzzer target over the whole run: each input, held in memory, goes
// through the sector, demultiplexing, video and audio stages exactly as a
// file would, plain and rescued, writing its outputs into a scratch folder. Beyond the
// sanitizers' checks, what must hold for any input is checked here: the run
// succeeds; the plain run's .mpv ends with its two end codes; and what the
// rescue writes decodes as it promises, judged by the decoder oracle: a
// .mpv, when it writes one, ends with its end codes and decodes with no
// decoder message and at least one picture, and a .mp2, when it writes one,
// decodes with no message. The plain run's outputs are not decoded: they
// keep the input's damage by design. A finding prints what failed to
// standard error and aborts, so that libFuzzer keeps the input.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/pipeline.h"
#include "source/memory_source.h"
#include "source/output_name.h"
#include "tests/support/decoder_oracle.h"

namespace {

std::string scratchFolder;
std::string baseName;

void removeOutputs() {
  ::unlink(videoFileName(baseName).c_str());
  ::unlink(audioFileName(baseName).c_str());
}

void removeScratch() {
  removeOutputs();
  ::rmdir(scratchFolder.c_str());
}

// The whole file `name` into `bytes`; false when it is not there.
bool readWhole(const std::string& name, std::vector<uint8_t>& bytes) {
  const int handle = ::open(name.c_str(), O_RDONLY);
  if (handle < 0) return false;
  struct stat info;
  bool read = ::fstat(handle, &info) == 0;
  if (read) {
    bytes.resize(static_cast<size_t>(info.st_size));
    read = ::pread(handle, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
  }
  ::close(handle);
  return read;
}

// The last 8 bytes must be the sequence end and end codes.
bool endsWithEndCodes(const std::vector<uint8_t>& video) {
  const uint8_t endCodes[8] = {0x00, 0x00, 0x01, 0xB7, 0x00, 0x00, 0x01, 0xB9};
  return video.size() >= sizeof endCodes &&
         std::memcmp(video.data() + video.size() - sizeof endCodes, endCodes, sizeof endCodes) == 0;
}

// Prints `what` and aborts, leaving no scratch folder behind (a fuzzing run
// that goes on past its findings makes one in each process).
[[noreturn]] void finding(const std::string& what) {
  std::fprintf(stderr, "==orvante finding== %s\n", what.c_str());
  removeScratch();
  std::abort();
}

void checkPlainOutputs() {
  std::vector<uint8_t> video;
  if (!readWhole(videoFileName(baseName), video)) finding("the plain run wrote no .mpv");
  if (!endsWithEndCodes(video)) finding("the plain run's .mpv does not end with its end codes");
}

// `report`: what the rescue printed. Video it says it did not rescue
// (MPEG-2, written as the plain run writes it) is not judged.
void checkRescuedOutputs(const std::string& report) {
  std::vector<uint8_t> bytes;
  const bool rescuedVideo = report.find("\nVideo not rescued: ") == std::string::npos;
  if (rescuedVideo && readWhole(videoFileName(baseName), bytes)) {
    if (!endsWithEndCodes(bytes)) finding("the rescued .mpv does not end with its end codes");
    const DecoderOracle::Verdict verdict = DecoderOracle::judgeRescuedVideo(bytes.data(), bytes.size());
    if (!verdict.ok()) {
      finding("the rescued .mpv decodes to " + std::to_string(verdict.frames) + " pictures with these messages:\n" +
              verdict.text());
    }
  }
  if (readWhole(audioFileName(baseName), bytes)) {
    const DecoderOracle::Verdict verdict = DecoderOracle::decodeAudio(bytes.data(), bytes.size());
    if (!verdict.messages.empty()) finding("the rescued .mp2 decodes with these messages:\n" + verdict.text());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/orvante-fuzz-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  scratchFolder = pattern;
  baseName = scratchFolder + "/run";
  std::atexit(removeScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each input runs plain and rescued, each from a folder with no outputs.
  for (const bool rescue : {false, true}) {
    removeOutputs();
    MemorySource source(data, size);
    char* text = nullptr;
    size_t length = 0;
    FILE* const report = ::open_memstream(&text, &length);
    if (report == nullptr) std::abort();
    bool done = false;
    {
      Console console(report, Console::ProgressLines::kShown);
      RunOptions options;
      options.rescue = rescue;
      done = processSource(source, baseName, options, console);
    }
    std::fclose(report);
    const std::string said(text, length);
    std::free(text);
    if (!done) finding(rescue ? "the rescue failed" : "the plain run failed");
    if (rescue) {
      checkRescuedOutputs(said);
    } else {
      checkPlainOutputs();
    }
  }
  return 0;
}
