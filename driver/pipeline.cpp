#include "driver/pipeline.h"

#include <cstdio>

#include "source/segmented_file_source.h"

namespace {

void printLine(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int processFile(const char* name) {
  SegmentedFileSource input(name);
  if (input.tooLarge()) {
    printLine("File too large.");
    return -1;
  }
  if (input.size() == 0) {
    printLine("File not found.");
    return -1;
  }
  return processSource(input, input.baseName()) ? 0 : -1;
}

bool processSource(ByteSource& source, const char* baseName) {
  return runPipeline(source, baseName);
}

bool runPipeline(ByteSource& source, const char* baseName) {
  (void)source;
  (void)baseName;
  return true;
}
