#ifndef ORVANTE_TESTS_SUPPORT_DECODER_ORACLE_H_
#define ORVANTE_TESTS_SUPPORT_DECODER_ORACLE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// DecoderOracle judges a written output by decoding it, in this process,
// with the system's libavformat and libavcodec, as the command
// `ffmpeg -v error -threads 1 -i FILE -f null -` judges the file: what that
// command would print becomes the verdict's messages. Those are
//   - every library message at error level or worse (the decoder's own
//     complaints, such as a damaged slice or missing motion vectors),
//   - a packet the decoder refuses, as "Error while decoding stream ...",
//   - a read error other than the end of the stream,
//   - for video, each picture whose time stamp does not come after the last
//     one taken, counted in picture periods from the stream's start as the
//     command counts them: the null muxer judges them as it does for the
//     command, in the command's words ("Application provided invalid, non
//     monotonically increasing dts to muxer in stream 0: 2 >= 0").
// Audio time stamps are not checked: the MPEG audio reader makes them from
// the frames' positions, so they never go back.
//
// Linux only, and for the tests only: the program never needs it. It holds
// nothing between calls and borrows the bytes for the length of a call.
// Library messages are caught through the libraries' one global log
// callback, which hands each to the sink of the thread whose call logged it,
// and to the libraries' default printer when no call of this class runs on
// that thread; so calls on several threads keep apart.
class DecoderOracle {
 public:
  // What decoding one stream gave.
  struct Verdict {
    std::vector<std::string> messages;  // one line each, without its line end
    long frames = 0;                    // pictures or audio frames the decoder gave out
    // When asked for: each picture's luma, width x height bytes, in the
    // order the decoder gave them out (display order).
    std::vector<std::vector<uint8_t>> lumas;

    // No message, and something decoded.
    bool ok() const { return messages.empty() && frames > 0; }
    // The messages, one a line, for a failure's text.
    std::string text() const;
  };

  // REQUIRES: data != nullptr or size == 0. Decodes `size` bytes at `data`
  // as a whole MPEG-1 video elementary stream (a .mpv), read as the raw
  // MPEG video reader reads it; `keepLuma` keeps the pictures' luma.
  static Verdict decodeVideo(const uint8_t* data, size_t size, bool keepLuma = false);

  // REQUIRES: data != nullptr or size == 0. Decodes `size` bytes at `data`
  // as a whole MPEG audio stream (a .mp2), read by the MPEG audio reader
  // that ffmpeg picks for such a file.
  static Verdict decodeAudio(const uint8_t* data, size_t size);

  // REQUIRES: data != nullptr or size == 0. Judges a rescued .mpv by what
  // the rescue promises of it: decodeVideo's verdict, but
  //   - MPEG-2 video (a sequence extension right after the first sequence
  //     header) is written as it came and not judged: no message, and one
  //     picture counted so that ok() holds;
  //   - where the picture size or rate changes between sequence headers
  //     (recordings joined), the raw reader's non-monotonic dts message is
  //     expected, as for the plain run, and left out.
  static Verdict judgeRescuedVideo(const uint8_t* data, size_t size, bool keepLuma = false);

  // The luma PSNR of `picture` against `clean` (same size), capped at
  // 60 dB; 0 when the sizes differ.
  static double psnr(const std::vector<uint8_t>& picture, const std::vector<uint8_t>& clean);
};

#endif  // ORVANTE_TESTS_SUPPORT_DECODER_ORACLE_H_
