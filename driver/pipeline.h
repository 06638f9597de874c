#ifndef ORVANTE_DRIVER_PIPELINE_H_
#define ORVANTE_DRIVER_PIPELINE_H_

#include <string>

#include "driver/console.h"
#include "driver/run_options.h"
#include "source/byte_source.h"

// The frame of a run. Every object of a run is an automatic object of these
// functions, destroyed in reverse order of construction. The report and the
// progress lines go to `console`.

// Opens `name` as a numbered file set and runs every stage on it, with the
// outputs beside it or in options.outputDir. When bytes of the input could
// not be read (they went through as zeros), the report ends with
// "Unreadable input: N bytes read as zeros". Returns 0 when the input was
// processed; -1 after printing "File not found." (no member, or only empty
// ones), "File too large." (4 GiB or more), or "Cannot write: " and the name
// of an output folder that is not one, or of an output that could not be
// written. With options.check, the run is a RescueCheck, which writes
// nothing: 0 when nothing needed repair, 1 when something did, -1 as above
// (the refusals of the output folder and of outputs that lead to the input
// stand, as for --rescue).
int processFile(const char* name, const RunOptions& options, Console& console);

// The stages that follow opening the input: the sector image stage, which
// runs the pipeline on the sector payload when it finds CD sectors, else the
// pipeline on `source` itself. Output names are formed from `baseName` as is;
// options.outputDir and options.check are not consulted. Returns false when an output could not
// be written; the message is printed and the incomplete file removed.
bool processSource(ByteSource& source, const std::string& baseName, const RunOptions& options, Console& console);

#endif  // ORVANTE_DRIVER_PIPELINE_H_
