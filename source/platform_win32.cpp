// The platform layer on Windows (Win32), for 32- and 64-bit programs.
//
// Names are UTF-8 inside the program and UTF-16 at every call: the wide
// ("W") functions take any name a file system holds, where the ANSI ones
// would take only what the system's code page can spell.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <string>

#include "source/guarded_views.h"
#include "source/platform.h"

namespace platform {

namespace {

HANDLE systemHandle(Handle file) { return reinterpret_cast<HANDLE>(file); }
Handle ourHandle(HANDLE file) { return file == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<Handle>(file); }

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], length);
  return text;
}

std::string utf8(const wchar_t* text) {
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();
  std::string bytes(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], length, nullptr, nullptr);
  bytes.pop_back();  // the terminating zero
  return bytes;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

uint64_t join(DWORD high, DWORD low) { return uint64_t{high} << 32 | low; }

// What an open handle is; false when the system cannot tell.
bool factsOf(HANDLE file, FileFacts* facts, BY_HANDLE_FILE_INFORMATION* details = nullptr) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!::GetFileInformationByHandle(file, &information)) return false;
  facts->regular =
      ::GetFileType(file) == FILE_TYPE_DISK && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  facts->size = facts->regular ? join(information.nFileSizeHigh, information.nFileSizeLow) : 0;
  facts->identity.volume = information.dwVolumeSerialNumber;
  facts->identity.index = join(information.nFileIndexHigh, information.nFileIndexLow);
  if (details != nullptr) *details = information;
  return true;
}

const SYSTEM_INFO& systemInfo() {
  static const SYSTEM_INFO info = [] {
    SYSTEM_INFO filled;
    ::GetSystemInfo(&filled);
    return filled;
  }();
  return info;
}

uint64_t currentLength(HANDLE file) {
  LARGE_INTEGER size;
  return ::GetFileSizeEx(file, &size) && size.QuadPart > 0 ? static_cast<uint64_t>(size.QuadPart) : 0;
}

// Reads up to `count` bytes at `offset` of `file` into `into`; false when
// fewer could be read.
bool readAt(HANDLE file, uint64_t offset, uint8_t* into, size_t count) {
  while (count > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!::ReadFile(file, into, static_cast<DWORD>(count), &got, &at) || got == 0) return false;
    offset += got;
    into += got;
    count -= got;
  }
  return true;
}

// A unit of a view: private memory at `at` (a multiple of the allocation
// granularity, free) holding the `kept` bytes the file has from
// `fileOffset` on, read again, then zeros to `length`. `*lost` turns true
// when none could be kept: no byte, or a read that failed.
bool privateUnit(uintptr_t at, size_t length, HANDLE file, uint64_t fileOffset, size_t kept, bool* lost) {
  void* memory = ::VirtualAlloc(reinterpret_cast<void*>(at), length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (memory == nullptr) return false;
  auto* bytes = static_cast<uint8_t*>(memory);
  *lost = kept == 0 || !readAt(file, fileOffset, bytes, kept);
  if (*lost && kept > 0) std::memset(bytes, 0, kept);
  DWORD previous;
  ::VirtualProtect(memory, length, PAGE_READONLY, &previous);
  return true;
}

// Gives back one unit, a view or private memory.
void releaseUnit(uintptr_t at) {
  MEMORY_BASIC_INFORMATION region;
  if (::VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof region) == 0) return;
  if (region.Type == MEM_MAPPED) {
    ::UnmapViewOfFile(reinterpret_cast<void*>(at));
  } else {
    ::VirtualFree(reinterpret_cast<void*>(at), 0, MEM_RELEASE);
  }
}

// A read of a view that the system cannot fill (an I/O error, or a page
// the file no longer has) raises EXCEPTION_IN_PAGE_ERROR on Windows, and
// an access violation of a read under wine: nothing else makes a read of
// a guarded view fail, so both are taken. The unit holding the address
// becomes private memory with what the file still has of it, or zeros,
// marked, and the read is made again. Anything else goes on to the next
// handler.
SRWLOCK faultLock = SRWLOCK_INIT;

