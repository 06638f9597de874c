#ifndef ORVANTE_DRIVER_PROGRESS_REPORTER_H_
#define ORVANTE_DRIVER_PROGRESS_REPORTER_H_

#include <cstdint>

// The console progress display: one line per pass, "\r<label>: <percent>%",
// rewritten in place whenever the whole percentage changes and ended with a
// line end by the pass's 'E' event, which always shows 100 first. Everything
// goes to standard output. The display keeps one piece of state, the
// percentage shown last, shared by all passes; passes never overlap.

// The shared reporter behind the callbacks below. The percentage is
// done * 100 / total rounded to nearest, halves up; a total of 0 prints
// nothing at 'P'. Unknown event letters are ignored.
void reportProgress(char event, uint32_t done, uint32_t total, const char* label);

// The callbacks handed to the passes, each with its fixed label.
void riffProgress(char event, uint32_t done, uint32_t total);   // "Decoding RIFF"
void demuxProgress(char event, uint32_t done, uint32_t total);  // "Demuxing streams"
void videoProgress(char event, uint32_t done, uint32_t total);  // "Extracting video"
// "Extracting audio"; its 'S' first writes a line end, leaving an empty line
// between the report and the audio progress line.
void audioProgress(char event, uint32_t done, uint32_t total);

// Ends the progress line of a pass that stopped without its 'E' event, when
// that line shows anything; otherwise does nothing.
void endProgressLine();

#endif  // ORVANTE_DRIVER_PROGRESS_REPORTER_H_
