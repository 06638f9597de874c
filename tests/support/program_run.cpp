#include "tests/support/program_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& workingDir, unsigned timeoutSeconds, const OutputWatch& watch) {
  ProgramRun run;
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return run;
  const pid_t child = ::fork();
  if (child < 0) return run;
  if (child == 0) {
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    const int nothing = ::open("/dev/null", O_RDONLY);
    ::dup2(nothing, STDIN_FILENO);
    if (::chdir(workingDir.c_str()) != 0) ::_exit(127);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The timer outlives exec; its SIGALRM, at the default action and not
    // blocked, ends the program. A limit of 0 sets no timer.
    ::signal(SIGALRM, SIG_DFL);
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    ::sigprocmask(SIG_UNBLOCK, &alarmOnly, nullptr);
    ::alarm(timeoutSeconds);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
    run.output.append(buffer, static_cast<size_t>(got));
    if (watch) watch(run.output, child);
  }
  ::close(pipeEnds[0]);
  int waitStatus = 0;
  while (::waitpid(child, &waitStatus, 0) < 0) {
    if (errno != EINTR) return run;
  }
  run.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
  run.timedOut = WIFSIGNALED(waitStatus) && WTERMSIG(waitStatus) == SIGALRM;
  return run;
}
