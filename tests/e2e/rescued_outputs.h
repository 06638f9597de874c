#ifndef ORVANTE_TESTS_E2E_RESCUED_OUTPUTS_H_
#define ORVANTE_TESTS_E2E_RESCUED_OUTPUTS_H_

#include <string>

#include "tests/support/temp_dir.h"

// What a rescue run's outputs must be, checked with readers of the tests'
// own (slices through the slice walker against the stream's own sequence
// header, audio frames by their headers).

// An empty text when every slice of every picture parses and the slices of
// each picture cover it exactly once; otherwise what is wrong, and where.
std::string sliceTrouble(const Bytes& video);

// The number of whole frames `audio` consists of; -1 when anything but whole
// frames is in it.
long wholeAudioFrames(const Bytes& audio);

// The number of pictures in `video`.
long pictureCount(const Bytes& video);

#endif  // ORVANTE_TESTS_E2E_RESCUED_OUTPUTS_H_
