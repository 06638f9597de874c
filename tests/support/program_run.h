#ifndef ORVANTE_TESTS_SUPPORT_PROGRAM_RUN_H_
#define ORVANTE_TESTS_SUPPORT_PROGRAM_RUN_H_

#include <functional>
#include <string>
#include <vector>

// The outcome of running a program to its end.
struct ProgramRun {
  int status = -1;        // exit status 0..255, or -1 when it did not exit normally
  std::string output;     // everything written to standard output
  bool timedOut = false;  // killed because it ran past its time limit
};

// Sees the standard output of a running program so far, each time more of
// it arrives, with the program's process id.
using OutputWatch = std::function<void(const std::string& output, int pid)>;

// Runs `program` with `arguments` (UTF-8) in the folder `workingDir`,
// standard input empty and standard error inherited, and waits for it to
// end. A program still running after `timeoutSeconds` is killed (status -1,
// timedOut set); 0 sets no limit. `watch`, when given, sees the output as it
// arrives.
//
// On Windows the status is the low 8 bits of the exit code, as POSIX keeps
// them (so that `return -1` is 255 on both), and the output has its line
// ends as POSIX writes them: the C runtime's "\r\n" for each "\n" is taken
// back. A start that fails with an internal error (wine's, when the new
// process ends before any of it ran) is made again, up to five times.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& workingDir, unsigned timeoutSeconds = 60, const OutputWatch& watch = {});

// Holds the running program `pid` still, and lets it go on: SIGSTOP and
// SIGCONT on POSIX, each of its threads suspended and resumed on Windows.
void pauseProgram(int pid);
void resumeProgram(int pid);

#endif  // ORVANTE_TESTS_SUPPORT_PROGRAM_RUN_H_
