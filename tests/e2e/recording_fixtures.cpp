#include "tests/e2e/recording_fixtures.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>
#else
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string recordedFact(const std::string& fact, const std::string& file) {
  std::ifstream in(std::string(ORVANTE_TEST_DATA) + "/CHECKSUMS.txt");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name, subject, value;
    if (fields >> name >> subject >> value && name == fact && subject == file) return value;
  }
  return {};
}

void copyRecording(const TempDir& dir, const std::string& name) {
  dir.write(name, readFile(std::string(ORVANTE_TEST_DATA) + "/" + name));
}

namespace {

void putLittleEndian32(Bytes& bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void putText(Bytes& bytes, const char* text) {
  while (*text != '\0') bytes.push_back(static_cast<uint8_t>(*text++));
}

}  // namespace

void makeCdxaFile(const TempDir& dir) {
  const Bytes image = readFile(std::string(ORVANTE_TEST_DATA) + "/vcd.bin");
  const size_t trackStart = std::stoul(recordedFact("track2_byte", "vcd.bin"));
  const Bytes track(image.begin() + static_cast<std::ptrdiff_t>(trackStart), image.end());
  Bytes file;
  putText(file, "RIFF");
  putLittleEndian32(file, static_cast<uint32_t>(36 + track.size()));
  putText(file, "CDXA");
  putText(file, "fmt ");
  putLittleEndian32(file, 16);
  const uint8_t xaRecord[16] = {0, 0, 0, 0, 0x15, 0x55, 'X', 'A', 1, 0, 0, 0, 0, 0, 0, 0};
  file.insert(file.end(), xaRecord, xaRecord + 16);
  putText(file, "data");
  putLittleEndian32(file, static_cast<uint32_t>(track.size()));
  file.insert(file.end(), track.begin(), track.end());
  dir.write("vcd.dat", file);
}

std::vector<std::string> makeNumberedSet(const TempDir& dir) {
  const Bytes stream = readFile(std::string(ORVANTE_TEST_DATA) + "/vcd.mpg");
  const std::vector<std::pair<std::string, size_t>> cuts = {
      {"seg.000", 1}, {"seg.001", 77777}, {"seg.003", 0}, {"seg.004", 1234}, {"seg.006", stream.size()}};
  std::vector<std::string> names;
  size_t at = 0;
  for (const auto& [name, length] : cuts) {
    const size_t end = std::min(stream.size(), at + length);
    dir.write(name, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(end)));
    names.push_back(name);
    at = end;
  }
  return names;
}

std::string runShell(const std::string& command, int* status) {
  std::string output;
#ifdef _WIN32
  FILE* pipe = ::_popen(command.c_str(), "r");
#else
  FILE* pipe = ::popen(command.c_str(), "r");
#endif
  if (pipe == nullptr) {
    if (status != nullptr) *status = -1;
    return output;
  }
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
#ifdef _WIN32
  const int result = ::_pclose(pipe);
  if (status != nullptr) *status = result;
#else
  const int result = ::pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
#endif
  return output;
}

std::string md5Of(const std::string& path) {
#ifdef _WIN32
  // The system's own MD5 (CryptoAPI): no md5sum on Windows.
  std::string digits;
  if (::GetFileAttributesW(std::filesystem::u8path(path).wstring().c_str()) == INVALID_FILE_ATTRIBUTES) return digits;
  const Bytes bytes = readFile(path);
  HCRYPTPROV provider;
  if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return digits;
  HCRYPTHASH hash;
  if (::CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
    BYTE digest[16];
    DWORD length = sizeof digest;
    if (::CryptHashData(hash, bytes.data(), static_cast<DWORD>(bytes.size()), 0) &&
        ::CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0)) {
      for (const BYTE b : digest) {
        digits += "0123456789abcdef"[b >> 4];
        digits += "0123456789abcdef"[b & 15];
      }
    }
    ::CryptDestroyHash(hash);
  }
  ::CryptReleaseContext(provider, 0);
  return digits;
#else
  int status = 0;
  const std::string output = runShell("md5sum < '" + path + "'", &status);
  return status == 0 && output.size() >= 32 ? output.substr(0, 32) : std::string();
#endif
}
