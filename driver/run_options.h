#ifndef ORVANTE_DRIVER_RUN_OPTIONS_H_
#define ORVANTE_DRIVER_RUN_OPTIONS_H_

#include <string>

// RunOptions is what the command line asks of one run, beyond its input.
// A default RunOptions is the plain run: outputs beside the input, progress
// lines shown.
struct RunOptions {
  // The folder the outputs are written into, under the last path component
  // of their usual names; empty: beside the input.
  std::string outputDir;
  // No progress lines; the report stays.
  bool quiet = false;
  // Repair damaged recordings harder: conceal broken pictures, fill lost
  // pictures and audio frames, keep the timelines whole (RescueRun).
  bool rescue = false;
  // The rescue's whole analysis and report, with no file written; the exit
  // status says whether a rescue would repair anything (RescueCheck). Takes
  // the place of the run, rescuing or not.
  bool check = false;
};

#endif  // ORVANTE_DRIVER_RUN_OPTIONS_H_
