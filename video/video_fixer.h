#ifndef ORVANTE_VIDEO_VIDEO_FIXER_H_
#define ORVANTE_VIDEO_VIDEO_FIXER_H_

#include <cstdint>
#include <string>

#include "source/byte_source.h"
#include "source/progress_callback.h"
#include "source/repair_reporter.h"
#include "video/picture_sequence_checker.h"
#include "video/probed_format.h"
#include "video/video_stream_writer.h"

// VideoFixer rewrites an MPEG-1 video elementary stream into a clean one.
//
// probe() learns the format from the first sequence header whose marker bit
// is set, or estimates it from the slice rows of I pictures and the bytes per
// picture when no such header comes before the twelfth I picture.
//
// rewrite() walks the stream from start code to start code and writes the
// ".mpv" file: every header must be well formed and followed by zero bytes
// only up to the next start code; pictures and slices that break the order
// are left out; a rejected start code takes back the slice written last;
// user data and end codes of the input are left out; a sequence header and a
// closed group-of-pictures header made from the probed format go before the
// first picture when the input gave none, and before an I picture that is
// the 30th picture or later since the last group-of-pictures header (the
// picture that receives inserted headers counts as the first); zero bytes
// fill the file up to the nominal bit rate before each sequence header that
// goes out and at the end; the stream ends with a sequence end code and an
// end code.
//
// What is left out goes to the reporter, when one is given, with the reason.
//
// The fixer does not own its source or its reporter, which must outlive it.
class VideoFixer {
 public:
  VideoFixer(ByteSource& source, ProgressCallback progress, RepairReporter* reporter = nullptr);

  // Fills the format fields; moves the source's cursor, writes nothing and
  // sends no progress event. Called by rewrite() first.
  void probe();

  // Probes, then writes the repaired stream to videoFileName(baseName). When
  // the file cannot be written, writeFailed() turns true, the incomplete file
  // is removed and the pass ends at once, without its 'E' event.
  void rewrite(const std::string& baseName);
  bool writeFailed() const { return writeFailed_; }

  // The report, valid after rewrite().
  // "<width>x<height> <rate>fps", with " (estimated)" for an estimate.
  std::string formatText() const;
  // Pictures written.
  uint32_t framesUsed() const { return framesUsed_; }
  // Well-formed I, P and B picture headers met, written or not.
  uint32_t picturesSeen() const { return picturesSeen_; }
  // The bit rate field in bit/s.
  uint64_t claimedBitrate() const { return uint64_t{format_.bitRate} * 400; }
  // Bits written per second of pictures written; 0 when none was written.
  uint64_t actualBitrate() const;
  // Bytes in the written file.
  uint64_t outputSize() const { return writer_.outputSize(); }

  // The probed format, valid after probe().
  const ProbedFormat& format() const { return format_; }
  uint32_t width() const { return format_.width; }
  uint32_t height() const { return format_.height; }
  uint32_t frameRateCode() const { return format_.frameRateCode; }
  uint32_t aspectRatioCode() const { return format_.aspectRatioCode; }
  // Units of 400 bit/s.
  uint32_t bitRate() const { return format_.bitRate; }
  uint32_t vbvBufferSize() const { return format_.vbvBufferSize; }
  bool constrainedParameters() const { return format_.constrainedParameters; }
  bool estimated() const { return format_.estimated; }
  double frameRate() const { return format_.frameRate; }

 private:
  // Each handler starts with the cursor on the element's start code and
  // answers whether the element was accepted.
  bool handleStartCode(uint32_t code);
  bool handleSequenceHeader();
  bool handleGopHeader();
  bool handlePicture();
  bool handleSlice(uint32_t code);
  bool handleEndCode();

  // Copies source bytes [from, to) to the output.
  void copySpan(uint32_t from, uint32_t to);
  void drop(RepairReporter::Drop reason, uint32_t from, uint32_t to);

  ByteSource& source_;
  ProgressCallback progress_;
  RepairReporter* const reporter_;
  PictureSequenceChecker checker_;
  ProbedFormat format_;
  VideoStreamWriter writer_;
  uint32_t framesUsed_ = 0;
  uint32_t picturesSeen_ = 0;
  uint64_t lastSliceOutputPos_ = 0;  // where the last slice written begins; 0: a slice was not last
  uint32_t lastSliceStart_ = 0;      // and where it began in the source
  bool writeFailed_ = false;
};

#endif  // ORVANTE_VIDEO_VIDEO_FIXER_H_
