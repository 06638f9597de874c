#ifndef ORVANTE_VIDEO_VIDEO_FIXER_H_
#define ORVANTE_VIDEO_VIDEO_FIXER_H_

#include <cstdint>
#include <string>

#include "source/byte_source.h"
#include "source/output_file.h"
#include "source/progress_callback.h"
#include "video/picture_sequence_checker.h"

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
// The fixer does not own its source, which must outlive it.
class VideoFixer {
 public:
  VideoFixer(ByteSource& source, ProgressCallback progress);

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
  uint64_t claimedBitrate() const { return uint64_t{bitRate_} * 400; }
  // Bits written per second of pictures written; 0 when none was written.
  uint64_t actualBitrate() const;
  // Bytes in the written file.
  uint64_t outputSize() const { return outputSize_; }

  // The probed format, valid after probe().
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint32_t frameRateCode() const { return frameRateCode_; }
  uint32_t aspectRatioCode() const { return aspectRatioCode_; }
  // Units of 400 bit/s.
  uint32_t bitRate() const { return bitRate_; }
  uint32_t vbvBufferSize() const { return vbvBufferSize_; }
  bool constrainedParameters() const { return constrainedParameters_; }
  bool estimated() const { return estimated_; }
  double frameRate() const { return frameRate_; }

 private:
  // Each handler starts with the cursor on the element's start code and
  // answers whether the element was accepted.
  bool handleStartCode(uint32_t code);
  bool handleSequenceHeader();
  bool handleGopHeader();
  bool handlePicture();
  bool handleSlice(uint32_t code);
  bool handleEndCode();

  // True when every byte from the cursor to the next start code (or the end
  // of the data) is 0; the cursor is then on that start code.
  bool zerosToNextStartCode();
  // Copies source bytes [from, to) to the output.
  void copySpan(uint32_t from, uint32_t to);
  // Fill, then a sequence header from the probed format and a closed
  // group-of-pictures header.
  void writeHeaders();
  // Zero bytes up to the nominal size of the pictures written so far; unless
  // forced, at most once per second's worth of pictures.
  void fillToBitrate(bool force);
  void putBytes(const uint8_t* bytes, uint32_t count);

  ByteSource& source_;
  ProgressCallback progress_;
  OutputFile output_;
  PictureSequenceChecker checker_;
  bool needHeaders_ = true;
  uint32_t picturesSinceGop_ = 0;
  uint32_t framesUsed_ = 0;
  uint32_t picturesSeen_ = 0;
  uint32_t framesAtLastFill_ = 0;
  uint64_t lastSliceOutputPos_ = 0;  // where the last slice written begins; 0: a slice was not last

  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t frameRateCode_ = 0;
  uint32_t aspectRatioCode_ = 0;
  uint32_t bitRate_ = 0;
  uint32_t vbvBufferSize_ = 0;
  bool constrainedParameters_ = false;
  bool estimated_ = true;
  double frameRate_ = 1.0;

  uint64_t outputSize_ = 0;
  bool writeFailed_ = false;
};

#endif  // ORVANTE_VIDEO_VIDEO_FIXER_H_
