#include <cstdio>

#include "driver/pipeline.h"
#include "source/platform.h"

int main(int argc, char** argv) {
  // The report is only a report: a reader that goes away (orvante x | head)
  // must not stop the run halfway through writing its outputs.
  platform::ignoreBrokenPipe();
  std::fputs("ORVANTE - MPEG1 Joiner/Fixer/Demuxer\n", stdout);
  std::fputs("Version 1.0: joins, repairs and demultiplexes MPEG-1 recordings\n", stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
  if (argc < 2) {
    std::fputs("Usage: ORVANTE filename\n", stdout);
    std::fflush(stdout);
    return -1;
  }
  return processFile(argv[1]);
}
