#include "tests/support/special_files.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

const char kNoSpecialFiles[] = "the system cannot make such a file here";

namespace {

std::filesystem::path pathOf(const std::string& utf8) { return std::filesystem::u8path(utf8); }

#ifdef _WIN32
std::wstring wide(const std::string& utf8) { return pathOf(utf8).wstring(); }

bool exists(const std::string& name) { return ::GetFileAttributesW(wide(name).c_str()) != INVALID_FILE_ATTRIBUTES; }

// The host's name for `name` under wine; empty on Windows itself.
std::string hostName(const std::string& name) {
  using ToHost = char*(__cdecl*)(const wchar_t*);
  // Through void (*)(), the type any function pointer may pass as.
  static const auto toHost = reinterpret_cast<ToHost>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (toHost == nullptr) return {};
  std::error_code error;
  const std::wstring full = std::filesystem::absolute(pathOf(name), error).wstring();
  char* host = toHost(full.c_str());
  if (host == nullptr) return {};
  const std::string named(host);
  ::HeapFree(::GetProcessHeap(), 0, host);
  return named;
}

// Runs the shell command `command` on the host, under wine, and waits for
// it to end; false when it cannot be run. Wine hands out no handle of a
// host program to wait on: the command leaves a mark beside `nextTo` when
// it is done, which is looked for and removed.
bool runOnHost(const std::string& command, const std::string& nextTo) {
  const std::string mark = nextTo + ".done";
  const std::string hostMark = hostName(mark);
  if (hostMark.empty()) return false;
  std::wstring commandLine = L"/bin/sh -c \"" + wide(command + "; : > '" + hostMark + "'") + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  if (process.hThread != nullptr) ::CloseHandle(process.hThread);
  if (process.hProcess != nullptr) ::CloseHandle(process.hProcess);
  for (int waited = 0; waited < 2000 && !exists(mark); ++waited) ::Sleep(10);
  return ::DeleteFileW(wide(mark).c_str()) != 0;
}
#endif

}  // namespace

bool makeSymlink(const std::string& target, const std::string& link) {
#ifdef _WIN32
  // Windows makes them with a privilege or in developer mode; wine says it
  // made one and made none.
  std::wstring stored = wide(target);
  std::replace(stored.begin(), stored.end(), L'/', L'\\');
  const DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  ::CreateSymbolicLinkW(wide(link).c_str(), stored.c_str(), kUnprivileged);
  const DWORD attributes = ::GetFileAttributesW(wide(link).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
  return ::symlink(target.c_str(), link.c_str()) == 0;
#endif
}

bool linkToFullDevice(const std::string& link) {
#ifdef _WIN32
  // Windows has no such device, and under wine a host's link to one can be
  // written to but not removed.
  (void)link;
  return false;
#else
  return ::access("/dev/full", W_OK) == 0 && ::symlink("/dev/full", link.c_str()) == 0;
#endif
}

bool cutFile(const std::string& path, uint64_t length) {
  std::error_code error;
  std::filesystem::resize_file(pathOf(path), length, error);
  if (!error) return true;
#ifdef _WIN32
  // Windows cuts no file that a program has mapped; the host does.
  const std::string host = hostName(path);
  return !host.empty() && runOnHost("truncate -s " + std::to_string(length) + " '" + host + "'", path) &&
         std::filesystem::file_size(pathOf(path), error) == length && !error;
#else
  return false;
#endif
}
