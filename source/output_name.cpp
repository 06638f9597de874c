#include "source/output_name.h"

namespace {

bool equalIgnoringAsciiCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

std::string withExtension(const std::string& baseName, const char* extension) {
  const size_t separator = baseName.find_last_of("/\\");
  const size_t componentStart = separator == std::string::npos ? 0 : separator + 1;
  const size_t dot = baseName.rfind('.');
  if (dot == std::string::npos || dot < componentStart) return baseName + extension;
  if (equalIgnoringAsciiCase(baseName.substr(dot), extension)) return baseName + extension;
  return baseName.substr(0, dot) + extension;
}

}  // namespace

std::string videoFileName(const std::string& baseName) { return withExtension(baseName, ".mpv"); }

std::string audioFileName(const std::string& baseName) { return withExtension(baseName, ".mp2"); }