LONG CALLBACK onFault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  if (record.ExceptionCode != EXCEPTION_IN_PAGE_ERROR && record.ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (record.NumberParameters < 2 || record.ExceptionInformation[0] != 0) return EXCEPTION_CONTINUE_SEARCH;
  const auto address = static_cast<uintptr_t>(record.ExceptionInformation[1]);
  GuardedViews::View view;
  if (!GuardedViews::find(address, &view)) return EXCEPTION_CONTINUE_SEARCH;
  const uintptr_t unit = zeroUnit();
  const uintptr_t at = view.start + (address - view.start) / unit * unit;
  const size_t length = static_cast<size_t>(std::min<uintptr_t>(unit, view.end - at));
  const uint64_t fileOffset = view.fileOffset + (at - view.start);
  ::AcquireSRWLockExclusive(&faultLock);
  MEMORY_BASIC_INFORMATION region;
  bool replaced = ::VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof region) != 0 &&
                  region.Type != MEM_MAPPED;  // another thread replaced it
  // Between the unmapping and the allocation in its place the unit's
  // addresses are free, and an allocation of another thread (a slice
  // walker's, say) could take them: the allocation then fails and the fault
  // stands, as it would without this handler. Replacing the unit in one step
  // needs the placeholder calls of Windows 10, which this build does not
  // assume.
  if (!replaced && ::UnmapViewOfFile(reinterpret_cast<void*>(at))) {
    const HANDLE file = systemHandle(view.file);
    const uint64_t fileEnd = currentLength(file);
    const size_t kept = fileOffset < fileEnd ? static_cast<size_t>(std::min<uint64_t>(length, fileEnd - fileOffset)) : 0;
    bool lost = true;
    // A unit the file still holds whole faulted for an error: it is lost
    // even when a second read happens to work.
    replaced = privateUnit(at, length, file, fileOffset, kept < length ? kept : 0, &lost);
    if (replaced && lost) view.ledger->markRange(fileOffset, length);
  }
  ::ReleaseSRWLockExclusive(&faultLock);
  return replaced ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

bool installFaultHandler() {
  static const bool installed = [] {
    systemInfo();  // known before any fault
    return ::AddVectoredExceptionHandler(1, onFault) != nullptr;
  }();
  return installed;
}

// Lays the units of a view of `length` bytes from `offset` side by side
// from `base`: a view of `mapping` for each unit the file holds whole and
// that `ledger` has not marked; private memory for the others. False, with
// nothing left in place, when an address was taken meanwhile or the system
// refuses.
bool placeUnits(uintptr_t base, HANDLE file, HANDLE mapping, uint64_t fileEnd, uint64_t offset, size_t length,
                PageLedger* ledger) {
  const size_t unit = zeroUnit();
  for (size_t done = 0; done < length; done += unit) {
    const size_t piece = std::min(unit, length - done);
    const uint64_t fileOffset = offset + done;
    bool placed;
    if (fileOffset + piece <= fileEnd && !ledger->marked(fileOffset)) {
      placed = ::MapViewOfFileEx(mapping, FILE_MAP_READ, static_cast<DWORD>(fileOffset >> 32),
                                 static_cast<DWORD>(fileOffset), piece, reinterpret_cast<void*>(base + done)) != nullptr;
    } else {
      // Past the file's end now, cut through by it, or lost before.
      const bool marked = ledger->marked(fileOffset);
      const size_t kept =
          !marked && fileOffset < fileEnd ? static_cast<size_t>(std::min<uint64_t>(piece, fileEnd - fileOffset)) : 0;
      bool lost = true;
      placed = privateUnit(base + done, piece, file, fileOffset, kept, &lost);
      if (placed && lost) ledger->markRange(fileOffset, piece);
    }
    if (!placed) {
      for (size_t back = 0; back < done; back += unit) releaseUnit(base + back);
      return false;
    }
  }
  return true;
}

// The console's output code page before the program set it to UTF-8.
UINT consoleCodePage = 0;

void restoreConsoleCodePage() { ::SetConsoleOutputCP(consoleCodePage); }

}  // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (words == nullptr) {
    for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
    return arguments;
  }
  for (int i = 0; i < count; ++i) arguments.push_back(utf8(words[i]));
  ::LocalFree(words);
  return arguments;
}

void showUtf8OnConsole() {
  const UINT current = ::GetConsoleOutputCP();
  if (current == 0 || current == CP_UTF8) return;  // no console, or one that shows UTF-8 already
  if (!::SetConsoleOutputCP(CP_UTF8)) return;
  consoleCodePage = current;
  std::atexit(restoreConsoleCodePage);
}

