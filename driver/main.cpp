#include <cstdio>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/console.h"
#include "driver/pipeline.h"
#include "source/platform.h"

int main(int argc, char** argv) {
  // The report is only a report: a reader that goes away (orvante x | head)
  // must not stop the run halfway through writing its outputs.
  platform::ignoreBrokenPipe();
  platform::showUtf8OnConsole();
  // The arguments in UTF-8, as every name inside the program is.
  std::vector<std::string> arguments = platform::commandLineArguments(argc, argv);
  std::vector<char*> words;
  for (std::string& argument : arguments) words.push_back(&argument[0]);
  words.push_back(nullptr);
  const CommandLine commandLine(static_cast<int>(arguments.size()), words.data());
  Console console(stdout, commandLine.options().quiet ? Console::ProgressLines::kHidden
                                                      : Console::ProgressLines::kShown);
  // Help, version and a bad option answer the command line itself: no banner,
  // so that their text is all there is (help2man reads it; scripts read the
  // version).
  switch (commandLine.action()) {
    case CommandLine::Action::kHelp:
      console.printLine(CommandLine::helpText());
      return 0;
    case CommandLine::Action::kVersion:
      console.printLine(CommandLine::versionLine());
      return 0;
    case CommandLine::Action::kBadOption:
      console.printLine(commandLine.error());
      console.printLine(CommandLine::kUsageLine);
      return -1;
    case CommandLine::Action::kRun:
      break;
  }
  console.printLine("ORVANTE - MPEG1 Joiner/Fixer/Demuxer");
  console.printLine("Version 1.0: joins, repairs and demultiplexes MPEG-1 recordings");
  console.printEmptyLine();
  if (commandLine.input() == nullptr) {
    console.printLine("Usage: ORVANTE filename");
    return -1;
  }
  return processFile(commandLine.input(), commandLine.options(), console);
}
