#include "tests/support/decoder_oracle.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

using Verdict = DecoderOracle::Verdict;

// Where the library messages of this thread go while a call decodes.
struct LogSink {
  std::vector<std::string>* messages = nullptr;
  bool lineOpen = false;  // the last message caught has not ended its line yet
};

thread_local LogSink* threadSink = nullptr;

// The global log callback: messages at error level or worse to the sink of
// the calling thread, every message to the default printer where there is
// none.
void catchLog(void* object, int level, const char* format, va_list arguments) {
  LogSink* const sink = threadSink;
  if (sink == nullptr) {
    av_log_default_callback(object, level, format, arguments);
    return;
  }
  if (level >= 0) level &= 0xff;  // the higher bits tint the default printer's lines
  if (level > AV_LOG_ERROR) return;
  char text[1024];
  std::vsnprintf(text, sizeof text, format, arguments);
  std::string line = text;
  const bool ends = !line.empty() && line.back() == '\n';
  if (ends) line.pop_back();
  if (sink->lineOpen && !sink->messages->empty()) {
    sink->messages->back() += line;
  } else {
    const AVClass* const kind = object != nullptr ? *static_cast<const AVClass* const*>(object) : nullptr;
    const std::string name = kind != nullptr && kind->item_name != nullptr ? kind->item_name(object) : "";
    sink->messages->push_back(name.empty() ? line : "[" + name + "] " + line);
  }
  sink->lineOpen = !ends;
}

// Sends this thread's library messages to `sink` until the returned guard
// goes; the callback is installed once and stays.
std::unique_ptr<LogSink, void (*)(LogSink*)> catchMessages(LogSink* sink) {
  static std::once_flag installed;
  std::call_once(installed, [] { av_log_set_callback(catchLog); });
  assert(threadSink == nullptr);  // calls do not nest
  threadSink = sink;
  return {sink, [](LogSink*) { threadSink = nullptr; }};
}

// The bytes a call reads, with the reader's place in them.
struct MemoryInput {
  const uint8_t* data;
  size_t size;
  size_t position;
};

int readInput(void* opaque, uint8_t* buffer, int capacity) {
  MemoryInput& input = *static_cast<MemoryInput*>(opaque);
  const size_t count = std::min(input.size - input.position, static_cast<size_t>(capacity));
  if (count == 0) return AVERROR_EOF;
  std::memcpy(buffer, input.data + input.position, count);
  input.position += count;
  return static_cast<int>(count);
}

int64_t seekInput(void* opaque, int64_t offset, int whence) {
  MemoryInput& input = *static_cast<MemoryInput*>(opaque);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return static_cast<int64_t>(input.size);
  int64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<int64_t>(input.position);
  else if (whence == SEEK_END) base = static_cast<int64_t>(input.size);
  else if (whence != SEEK_SET) return AVERROR(EINVAL);
  const int64_t target = base + offset;
  if (target < 0 || target > static_cast<int64_t>(input.size)) return AVERROR(EINVAL);
  input.position = static_cast<size_t>(target);
  return target;
}

std::string errorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

void freeInputContext(AVIOContext* io) {
  if (io == nullptr) return;
  av_freep(&io->buffer);
  avio_context_free(&io);
}
void closeInput(AVFormatContext* format) { avformat_close_input(&format); }
void freeOutput(AVFormatContext* format) { avformat_free_context(format); }
void freeDecoder(AVCodecContext* decoder) { avcodec_free_context(&decoder); }
void freePacket(AVPacket* packet) { av_packet_free(&packet); }
void freeFrame(AVFrame* frame) { av_frame_free(&frame); }

template <typename T>
using Owned = std::unique_ptr<T, void (*)(T*)>;

