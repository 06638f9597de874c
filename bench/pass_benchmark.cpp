// One micro-benchmark per pass, each over a stream held in memory that is
// made from the Video CD recording in tests/data repeated, so that a change
// to one pass shows in its own figure.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "container/audio_extractor.h"
#include "container/riff_decoder.h"
#include "container/stream_demuxer.h"
#include "source/memory_source.h"
#include "source/range_view_source.h"
#include "tests/video/slice_index.h"
#include "video/slice_walker.h"
#include "video/video_fixer.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kRepeats = 50;  // about 10 MB of system stream

Bytes readRecording(const char* name) {
  std::ifstream in(std::string(ORVANTE_TEST_DATA) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The recording's system stream, repeated.
const Bytes& systemStream() {
  static const Bytes stream = [] {
    const Bytes once = readRecording("vcd.mpg");
    Bytes repeated;
    for (int i = 0; i < kRepeats; ++i) repeated.insert(repeated.end(), once.begin(), once.end());
    return repeated;
  }();
  return stream;
}

// The system stream in 2352-byte CD sectors, as a Video CD track holds it.
const Bytes& sectorImage() {
  static const Bytes image = [] {
    const Bytes& stream = systemStream();
    const uint8_t sync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    Bytes sectors;
    for (size_t at = 0; at < stream.size(); at += 2324) {
      sectors.insert(sectors.end(), sync, sync + 12);
      sectors.insert(sectors.end(), 12, 0x00);  // address, mode, subheader
      const size_t end = std::min(stream.size(), at + 2324);
      sectors.insert(sectors.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                     stream.begin() + static_cast<std::ptrdiff_t>(end));
      sectors.insert(sectors.end(), 2324 - (end - at) + 4, 0x00);  // padding, error detection code
    }
    return sectors;
  }();
  return image;
}

// The bytes of one of the demultiplexed streams, joined.
Bytes demultiplexed(bool video) {
  MemorySource source(systemStream().data(), systemStream().size());
  StreamDemuxer demuxer(source, ProgressCallback());
  demuxer.demultiplex();
  RangeViewSource view(source, video ? demuxer.videoRanges() : demuxer.audioRanges());
  Bytes bytes;
  for (uint32_t i = 0; i < view.size(); ++i) bytes.push_back(static_cast<uint8_t>(view.readU8()));
  return bytes;
}

std::string scratchBase() {
  static const std::string base = [] {
    char folder[] = "/tmp/orvante-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    return std::string(folder) + "/out";
  }();
  return base;
}

void BM_DecodeSectors(benchmark::State& state) {
  const Bytes& image = sectorImage();
  for (auto _ : state) {
    MemorySource source(image.data(), image.size());
    RiffDecoder decoder(source, ProgressCallback());
    benchmark::DoNotOptimize(decoder.decode());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_DecodeSectors)->Unit(benchmark::kMillisecond);

void BM_DecodedPayloadRead(benchmark::State& state) {
  // The demultiplexer reading through the view over the sector payload, as
  // a Video CD image is read.
  const Bytes& image = sectorImage();
  MemorySource source(image.data(), image.size());
  RiffDecoder decoder(source, ProgressCallback());
  decoder.decode();
  for (auto _ : state) {
    RangeViewSource payload(source, decoder.payloadRanges());
    StreamDemuxer demuxer(payload, ProgressCallback());
    demuxer.demultiplex();
    benchmark::DoNotOptimize(demuxer.videoRanges().total());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_DecodedPayloadRead)->Unit(benchmark::kMillisecond);

void BM_Demultiplex(benchmark::State& state) {
  const Bytes& stream = systemStream();
  for (auto _ : state) {
    MemorySource source(stream.data(), stream.size());
    StreamDemuxer demuxer(source, ProgressCallback());
    demuxer.demultiplex();
    benchmark::DoNotOptimize(demuxer.videoRanges().total());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_Demultiplex)->Unit(benchmark::kMillisecond);

void BM_RewriteVideo(benchmark::State& state) {
  const Bytes video = demultiplexed(true);
  for (auto _ : state) {
    MemorySource source(video.data(), video.size());
    VideoFixer fixer(source, ProgressCallback());
    fixer.rewrite(scratchBase());
    benchmark::DoNotOptimize(fixer.framesUsed());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(video.size()));
}
BENCHMARK(BM_RewriteVideo)->Unit(benchmark::kMillisecond);

void BM_WalkSlices(benchmark::State& state) {
  // Every slice of the recording's video, or of the video elementary stream
  // named by ORVANTE_BENCH_VIDEO (the hour-long one, say), walked one by one.
  const char* named = std::getenv("ORVANTE_BENCH_VIDEO");
  Bytes video;
  if (named != nullptr) {
    std::ifstream in(named, std::ios::binary);
    video.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    video = demultiplexed(true);
  }
  const std::vector<IndexedSlice> slices = indexSlices(video);
  int64_t bytes = 0;
  for (const IndexedSlice& slice : slices) bytes += static_cast<int64_t>(slice.dataLength());
  for (auto _ : state) {
    uint32_t broken = 0;
    for (const IndexedSlice& slice : slices) {
      const SliceWalker walker(slice.context);
      broken += walker.walk(slice.verticalPosition, video.data() + slice.dataStart(), slice.dataLength()).fault !=
                SliceFault::kNone;
    }
    benchmark::DoNotOptimize(broken);
  }
  state.counters["slices"] = static_cast<double>(slices.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}
BENCHMARK(BM_WalkSlices)->Unit(benchmark::kMillisecond);

void BM_ExtractAudio(benchmark::State& state) {
  const Bytes audio = demultiplexed(false);
  for (auto _ : state) {
    MemorySource source(audio.data(), audio.size());
    AudioExtractor extractor(source, ProgressCallback());
    benchmark::DoNotOptimize(extractor.extract(scratchBase()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(audio.size()));
}
BENCHMARK(BM_ExtractAudio)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
