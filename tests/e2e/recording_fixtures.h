#ifndef ORVANTE_TESTS_E2E_RECORDING_FIXTURES_H_
#define ORVANTE_TESTS_E2E_RECORDING_FIXTURES_H_

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

// The real recordings of tests/data and the inputs derived from them.

// A fact recorded when the recordings were made ("<fact> <file> <value>" in
// tests/data/CHECKSUMS.txt); empty when there is none.
std::string recordedFact(const std::string& fact, const std::string& file);

// Copies tests/data/<name> into `dir`.
void copyRecording(const TempDir& dir, const std::string& name);

// Writes vcd.dat into `dir`: the raw sectors of the MPEG track of vcd.bin
// behind a 44-byte RIFF/CDXA header, as a Video CD's AVSEQ01.DAT reads on a
// desktop system.
void makeCdxaFile(const TempDir& dir);

// Writes vcd.mpg into `dir` as the numbered set seg.000 ... cut at odd
// offsets, with an empty member (seg.003) and gaps (no seg.002, seg.005).
// Returns the member names in order.
std::vector<std::string> makeNumberedSet(const TempDir& dir);

// MD5 of a file as 32 hex digits, computed by md5sum (by the system's
// CryptoAPI on Windows); empty on failure.
std::string md5Of(const std::string& path);

// Runs a shell command and returns its standard output; `status` receives
// its exit status. The media tools it runs are required with REQUIRE_TOOLS
// (tests/support/host_tools.h).
std::string runShell(const std::string& command, int* status = nullptr);

#endif  // ORVANTE_TESTS_E2E_RECORDING_FIXTURES_H_
