#ifndef ORVANTE_TESTS_SUPPORT_MAPPED_FILE_H_
#define ORVANTE_TESTS_SUPPORT_MAPPED_FILE_H_

#include <gtest/gtest.h>

#include <string>

#include "source/page_ledger.h"
#include "source/platform.h"
#include "tests/support/temp_dir.h"

// Makes `name` in `dir` hold `length` bytes of a pattern that marks each
// position (no zeros, so bytes read as zeros stand out).
inline Bytes writeMarkedFile(TempDir& dir, const std::string& name, size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i % 251 + 1);
  dir.write(name, bytes);
  return bytes;
}

// Maps [offset, offset + length) of `name` in `dir` through the platform
// layer, closing the file at once; null (and a failure) when it cannot.
inline const uint8_t* mapTestFile(const TempDir& dir, const std::string& name, uint64_t offset, size_t length,
                                  PageLedger* ledger) {
  platform::FileFacts facts;
  const platform::Handle file = platform::openForReading(dir.file(name).c_str(), &facts);
  EXPECT_NE(file, platform::kNoHandle) << name;
  if (file == platform::kNoHandle) return nullptr;
  const uint8_t* view = platform::mapView(file, offset, length, ledger);
  EXPECT_TRUE(platform::closeFile(file));
  return view;
}

#endif  // ORVANTE_TESTS_SUPPORT_MAPPED_FILE_H_
