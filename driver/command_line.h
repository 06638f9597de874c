#ifndef ORVANTE_DRIVER_COMMAND_LINE_H_
#define ORVANTE_DRIVER_COMMAND_LINE_H_

#include <string>

#include "driver/run_options.h"

// CommandLine is what the arguments of one invocation ask for:
//
//   orvante [options] input
//
// Options come before the input and "--" ends them; the first argument that
// is not an option is the input, and later arguments are ignored. Parsed
// once per process with getopt_long, whose state is global.
class CommandLine {
 public:
  enum class Action {
    kRun,        // process input() (or print the old usage line without one)
    kHelp,       // print helpText(), succeed
    kVersion,    // print versionLine(), succeed
    kBadOption,  // print error() and kUsageLine, fail without a run
  };

  // The usage line printed after a bad option; the first line of helpText().
  static const char kUsageLine[];

  // argv holds argc arguments, the program's name first, and must outlive
  // this object.
  CommandLine(int argc, char** argv);

  Action action() const { return action_; }
  // The input, or nullptr when no argument is left after the options.
  const char* input() const { return input_; }
  const RunOptions& options() const { return options_; }
  // For kBadOption, the line naming the option and what is wrong with it.
  const std::string& error() const { return error_; }

  // The usage, every option, and the exit status: lines without the last
  // line end.
  static std::string helpText();
  // "orvante <version>".
  static std::string versionLine();

 private:
  Action action_ = Action::kRun;
  const char* input_ = nullptr;
  RunOptions options_;
  std::string error_;
};

#endif  // ORVANTE_DRIVER_COMMAND_LINE_H_