// The null muxer the command writes the decoded pictures to, which judges
// their time stamps: each picture becomes a packet stamped as the command
// stamps it, in picture periods from the start of the input.
struct TimeJudge {
  Owned<AVFormatContext> muxer{nullptr, freeOutput};
  AVStream* stream = nullptr;     // the muxer's
  AVRational inputBase{0, 1};     // the time base of the decoded pictures' stamps
  int64_t start = 0;              // the input's start, in inputBase
  Owned<AVPacket> packet{nullptr, freePacket};
};

// Opens the null muxer for pictures of `input`'s stream `video`; messages
// what fails.
bool openTimeJudge(TimeJudge& judge, AVFormatContext* input, AVStream* video, Verdict& verdict) {
  AVFormatContext* muxer = nullptr;
  const int made = avformat_alloc_output_context2(&muxer, nullptr, "null", nullptr);
  judge.muxer.reset(muxer);
  judge.packet.reset(av_packet_alloc());
  if (made < 0 || judge.packet == nullptr) {
    verdict.messages.push_back("opening the null muxer: " + errorText(made));
    return false;
  }
  judge.stream = avformat_new_stream(muxer, nullptr);
  if (judge.stream == nullptr) {
    verdict.messages.push_back("opening the null muxer: no stream");
    return false;
  }
  // The command's defaults: the stream's guessed rate, else 25 a second.
  AVRational rate = av_guess_frame_rate(input, video, nullptr);
  if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
  AVCodecParameters* const out = judge.stream->codecpar;
  out->codec_type = AVMEDIA_TYPE_VIDEO;
  out->codec_id = AV_CODEC_ID_WRAPPED_AVFRAME;
  out->width = video->codecpar->width > 0 ? video->codecpar->width : 16;
  out->height = video->codecpar->height > 0 ? video->codecpar->height : 16;
  judge.stream->time_base = av_inv_q(rate);
  judge.inputBase = video->time_base;
  const AVRational microseconds{1, AV_TIME_BASE};  // AV_TIME_BASE_Q is a compound literal, not C++
  judge.start = input->start_time != AV_NOPTS_VALUE ? av_rescale_q(input->start_time, microseconds, video->time_base) : 0;
  const int header = avformat_write_header(muxer, nullptr);
  if (header < 0) {
    verdict.messages.push_back("opening the null muxer: " + errorText(header));
    return false;
  }
  return true;
}

// Hands `frame`'s time stamp to the muxer, which logs it when it does not
// come after the last one; a frame with no stamp is left out, as the
// command leaves it unchecked.
void judgeTime(TimeJudge& judge, const AVFrame* frame) {
  if (judge.stream == nullptr || frame->best_effort_timestamp == AV_NOPTS_VALUE) return;
  AVPacket* const packet = judge.packet.get();
  if (av_new_packet(packet, 1) < 0) return;
  packet->data[0] = 0;
  packet->stream_index = judge.stream->index;
  packet->pts = packet->dts =
      av_rescale_q(frame->best_effort_timestamp - judge.start, judge.inputBase, judge.stream->time_base);
  av_interleaved_write_frame(judge.muxer.get(), packet);  // takes the packet's data; logs what it rejects
  av_packet_unref(packet);
}

// Receives every frame `decoder` has ready; false when it fails.
bool receiveFrames(AVCodecContext* decoder, AVFrame* frame, TimeJudge* judge, int streamIndex, Verdict& verdict,
                   bool keepLuma) {
  for (;;) {
    const int received = avcodec_receive_frame(decoder, frame);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
    if (received < 0) {
      verdict.messages.push_back("Error while decoding stream #0:" + std::to_string(streamIndex) + ": " +
                                 errorText(received));
      return false;
    }
    ++verdict.frames;
    if (keepLuma && frame->data[0] != nullptr) {
      std::vector<uint8_t> luma;
      luma.reserve(static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height));
      for (int row = 0; row < frame->height; ++row) {
        const uint8_t* line = frame->data[0] + static_cast<std::ptrdiff_t>(row) * frame->linesize[0];
        luma.insert(luma.end(), line, line + frame->width);
      }
      verdict.lumas.push_back(std::move(luma));
    }
    if (judge != nullptr) judgeTime(*judge, frame);
    av_frame_unref(frame);
  }
}