bool examine(const char* name, FileFacts* facts) {
  // No access asked: the facts of a file any other program holds open.
  const HANDLE file = ::CreateFileW(wide(name).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = factsOf(file, facts);
  ::CloseHandle(file);
  return known;
}

bool listFolder(const std::string& folder, std::vector<std::string>* names) {
  const char last = folder.empty() ? '\0' : folder.back();
  const std::string pattern = folder + (last == '/' || last == '\\' ? "*" : "\\*");
  WIN32_FIND_DATAW entry;
  const HANDLE listing =
      ::FindFirstFileExW(wide(pattern).c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (listing == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // nothing in it
  do {
    if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0) continue;
    names->push_back(utf8(entry.cFileName));
  } while (::FindNextFileW(listing, &entry));
  const bool complete = ::GetLastError() == ERROR_NO_MORE_FILES;
  ::FindClose(listing);
  return complete;
}

Handle openForReading(const char* name, FileFacts* facts) {
  // Shared for writing and deleting too, as a POSIX reader is: another
  // program may go on writing, rename or remove a member during the run.
  const HANDLE file =
      ::CreateFileW(wide(name).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kNoHandle;
  if (!factsOf(file, facts)) {
    ::CloseHandle(file);
    return kNoHandle;
  }
  return ourHandle(file);
}

size_t allocationGranularity() { return systemInfo().dwAllocationGranularity; }

size_t zeroUnit() { return systemInfo().dwAllocationGranularity; }

const uint8_t* mapView(Handle file, uint64_t offset, size_t length, PageLedger* ledger) {
  assert(offset % allocationGranularity() == 0 && length > 0);
  assert(ledger->pageSize() == zeroUnit() && offset + length <= ledger->fileLength());
  if (!installFaultHandler()) return nullptr;
  // The fault handler reads the file again: a handle of its own, kept while
  // the view lives.
  HANDLE kept;
  if (!::DuplicateHandle(::GetCurrentProcess(), systemHandle(file), ::GetCurrentProcess(), &kept, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  // A mapping of the file as long as it is now; an empty file has none,
  // and all of it reads as zeros.
  const uint64_t fileEnd = currentLength(kept);
  HANDLE mapping = nullptr;
  if (fileEnd > offset) {
    mapping = ::CreateFileMappingW(kept, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
      ::CloseHandle(kept);
      return nullptr;
    }
  }
  // Address space for the whole view, found free, then filled unit by unit.
  // Another thread may take some of it in between: a few tries.
  uintptr_t start = 0;
  for (int attempt = 0; attempt < 8 && start == 0; ++attempt) {
    void* free = ::VirtualAlloc(nullptr, length, MEM_RESERVE, PAGE_NOACCESS);
    if (free == nullptr) break;  // no room in the address space
    ::VirtualFree(free, 0, MEM_RELEASE);
    if (placeUnits(reinterpret_cast<uintptr_t>(free), kept, mapping, fileEnd, offset, length, ledger)) {
      start = reinterpret_cast<uintptr_t>(free);
    }
  }
  if (mapping != nullptr) ::CloseHandle(mapping);  // the views hold the mapping
  if (start == 0) {
    ::CloseHandle(kept);
    return nullptr;
  }
  if (!GuardedViews::add({start, start + length, offset, ledger, reinterpret_cast<intptr_t>(kept)})) {
    for (size_t done = 0; done < length; done += zeroUnit()) releaseUnit(start + done);
    ::CloseHandle(kept);
    return nullptr;
  }
  return reinterpret_cast<const uint8_t*>(start);
}

void unmapView(const uint8_t* view, size_t length) {
  const auto start = reinterpret_cast<uintptr_t>(view);
  GuardedViews::View guarded;
  const bool found = GuardedViews::find(start, &guarded);
  GuardedViews::remove(start);
  for (size_t done = 0; done < length; done += zeroUnit()) releaseUnit(start + done);
  if (found) ::CloseHandle(systemHandle(guarded.file));
}

// Not done here: the views are read only as they are mapped.
bool warmsPages() { return false; }

bool warmPages(const uint8_t*, size_t) { return false; }

namespace {

constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Whether `name` is a plain file: a file, no folder, no device, no
// reparse point (symbolic link, junction, ...) and the only name of its
// file. `attributes` receives its attributes.
bool isPlainFile(const std::wstring& name, DWORD* attributes) {
  const HANDLE file = ::CreateFileW(name.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileFacts facts;
  BY_HANDLE_FILE_INFORMATION details = {};
  const bool plain = factsOf(file, &facts, &details) && facts.regular &&
                     (details.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && details.nNumberOfLinks == 1;
  ::CloseHandle(file);
  *attributes = details.dwFileAttributes & kKeptAttributes;
  return plain;
}

// Replaces the plain file `name` by a new one with its attributes, as
// POSIX unlinks and creates: the old file is renamed aside, the new one
// made, and the old one deleted, which a program that still reads it
// (having shared it for deleting) keeps until it closes it. The old file
// is put back when no new one can be made. INVALID_HANDLE_VALUE when the
// old file cannot be moved (a program holds it without sharing it for
// deleting, say): it is then written in place.
HANDLE replacePlainFile(const std::wstring& name, DWORD attributes) {
  std::wstring aside;
  for (unsigned attempt = 0; attempt < 16 && aside.empty(); ++attempt) {
    const std::wstring candidate =
        name + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".old";
    if (::MoveFileExW(name.c_str(), candidate.c_str(), 0)) {
      aside = candidate;
    } else if (::GetLastError() != ERROR_ALREADY_EXISTS && ::GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  if (aside.empty()) return INVALID_HANDLE_VALUE;
  const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ::MoveFileExW(aside.c_str(), name.c_str(), 0);
    return INVALID_HANDLE_VALUE;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) ::SetFileAttributesW(aside.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW(aside.c_str());
  return file;
}

bool setPosition(HANDLE file, uint64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

Handle createOutput(const char* name, bool* regular) {
  const std::wstring wideName = wide(name);
  DWORD attributes = 0;
  HANDLE file = isPlainFile(wideName, &attributes) ? replacePlainFile(wideName, attributes) : INVALID_HANDLE_VALUE;
  const bool created = file != INVALID_HANDLE_VALUE || ::GetFileAttributesW(wideName.c_str()) == INVALID_FILE_ATTRIBUTES;
  if (file == INVALID_HANDLE_VALUE) {
    // Anything else is written through: a link to the file it leads to, a
    // device as it is. A pipe without a reader cannot be opened.
    file = ::CreateFileW(wideName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (file == INVALID_HANDLE_VALUE) return kNoHandle;
  }
  FileFacts facts;
  *regular = factsOf(file, &facts) && facts.regular;
  // Emptied, when it was there before.
  if (*regular && (!setPosition(file, 0) || !::SetEndOfFile(file))) {
    ::CloseHandle(file);
    if (created) ::DeleteFileW(wideName.c_str());
    return kNoHandle;
  }
  return ourHandle(file);
}

bool writeAll(Handle file, const uint8_t* bytes, size_t count) {
  constexpr size_t kMostAtOnce = 1u << 30;
  while (count > 0) {
    DWORD written = 0;
    const auto asked = static_cast<DWORD>(std::min(count, kMostAtOnce));
    if (!::WriteFile(systemHandle(file), bytes, asked, &written, nullptr) || written == 0) return false;
    bytes += written;
    count -= written;
  }
  return true;
}

bool seekFile(Handle file, uint64_t offset) {
  // A pipe has no position, which SetFilePointerEx does not say.
  return ::GetFileType(systemHandle(file)) != FILE_TYPE_PIPE && setPosition(systemHandle(file), offset);
}

bool setFileLength(Handle file, uint64_t length) {
  const HANDLE handle = systemHandle(file);
  LARGE_INTEGER zero = {}, position;
  if (!::SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) return false;
  const bool set = setPosition(handle, length) && ::SetEndOfFile(handle);
  // The blocks reserved past the end go back with the length.
  FILE_ALLOCATION_INFO allocation;
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  if (set) ::SetFileInformationByHandle(handle, FileAllocationInfo, &allocation, sizeof allocation);
  return ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) && set;
}

bool reserveBlocks(Handle file, uint64_t offset, uint64_t length) {
  // The clusters are allocated; the file's length stays.
  FILE_ALLOCATION_INFO allocation;
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(offset + length);
  return ::SetFileInformationByHandle(systemHandle(file), FileAllocationInfo, &allocation, sizeof allocation) != 0;
}

void releaseBlocks(Handle file, uint64_t offset, uint64_t length) {
  // Giving back blocks inside a file needs it sparse, which costs its own.
  (void)file, (void)offset, (void)length;
}

bool closeFile(Handle file) { return ::CloseHandle(systemHandle(file)) != 0; }

bool removeFile(const char* name) {
  const std::wstring wideName = wide(name);
  if (::DeleteFileW(wideName.c_str())) return true;
  // A read-only file goes as on POSIX, where the folder decides: an output
  // replaced keeps the attribute, and when its run fails it must still go.
  const DWORD attributes = ::GetFileAttributesW(wideName.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return false;
  if (!::SetFileAttributesW(wideName.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) return false;
  return ::DeleteFileW(wideName.c_str()) != 0;
}

void ignoreBrokenPipe() {
  // A write to a pipe whose reader went away fails with ERROR_NO_DATA; no
  // signal ends the program.
}

}  // namespace platform
