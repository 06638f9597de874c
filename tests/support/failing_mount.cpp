#include "tests/support/failing_mount.h"

#ifdef _WIN32

// FUSE is a POSIX thing: on Windows no mount is ever made.
bool FailingMount::available(std::string* why, bool* needed) {
  *why = "no file system in user space on Windows: the Linux build's tests serve failing media";
  *needed = false;
  return false;
}

FailingMount::FailingMount(const std::string&, const std::vector<Stretch>&) {}

FailingMount::~FailingMount() = default;

#else

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// Runs the command through the shell; true when it exits with 0.
bool succeeds(const std::string& command) { return std::system(command.c_str()) == 0; }

// Waits up to `seconds` for `child` to end; true when it did.
bool reap(int child, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  do {
    int status;
    if (::waitpid(child, &status, WNOHANG) == child) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace

bool FailingMount::available(std::string* why, bool* needed) {
  *needed = false;
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    *why = "no usable /dev/fuse: file systems in user space cannot be mounted here";
    return false;
  }
  if (!succeeds(std::string(kPython) + " -c 'import fusepy' 2>/dev/null")) {
    *why = "python3-fusepy is not installed";
    *needed = true;
    return false;
  }
  return true;
}

FailingMount::FailingMount(const std::string& folder, const std::vector<Stretch>& stretches) {
  std::vector<std::string> arguments = {kPython, ORVANTE_FAILING_FS, folder, point_.path()};
  for (const Stretch& s : stretches) {
    arguments.push_back(s.name + ":" + std::to_string(s.start) + "-" + std::to_string(s.end));
  }
  struct stat before;
  if (::stat(point_.path().c_str(), &before) != 0) return;
  server_ = ::fork();
  if (server_ < 0) return;
  if (server_ == 0) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv(kPython, argv.data());
    ::_exit(127);
  }
  // Mounted once the mount point lies on another device.
  for (int tries = 0; tries < 1000 && !mounted_; ++tries) {
    struct stat now;
    mounted_ = ::stat(point_.path().c_str(), &now) == 0 && now.st_dev != before.st_dev;
    if (!mounted_) {
      int status;
      if (::waitpid(server_, &status, WNOHANG) == server_) {  // it gave up
        server_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

FailingMount::~FailingMount() {
  if (server_ < 0) return;
  if (::umount2(point_.path().c_str(), MNT_DETACH) != 0) {
    succeeds("fusermount -u -z '" + point_.path() + "' 2>/dev/null");
  }
  if (!reap(server_, 10)) {
    ::kill(server_, SIGKILL);
    reap(server_, 10);
  }
}

#endif
