#ifndef ORVANTE_TESTS_SUPPORT_FAILING_MOUNT_H_
#define ORVANTE_TESTS_SUPPORT_FAILING_MOUNT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

// FailingMount serves the files of a folder, read-only, through the test
// file system tests/support/failing_fs.py (FUSE), where every read that
// touches a chosen byte range of a file fails with EIO, as reads of a
// scratched disc do. The mount lives as long as the object; the folder must
// outlive it.
class FailingMount {
 public:
  // Bytes [start, end) of the file `name` cannot be read.
  struct Stretch {
    std::string name;
    uint64_t start;
    uint64_t end;
  };

  // Whether mounts can be made here; when not, `why` says what is missing.
  // `needed` turns true when what is missing is something CI installs
  // (python3-fusepy), false when the machine has no FUSE at all.
  static bool available(std::string* why, bool* needed);

  FailingMount(const std::string& folder, const std::vector<Stretch>& stretches);
  // Unmounts and waits for the file system to end.
  ~FailingMount();

  FailingMount(const FailingMount&) = delete;
  FailingMount& operator=(const FailingMount&) = delete;

  // True once the file system answers at the mount point.
  bool mounted() const { return mounted_; }
  // The full name of `name` as the file system serves it.
  std::string file(const std::string& name) const { return point_.path() + "/" + name; }

 private:
  TempDir point_;
  int server_ = -1;  // the process id of the file system
  bool mounted_ = false;
};

#endif  // ORVANTE_TESTS_SUPPORT_FAILING_MOUNT_H_
