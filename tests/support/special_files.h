#ifndef ORVANTE_TESTS_SUPPORT_SPECIAL_FILES_H_
#define ORVANTE_TESTS_SUPPORT_SPECIAL_FILES_H_

#include <cstdint>
#include <string>

// Files the tests set up beyond plain ones: symbolic links, links to a
// device where every write fails, and files cut short while a program has
// them mapped. Each is made with the system's own calls; a file mapped by a
// program, which Windows does not cut, is cut under wine by the host's
// truncate, which wine starts like a Windows program. Each says whether it
// was made: a test that needs one skips without it. Windows has no full
// device, and wine makes no symbolic links.
//
// Names are UTF-8, absolute or relative to the current folder; a link's
// target is stored as given.

// Makes `link` a symbolic link to `target`.
bool makeSymlink(const std::string& target, const std::string& link);

// Makes `link` a symbolic link to a device where every write fails for want
// of space (/dev/full).
bool linkToFullDevice(const std::string& link);

// Makes the file `path` `length` bytes long, even while a program has it
// mapped.
bool cutFile(const std::string& path, uint64_t length);

// Why the tests cannot make what the functions above make, for the
// message of a skipped test.
extern const char kNoSpecialFiles[];

#endif  // ORVANTE_TESTS_SUPPORT_SPECIAL_FILES_H_
