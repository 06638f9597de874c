#include <csignal>
#include <cstdio>

#include "driver/console.h"
#include "driver/pipeline.h"

int main(int argc, char** argv) {
  // The report is only a report: a reader that goes away (orvante x | head)
  // must not stop the run halfway through writing its outputs.
  std::signal(SIGPIPE, SIG_IGN);
  Console console(stdout, Console::ProgressLines::kShown);
  console.printLine("ORVANTE - MPEG1 Joiner/Fixer/Demuxer");
  console.printLine("Version 1.0: joins, repairs and demultiplexes MPEG-1 recordings");
  console.printEmptyLine();
  if (argc < 2) {
    console.printLine("Usage: ORVANTE filename");
    return -1;
  }
  return processFile(argv[1], RunOptions(), console);
}
