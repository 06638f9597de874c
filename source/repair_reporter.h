#ifndef ORVANTE_SOURCE_REPAIR_REPORTER_H_
#define ORVANTE_SOURCE_REPAIR_REPORTER_H_

#include <cstdint>

// RepairReporter hears, from the passes that write outputs, what they leave
// out of their input and what they put in its place. The passes only tell;
// the driver counts, lists and prints. Tests give a reporter of their own to
// see why data was dropped.
//
// A pass holds its reporter by pointer without owning it; the reporter must
// outlive the pass. Calls come from the program's one thread, in stream
// order.
class RepairReporter {
 public:
  // Why bytes of the input did not reach an output as they stood.
  enum class Drop {
    kStartCodeRejected,  // a start code with no place where it stands, or a malformed header
    kPictureOutOfOrder,  // a well-formed picture that breaks the order of the pictures before it
    kSliceTakenBack,     // a slice written, then taken back because what followed was rejected
    kBrokenSlice,        // a slice that does not parse as slice syntax
    kStraySlice,         // a slice that belongs to no picture that is written
    kBrokenPicture,      // a picture left out with its slices because it cannot be decoded
    kReferenceLost,      // a picture left out because a picture it is predicted from was lost
    kBrokenAudioFrame,   // audio bytes that are no whole, well-formed frame
    kLostSector,         // a sector of an image that was read back as zeros or is not one
  };

  // What a rescue puts in an output in place of what was lost or broken.
  enum class Repair {
    kPictureRepeated,       // a picture that repeats the one shown before it
    kSilentAudioFrame,      // an audio frame of silence
    kPictureConcealed,      // a picture that went out with macroblocks concealed
    kMacroblockConcealed,   // one macroblock concealed: guessed from what is around it
  };

  virtual ~RepairReporter();

  // `length` bytes from `offset` of the pass's source were left out.
  virtual void dropped(Drop reason, uint32_t offset, uint32_t length) = 0;
  // One repair, at `time`: 90 kHz ticks from the start of the recording.
  virtual void repaired(Repair kind, uint64_t time) = 0;
  // `bits` wrong bits of the sector at `offset` of the image were put
  // right by its error detection code. Ignored unless overridden.
  virtual void corrected(uint32_t offset, uint32_t bits);
  // The stream carries no time stamps and no time codes: lost pictures or
  // frames could be counted only as far as the stream's own numbering allows.
  virtual void timelineUnchecked() = 0;
};

#endif  // ORVANTE_SOURCE_REPAIR_REPORTER_H_
