#ifndef ORVANTE_VIDEO_VIDEO_STREAM_WRITER_H_
#define ORVANTE_VIDEO_VIDEO_STREAM_WRITER_H_

#include <cstdint>
#include <string>

#include "source/output_file.h"
#include "video/probed_format.h"

// VideoStreamWriter keeps the order of a video elementary stream that is
// written element by element: the caller writes each element's bytes to
// output(), announcing sequence headers, group headers and pictures first.
// The writer puts
//   - a sequence header and a closed group-of-pictures header made from the
//     probed format before the first picture, when no sequence header went
//     out before it, and before an I picture once 30 or more pictures went
//     out since the last group header (the picture that receives inserted
//     headers counts as the first);
//   - zero bytes up to the nominal size of the pictures written so far,
//     before each sequence header (at most once per second's worth of
//     pictures) and at the end;
//   - a sequence end code and an end code at the end;
//   - with kWithinBuffer, zero bytes after the second picture up to the
//     next kReaderChunkBytes boundary past its start code, for readers that
//     guess time stamps from the first chunks (see padSecondPicture()).
//
// How the zero bytes go in is a choice:
//   - kToNominalSize: before each sequence header (at most once per second's
//     worth of pictures) and at the end, up to the nominal size of the
//     pictures written so far, as one run;
//   - kWithinBuffer: after any picture that would leave the decoder's buffer
//     (the VBV buffer of the format, filling at the nominal bit rate) fuller
//     than it holds, just enough zero bytes to keep it full. The stream then
//     keeps its nominal rate without a run of zeros arriving faster than a
//     decoder, or a multiplexer that models one, can take it.
//
// The writer keeps a reference to the format, which must outlive it.
class VideoStreamWriter {
 public:
  enum class Fill { kToNominalSize, kWithinBuffer };

  // `writing` says where the file's writes are made (OutputFile::Writing).
  explicit VideoStreamWriter(const ProbedFormat& format, Fill fill = Fill::kToNominalSize,
                             OutputFile::Writing writing = OutputFile::Writing::kWhereWorthwhile);

  // Creates the file (as OutputFile::open) and starts a new stream.
  bool open(const std::string& name);
  // What follows is another recording, of `format`, joined to the one
  // before in the same stream: the fill of the one before ends, and the
  // inserted headers, the buffer model and the fill follow `format` from
  // here on. The format must outlive the writer, as the first one.
  void startRecording(const ProbedFormat& format);
  OutputFile& output() { return output_; }

  // A sequence header of the input goes out next: fills, as the fill chosen
  // does before one.
  void beforeSequenceHeader();
  // A group header goes out next, not after a sequence header.
  void beforeGroupHeader();
  // The sequence header announced went out.
  void afterSequenceHeader() { needHeaders_ = false; }
  // A group header of the input went out.
  void afterGroupHeader() { picturesSinceGroup_ = 0; }
  // A picture of coding type `letter` goes out next: inserts headers as
  // they are due and counts the picture.
  void beforePicture(char letter);

  // Fills to the nominal size, puts the two end codes and closes the file.
  // Returns false when any byte failed to reach the file, which is then
  // removed.
  bool finish();

  // Pictures written so far.
  uint32_t picturesWritten() const { return picturesWritten_; }
  // The size of the finished file.
  uint64_t outputSize() const { return outputSize_; }

 private:
  // Fill, then a sequence header from the probed format and a closed
  // group-of-pictures header.
  void writeHeaders();
  // Zero bytes up to the nominal size of the pictures written so far;
  // unless forced, at most once per second's worth of pictures.
  void fillToBitrate(bool force);
  // The picture written last (with the headers before it) is complete:
  // takes it from the buffer model and fills if the buffer would overflow.
  void endPictureWithinBuffer();
  // Zero bytes after the second picture; see the class comment.
  void padSecondPicture();
  static constexpr uint64_t kReaderChunkBytes = 1024;
  // The buffer model of kWithinBuffer, from the format.
  void takeBufferModel();

  const ProbedFormat* format_;
  const Fill fill_;
  // The buffer model of kWithinBuffer, in bytes, taken from the format when
  // the file is opened; off when the format gives no rate or no buffer.
  bool bufferModel_ = false;
  double bufferBytes_ = 0;
  double bytesPerPicture_ = 0;
  double occupancy_ = 0;
  uint64_t pictureStart_ = 0;  // where the picture written last began, headers included
  bool pictureOpen_ = false;
  uint64_t nextStart_ = 0;     // where the next picture's headers began
  OutputFile output_;
  bool needHeaders_ = true;
  uint32_t picturesSinceGroup_ = 0;
  uint32_t picturesWritten_ = 0;
  uint64_t secondPictureCode_ = 0;  // where the second picture's start code went
  uint32_t picturesAtLastFill_ = 0;
  uint64_t outputSize_ = 0;
};

#endif  // ORVANTE_VIDEO_VIDEO_STREAM_WRITER_H_
