#include "tests/support/program_run.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>

#include <filesystem>
#include <string>
#include <thread>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#endif

#ifdef _WIN32

namespace {

std::wstring wide(const std::string& utf8) { return std::filesystem::u8path(utf8).wstring(); }

// `argument` as CommandLineToArgvW (and the C runtime) will read it back:
// in quotes, a quote escaped, and the backslashes before a quote or the
// closing quote doubled.
std::wstring quoted(const std::wstring& argument) {
  std::wstring text = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    text.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    text += c;
  }
  text.append(2 * backslashes, L'\\');
  return text + L"\"";
}

// Each thread of process `pid`, given to `act`.
template <typename Act>
void forEachThread(int pid, Act act) {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != static_cast<DWORD>(pid)) continue;
    const HANDLE thread = ::OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    act(thread);
    ::CloseHandle(thread);
  }
  ::CloseHandle(snapshot);
}

}  // namespace

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& workingDir, unsigned timeoutSeconds, const OutputWatch& watch) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherited, 0)) return run;
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  const HANDLE nothing =
      ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = writeEnd;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  std::wstring commandLine = quoted(wide(program));
  for (const std::string& argument : arguments) commandLine += L" " + quoted(wide(argument));
  PROCESS_INFORMATION process;
  // Wine fails a start now and then, most under load, with an internal
  // error: the new process ended while wine was still loading it, before
  // any of the program ran. Such a start is made again, a few times.
  const int kStarts = 5;
  BOOL started = FALSE;
  for (int start = 1; !started && start <= kStarts; ++start) {
    if (start > 1) ::Sleep(100 * start);
    started = ::CreateProcessW(wide(program).c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                               wide(workingDir).c_str(), &startup, &process);
    if (!started && ::GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  ::CloseHandle(writeEnd);
  if (nothing != INVALID_HANDLE_VALUE) ::CloseHandle(nothing);
  if (!started) {
    run.output = "CreateProcessW failed with error " + std::to_string(::GetLastError()) + "\n";
    ::CloseHandle(readEnd);
    return run;
  }
  // The output is read on a thread of its own while this one keeps the time.
  std::thread reader([&] {
    char buffer[4096];
    DWORD got;
    while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      run.output.append(buffer, got);
      if (watch) watch(run.output, static_cast<int>(process.dwProcessId));
    }
  });
  if (::WaitForSingleObject(process.hProcess, timeoutSeconds == 0 ? INFINITE : timeoutSeconds * 1000) == WAIT_TIMEOUT) {
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    run.timedOut = true;
  }
  reader.join();
  ::CloseHandle(readEnd);
  DWORD code = 0;
  if (!run.timedOut && ::GetExitCodeProcess(process.hProcess, &code)) run.status = static_cast<int>(code & 0xFF);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  for (size_t at = 0; (at = run.output.find("\r\n", at)) != std::string::npos;) run.output.erase(at, 1);
  return run;
}

void pauseProgram(int pid) {
  forEachThread(pid, [](HANDLE thread) { ::SuspendThread(thread); });
}

void resumeProgram(int pid) {
  forEachThread(pid, [](HANDLE thread) { ::ResumeThread(thread); });
}

#else

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

void pauseProgram(int pid) { ::kill(pid, SIGSTOP); }

void resumeProgram(int pid) { ::kill(pid, SIGCONT); }

#endif