// Sends `packet` (nullptr: the end, to drain) and receives what it gives.
void decodePacket(AVCodecContext* decoder, const AVPacket* packet, AVFrame* frame, TimeJudge* judge, int streamIndex,
                  Verdict& verdict, bool keepLuma) {
  const int sent = avcodec_send_packet(decoder, packet);
  if (sent < 0 && sent != AVERROR_EOF) {
    verdict.messages.push_back("Error while decoding stream #0:" + std::to_string(streamIndex) + ": " +
                               errorText(sent));
    return;
  }
  receiveFrames(decoder, frame, judge, streamIndex, verdict, keepLuma);
}

// Reads the bytes with the reader `formatName`, and decodes the first
// stream of `type` in them, as the command does.
Verdict decode(const uint8_t* data, size_t size, const char* formatName, AVMediaType type, bool keepLuma = false) {
  assert(data != nullptr || size == 0);
  Verdict verdict;
  LogSink sink;
  sink.messages = &verdict.messages;
  const auto caught = catchMessages(&sink);

  static const uint8_t kNothing = 0;
  MemoryInput input{data != nullptr ? data : &kNothing, size, 0};
  const AVInputFormat* const reader = av_find_input_format(formatName);
  constexpr int kBufferSize = 32768;
  auto* const buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  Owned<AVIOContext> io(buffer != nullptr ? avio_alloc_context(buffer, kBufferSize, 0, &input, readInput, nullptr, seekInput)
                                          : nullptr,
                        freeInputContext);
  if (io == nullptr) av_free(buffer);
  AVFormatContext* opened = avformat_alloc_context();
  if (reader == nullptr || io == nullptr || opened == nullptr) {
    avformat_free_context(opened);
    verdict.messages.push_back(std::string("cannot set up the reader ") + formatName);
    return verdict;
  }
  opened->pb = io.get();
  const int open = avformat_open_input(&opened, "", reader, nullptr);  // frees the context when it fails
  Owned<AVFormatContext> format(opened, closeInput);
  if (open < 0) {
    verdict.messages.push_back("opening the stream: " + errorText(open));
    return verdict;
  }

  // Stream probing decodes too, with the decoder options of the command.
  std::vector<AVDictionary*> probeOptions(format->nb_streams, nullptr);
  for (AVDictionary*& options : probeOptions) av_dict_set(&options, "threads", "1", 0);
  const int probed = avformat_find_stream_info(format.get(), probeOptions.empty() ? nullptr : probeOptions.data());
  for (AVDictionary*& options : probeOptions) av_dict_free(&options);
  if (probed < 0) {
    verdict.messages.push_back("reading the stream's parameters: " + errorText(probed));
    return verdict;
  }

  const AVCodec* codec = nullptr;
  const int streamIndex = av_find_best_stream(format.get(), type, -1, -1, &codec, 0);
  if (streamIndex < 0 || codec == nullptr) {
    verdict.messages.push_back(std::string("no ") + av_get_media_type_string(type) + " stream to decode: " +
                               errorText(streamIndex));
    return verdict;
  }
  AVStream* const stream = format->streams[streamIndex];
  Owned<AVCodecContext> decoder(avcodec_alloc_context3(codec), freeDecoder);
  Owned<AVPacket> packet(av_packet_alloc(), freePacket);
  Owned<AVFrame> frame(av_frame_alloc(), freeFrame);
  if (decoder == nullptr || packet == nullptr || frame == nullptr ||
      avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0) {
    verdict.messages.push_back("cannot set up the decoder");
    return verdict;
  }
  decoder->pkt_timebase = stream->time_base;
  AVDictionary* decoderOptions = nullptr;
  av_dict_set(&decoderOptions, "threads", "1", 0);
  const int codecOpen = avcodec_open2(decoder.get(), codec, &decoderOptions);
  av_dict_free(&decoderOptions);
  if (codecOpen < 0) {
    verdict.messages.push_back("opening the decoder: " + errorText(codecOpen));
    return verdict;
  }

  TimeJudge judge;
  const bool judged = type == AVMEDIA_TYPE_VIDEO && openTimeJudge(judge, format.get(), stream, verdict);
  TimeJudge* const times = judged ? &judge : nullptr;
  for (;;) {
    const int read = av_read_frame(format.get(), packet.get());
    if (read == AVERROR(EAGAIN)) continue;
    if (read < 0) {
      if (read != AVERROR_EOF) verdict.messages.push_back("reading the stream: " + errorText(read));
      break;
    }
    if (packet->stream_index == streamIndex) decodePacket(decoder.get(), packet.get(), frame.get(), times, streamIndex, verdict, keepLuma);
    av_packet_unref(packet.get());
  }
  decodePacket(decoder.get(), nullptr, frame.get(), times, streamIndex, verdict, keepLuma);
  if (times != nullptr) av_write_trailer(judge.muxer.get());
  return verdict;
}

}  // namespace

