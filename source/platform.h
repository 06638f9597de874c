#ifndef ORVANTE_SOURCE_PLATFORM_H_
#define ORVANTE_SOURCE_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "source/page_ledger.h"

// The operating system beneath the byte sources and the output files: every
// call they make to it goes through these functions. platform_posix.cpp
// implements them with POSIX calls; a Win32 implementation (CreateFile,
// CreateFileMapping, MapViewOfFile, FindFirstFile, MoveFileEx, ...) is
// compiled in its place on Windows. Above source/, only main() calls it, for
// the process itself (its arguments, its console, broken pipes); nothing
// knows which implementation it runs on. The contracts below hold for both,
// and where they differ the line says how.
//
// Names are byte strings as the program was given them (UTF-8 on Win32,
// where every call takes them as UTF-16). Offsets and sizes are 64-bit.
// Everything is called from one thread, but for the calls on an output's
// handle, which may come from the thread that writes it (BackgroundWriter),
// one thread at a time, and warmPages(), from any (ViewWarmer); nothing is
// kept between calls but the table of guarded views (GuardedViews) and the
// fault handler that serves it.
namespace platform {

// An open file: a descriptor on POSIX, a HANDLE on Win32. Only the functions
// below use it.
using Handle = intptr_t;
constexpr Handle kNoHandle = -1;

// What identifies a file whatever name or link leads to it: its device and
// inode on POSIX, its volume serial number and file index on Win32.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
};
inline bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

// What the program needs to know of a file.
struct FileFacts {
  bool regular = false;  // a plain file: no folder, device, FIFO or socket
  uint64_t size = 0;
  FileIdentity identity;
};

// ---------------------------------------------------------------------------
// Names and folders

// Fills `facts` for the file `name` leads to, following links; false when
// nothing of that name can be examined.
bool examine(const char* name, FileFacts* facts);

// Appends the names of the entries of `folder` ("." and ".." left out), in
// no particular order, to `names`; false when the folder cannot be listed.
bool listFolder(const std::string& folder, std::vector<std::string>* names);

// ---------------------------------------------------------------------------
// Reading

// Opens `name` for reading, without waiting on a FIFO that has no writer,
// and fills `facts` from the open file; kNoHandle when it cannot be opened.
Handle openForReading(const char* name, FileFacts* facts);

// The offsets of views are multiples of this: the page size on POSIX, the
// allocation granularity (64 KiB) on Win32.
size_t allocationGranularity();

// The unit in which bytes that cannot be read read as zeros: a page on
// POSIX; on Win32 the allocation granularity, the least a view can be split
// at. A power of two that divides allocationGranularity().
size_t zeroUnit();

// Maps `length` bytes of the open file `file` from `offset` read-only, and
// guards the view: a read of it never fails. A unit of it that cannot be
// read (the medium reports an I/O error, or it lies past the file's end,
// now or after the file got shorter) reads as zeros from the moment it is
// first touched, and is marked in `ledger`, which covers the file; units
// that `ledger` already holds as marked read as zeros at once. The bytes of
// a unit that a shrinking file cut through (past its new end) read as zeros
// as the system gives them, unmarked. Returns null when the view cannot be
// made. The handle may be closed while the view lives.
// REQUIRES: offset is a multiple of allocationGranularity(); length > 0;
// ledger->pageSize() == zeroUnit(); offset + length <= ledger->fileLength().
const uint8_t* mapView(Handle file, uint64_t offset, size_t length, PageLedger* ledger);

// Releases a view that mapView() made, with the length it was made with.
void unmapView(const uint8_t* view, size_t length);

// Whether warmPages() does anything here: on Linux, yes.
bool warmsPages();
// Reads a byte of each page of [at, at + length), a part of a view that
// mapView() made, so that the reads that follow, from any thread, find the
// pages in place: where the first read of each page of a new view costs a
// fault into the system's page tables (and a virtual machine's beneath
// them), another thread takes that cost ahead of the reader. Changes nothing
// that can be seen: where a page cannot be filled it stops before touching
// any, leaving it to a read of the view to find and mark. Returns false
// when it stopped so, or does nothing here. May be called from any thread
// while the view stays mapped.
bool warmPages(const uint8_t* at, size_t length);

// ---------------------------------------------------------------------------
// Writing

// Opens `name` for writing, empty, and says whether it is a regular file.
// A plain file of that name (no link leads to it and it is no link) is
// replaced by a new one with its permissions; anything else is written
// through: a link to the file it leads to, a device as it is. A FIFO
// without a reader is not waited for: it cannot be opened. kNoHandle when
// the file cannot be opened for writing.
Handle createOutput(const char* name, bool* regular);

// Writes all `count` bytes at the file's position and moves the position
// past them; false when they could not all be written.
bool writeAll(Handle file, const uint8_t* bytes, size_t count);

// Moves the file's position to `offset`; false when the file cannot seek.
bool seekFile(Handle file, uint64_t offset);

// Makes the file `length` bytes long: cut there, or extended with zeros;
// blocks reserved past the end are given back. The position stays.
bool setFileLength(Handle file, uint64_t length);

// Reserves the blocks of [offset, offset + length) of a regular file; they
// read as zeros until written. POSIX makes the file at least that long;
// Win32 allocates them and leaves the length. False when the file system
// cannot, which costs nothing else.
bool reserveBlocks(Handle file, uint64_t offset, uint64_t length);

// Gives back the blocks of [offset, offset + length), which then read as
// zeros; the file keeps its length. Does nothing where that cannot be done.
void releaseBlocks(Handle file, uint64_t offset, uint64_t length);

// Closes a file opened by the functions above; false when the system
// reports that not everything written reached the file.
bool closeFile(Handle file);

// Removes the file `name` (not what a link of that name leads to); false
// when it cannot.
bool removeFile(const char* name);

// ---------------------------------------------------------------------------
// The process

// Writing to a pipe or socket whose reader went away fails with an error
// instead of ending the program (SIGPIPE on POSIX; nothing to do on Win32).
void ignoreBrokenPipe();

// The program's arguments as UTF-8, its name first: argv on POSIX; on
// Win32 the wide command line (GetCommandLineW, CommandLineToArgvW), since
// argv holds the arguments in the ANSI code page, which cannot spell every
// name. `argv` when the command line cannot be had.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Makes the console that standard output shows in, if any, show the UTF-8
// the program writes: on Win32 its output code page is UTF-8 until the
// program exits; nothing on POSIX, where text is bytes.
void showUtf8OnConsole();

}  // namespace platform

#endif  // ORVANTE_SOURCE_PLATFORM_H_
