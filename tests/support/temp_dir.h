#ifndef ORVANTE_TESTS_SUPPORT_TEMP_DIR_H_
#define ORVANTE_TESTS_SUPPORT_TEMP_DIR_H_

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// TempDir is a fresh folder under the system's temporary folder, removed with
// everything in it when the object is destroyed. Names are UTF-8 (as the
// program takes them on every system).
class TempDir {
 public:
  TempDir();
  ~TempDir();

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The full name of `name` inside the folder.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Creates or replaces `name` with `bytes`.
  void write(const std::string& name, const Bytes& bytes) const;
  // The bytes of `name`; empty when it cannot be read.
  Bytes read(const std::string& name) const;
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

// Whole-file helpers for any path.
Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& bytes);

#endif  // ORVANTE_TESTS_SUPPORT_TEMP_DIR_H_