std::string DecoderOracle::Verdict::text() const {
  std::string text;
  for (const std::string& message : messages) text += message + "\n";
  return text;
}

DecoderOracle::Verdict DecoderOracle::decodeVideo(const uint8_t* data, size_t size, bool keepLuma) {
  return decode(data, size, "mpegvideo", AVMEDIA_TYPE_VIDEO, keepLuma);
}

DecoderOracle::Verdict DecoderOracle::judgeRescuedVideo(const uint8_t* data, size_t size, bool keepLuma) {
  assert(data != nullptr || size == 0);
  // The sequence headers' size and rate fields (their first four bytes, the
  // aspect ratio's four bits aside), and whether the first one is followed
  // by a sequence extension.
  bool mpeg2 = false;
  bool formatChanges = false;
  bool seenHeader = false;
  bool afterFirstHeader = false;
  uint32_t format = 0;
  for (size_t i = 0; i + 4 <= size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t code = data[i + 3];
    if (afterFirstHeader) mpeg2 = code == 0xB5;
    afterFirstHeader = false;
    if (code != 0xB3 || i + 8 > size) continue;
    const uint32_t fields = (uint32_t{data[i + 4]} << 24 | uint32_t{data[i + 5]} << 16 | uint32_t{data[i + 6]} << 8 |
                             data[i + 7]) & 0xFFFFFF0Fu;
    if (!seenHeader) afterFirstHeader = true;
    else if (fields != format) formatChanges = true;
    seenHeader = true;
    format = fields;
    i += 3;
  }
  if (mpeg2) {
    Verdict unjudged;
    unjudged.frames = 1;
    return unjudged;
  }
  Verdict verdict = decodeVideo(data, size, keepLuma);
  if (formatChanges) {
    std::vector<std::string> kept;
    for (std::string& message : verdict.messages) {
      if (message.find("non monotonically increasing dts") == std::string::npos) kept.push_back(std::move(message));
    }
    verdict.messages = std::move(kept);
  }
  return verdict;
}

DecoderOracle::Verdict DecoderOracle::decodeAudio(const uint8_t* data, size_t size) {
  return decode(data, size, "mp3", AVMEDIA_TYPE_AUDIO);
}

double DecoderOracle::psnr(const std::vector<uint8_t>& picture, const std::vector<uint8_t>& clean) {
  constexpr double kCap = 60;
  if (picture.size() != clean.size() || clean.empty()) return 0;
  double squared = 0;
  for (size_t i = 0; i < clean.size(); ++i) {
    const double d = static_cast<double>(picture[i]) - static_cast<double>(clean[i]);
    squared += d * d;
  }
  if (squared == 0) return kCap;
  const double value = 10 * std::log10(255.0 * 255.0 * static_cast<double>(clean.size()) / squared);
  return value < kCap ? value : kCap;
}
