#ifndef ORVANTE_SOURCE_OUTPUT_NAME_H_
#define ORVANTE_SOURCE_OUTPUT_NAME_H_

#include <string>

// The names of the two output files, formed from the input's base name.
// Directories are separated by '/' or '\'. The extension of the last path
// component (from its last '.') is replaced by the output's extension; a name
// without one gets the extension appended, and so does a name that already
// carries the output's extension (in any letter case), so an output never
// takes the name of its input: movie.mpg gives movie.mpv, movie.MPV gives
// movie.MPV.mpv, dir.old/movie gives dir.old/movie.mpv.

// The ".mpv" name for the repaired video.
std::string videoFileName(const std::string& baseName);
// The ".mp2" name for the audio.
std::string audioFileName(const std::string& baseName);

#endif  // ORVANTE_SOURCE_OUTPUT_NAME_H_
