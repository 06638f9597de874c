#ifndef ORVANTE_DRIVER_RESCUE_RUN_H_
#define ORVANTE_DRIVER_RESCUE_RUN_H_

#include <string>
#include <vector>

#include "driver/console.h"
#include "driver/rescue_report.h"
#include "source/byte_source.h"
#include "source/range_list.h"

// RescueRun is the pipeline of a rescue run (--rescue): what the plain
// pipeline does, with the repairs that make a damaged recording decode
// without an error and keep its timelines whole.
//
//   0. In a sector image, sectors that were lost (read back as zeros, or
//      not sectors any more) are left out of the payload, their framing too;
//      an image whose first sectors were lost is still found.
//   1. The demultiplexer also reads the packets' time stamps.
//   2. The video is surveyed ("Checking video"): slices walked, pictures
//      placed on the timeline. The audio is analysed into whole frames.
//   3. The span of the recording is where the earlier of the two streams
//      starts and the later ends; each output is padded to it.
//   4. The video and the audio are written, with the plain report's lines;
//      a clean stream comes out as the plain run writes it. An input that
//      joins recordings of other picture sizes or rates is rescued one
//      recording at a time, each in its own format (JoinedRecordings).
//   5. The repairs are reported: what was put where, as times into the
//      recording.
//
// The run borrows the console, which must outlive it.
class RescueRun {
 public:
  explicit RescueRun(Console& console);

  // Runs the sector stage and the pipeline on `source`, naming the outputs
  // after `baseName`. Returns false when an output could not be written;
  // the message is printed and the incomplete file removed.
  bool run(ByteSource& source, const std::string& baseName);

  // The rescue block of the report as run() printed it, its title first
  // (RescueReport::lines()); empty until run() printed it, and after a
  // run() that failed.
  const std::vector<std::string>& reportLines() const { return reportLines_; }

 private:
  // The sector stage on `image`, whose payload a RiffDecoder found in
  // `payloadRanges`, then the pipeline on the payload; `sourceSize` is the
  // input's size, reported.
  bool runImage(ByteSource& image, const RangeList& payloadRanges, uint64_t sourceSize, const std::string& baseName,
                RescueReport& report);
  // The pipeline on the MPEG data: `source` itself, or a sector image's
  // payload, in which case `suspect` holds what of it is not known to be as
  // written and `damaged` what is known not to be (SectorRescuer); null:
  // nothing is known.
  bool runPipeline(ByteSource& source, const std::string& baseName, RescueReport& report, const RangeList* suspect,
                   const RangeList* damaged);
  // An input that joins recordings of different formats, some damaged: each
  // recording is rescued in its own format, and the outputs hold them one
  // after the other. `audioSize`: the audio's bytes in the whole input.
  class JoinedRescue;
  bool writeJoined(JoinedRescue& rescue, const std::string& baseName, RescueReport& report, uint32_t audioSize);
  // Prints the rescue block of `report`, after an empty line, and keeps it.
  void printRescueBlock(const RescueReport& report);

  Console& console_;
  std::vector<std::string> reportLines_;
};

#endif  // ORVANTE_DRIVER_RESCUE_RUN_H_
