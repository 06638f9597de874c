#include "tests/support/temp_dir.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace {

std::filesystem::path pathOf(const std::string& utf8) { return std::filesystem::u8path(utf8); }

#ifdef _WIN32
// Removes the folder `path` and what it holds, as far as the system lets
// it. Not std::filesystem::remove_all, which under wine can go round for
// ever on a link the host made.
void removeTree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  const HANDLE listing = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = path + L"\\" + name;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
          (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::RemoveDirectoryW(full.c_str());  // a link to a folder, not the folder
      } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        removeTree(full);
      } else {
        ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(full.c_str());
      }
    } while (::FindNextFileW(listing, &entry));
    ::FindClose(listing);
  }
  ::RemoveDirectoryW(path.c_str());
}
#endif

}  // namespace

TempDir::TempDir() {
  // A name nobody has taken: create_directory says whether it made it.
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = base / ("orvante-" + std::to_string(random() % 1000000000));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.u8string();
      return;
    }
  }
  std::abort();
}

TempDir::~TempDir() {
#ifdef _WIN32
  removeTree(pathOf(path_).wstring());
#else
  std::error_code ignored;
  std::filesystem::remove_all(pathOf(path_), ignored);
#endif
}

void TempDir::write(const std::string& name, const Bytes& bytes) const { writeFile(file(name), bytes); }

Bytes TempDir::read(const std::string& name) const { return readFile(file(name)); }

bool TempDir::exists(const std::string& name) const {
#ifdef _WIN32
  return ::GetFileAttributesW(pathOf(file(name)).wstring().c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  std::error_code error;
  return std::filesystem::symlink_status(pathOf(file(name)), error).type() != std::filesystem::file_type::not_found;
#endif
}

Bytes readFile(const std::string& path) {
  std::ifstream in(pathOf(path), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(pathOf(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
