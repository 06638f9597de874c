#ifndef ORVANTE_TESTS_SUPPORT_STREAM_ENDS_H_
#define ORVANTE_TESTS_SUPPORT_STREAM_ENDS_H_

#include <algorithm>

#include "tests/support/temp_dir.h"

// Whether a written video stream ends as every finished one must: a sequence
// end code, then an ISO 11172 end code.
inline bool endsWithEndCodes(const Bytes& video) {
  static const Bytes kEndCodes = {0x00, 0x00, 0x01, 0xB7, 0x00, 0x00, 0x01, 0xB9};
  return video.size() >= kEndCodes.size() && std::equal(kEndCodes.begin(), kEndCodes.end(), video.end() - 8);
}

#endif  // ORVANTE_TESTS_SUPPORT_STREAM_ENDS_H_
